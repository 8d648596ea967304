// What the listing says of one path: present, absent, or not known because a
// source could not list.
#include "device/device_listing.h"

#include <gtest/gtest.h>

#include "device/device_test_support.h"

namespace {

class DeviceListingTest : public CFakeDeviceTest {};

TEST_F(DeviceListingTest, AFailedListingIsNoSignThatTheDeviceHasGone) {
  AddDfuDevice("dev", {"@Internal Flash  /0x08000000/04*016Kg"});
  const std::vector<Guid> dfu = {DFU_INTERFACE_GUID};
  EXPECT_EQ(InterfaceListed("FAKE:DEV", dfu), LISTING_PRESENT);  // letter case aside
  EXPECT_EQ(InterfaceListed("fake:other", dfu), LISTING_ABSENT);
  backend->SetListingFails(true);
  EXPECT_EQ(InterfaceListed("fake:dev", dfu), LISTING_FAILED);
  EXPECT_EQ(InterfaceListed("fake:other", dfu), LISTING_FAILED);
  // The listing of the devices still shows what the other sources list.
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  EXPECT_TRUE(devices.empty());
}

}  // namespace
