#include "app/device_discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/sim_device_test_support.h"
#include "device/fake_driver_test_support.h"
#include "platform/driver_port.h"

namespace {

const char kNoDevice[] =
    "No Device(s) found. Plug your DFU Device or reset to DFU mode (reset and hold ENTER)!\n"
    "Retry? [y/n] ";
const char kFoundDefault[] = "Device found: Virtual DFU Device, having [4] alternate targets \n";

struct DiscoveryCase {
  const char* name;
  std::string profile;  // empty: no virtual device
  std::string answers;
  std::string expected;
  bool found;
};

class DiscoverDeviceTest : public CSimDeviceTest,
                           public testing::WithParamInterface<DiscoveryCase> {};
class DiscoverDeviceFlowTest : public CSimDeviceTest {};

TEST_P(DiscoverDeviceTest, ReportsTheDeviceOrAsksForARetry) {
  const DiscoveryCase& c = GetParam();
  if (!c.profile.empty()) InstallDevice(c.profile);
  ScriptInput(c.answers);
  std::string path;
  uint8_t descriptor[DEVICE_DESCRIPTOR_SIZE] = {};
  MemoryMappingArray mapping;
  bool found = false;
  EXPECT_EQ(CaptureOutput([&] { found = DiscoverDevice(&path, descriptor, &mapping); }),
            c.expected);
  EXPECT_EQ(found, c.found);
  EXPECT_EQ(mapping != nullptr, c.found) << "a map only for an accepted device";
  FreeMemoryMapping(&mapping);
}

std::string WithDescription(const std::string& text) { return "description = " + text + "\n"; }

INSTANTIATE_TEST_SUITE_P(
    Devices, DiscoverDeviceTest,
    testing::Values(
        DiscoveryCase{"DefaultDevice", WithDescription("Virtual DFU Device"), "", kFoundDefault,
                      true},
        DiscoveryCase{"NoDescription", "timing = fast\n", "",
                      "Device found: (Unnamed DFU device), having [4] alternate targets \n", true},
        DiscoveryCase{"EmptyDescription", "description =\n", "",
                      "Device found: , having [4] alternate targets \n", true},
        // The description is read into 253 bytes, its terminator included.
        DiscoveryCase{"LongestDescription", WithDescription(std::string(252, 'd')), "",
                      "Device found: " + std::string(252, 'd') +
                          ", having [4] alternate targets \n",
                      true},
        DiscoveryCase{"DescriptionTooLong", WithDescription(std::string(253, 'd')), "",
                      "Device found: (Unnamed DFU device), having [4] alternate targets \n", true},
        DiscoveryCase{"OneAlternate",
                      WithDescription("Flash Only") + "alt = @Internal Flash  /0x08000000/04*016Kg\n",
                      "", "Device found: Flash Only, having [1] alternate targets \n", true},
        // The DfuSe revisions 1.1A to 1.1F are accepted, nothing else.
        DiscoveryCase{"RevisionLast", WithDescription("Virtual DFU Device") + "dfu-version = 0x011F\n",
                      "", kFoundDefault, true},
        DiscoveryCase{"RevisionPlainDfu",
                      WithDescription("Virtual DFU Device") + "dfu-version = 0x0110\n", "n\n",
                      std::string("Bad DFU protocol version. Should be 1.1A") + kNoDevice, false},
        DiscoveryCase{"RevisionAboveDfuSe",
                      WithDescription("Virtual DFU Device") + "dfu-version = 0x0120\n", "n\n",
                      std::string("Bad DFU protocol version. Should be 1.1A") + kNoDevice, false},
        // A zero revision stands for a descriptor too short to carry one.
        DiscoveryCase{"RevisionZeroIsSilent",
                      WithDescription("Virtual DFU Device") + "dfu-version = 0\n", "n\n", kNoDevice,
                      false},
        DiscoveryCase{"MapWithoutAtSign",
                      WithDescription("Virtual DFU Device") +
                          "alt = Internal Flash  /0x08000000/04*016Kg\n",
                      "n\n",
                      std::string("Unable to find or decode device mapping... Bad Firmware") +
                          kNoDevice,
                      false},
        DiscoveryCase{"NoDeviceEndOfInput", "", "", kNoDevice, false},
        DiscoveryCase{"NoDeviceUpperCaseYesIsNo", "", "Y\n", kNoDevice, false},
        // Every 'y' repeats the whole search.
        DiscoveryCase{"NoDeviceRetriedTwice", "", "y\ny\nn\n",
                      std::string(kNoDevice) + kNoDevice + kNoDevice, false}),
    [](const testing::TestParamInfo<DiscoveryCase>& info) { return info.param.name; });

TEST_F(DiscoverDeviceFlowTest, GivesThePathDescriptorAndMapOfTheDevice) {
  InstallDevice();
  std::string path;
  uint8_t descriptor[DEVICE_DESCRIPTOR_SIZE] = {};
  MemoryMappingArray mapping;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(DiscoverDevice(&path, descriptor, &mapping));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(path, "sim:0");
  EXPECT_EQ(descriptor[0], 18);
  EXPECT_EQ(descriptor[1], 1) << "device descriptor type";
  EXPECT_EQ(descriptor[8] | descriptor[9] << 8, 0x0483) << "vendor id";
  ASSERT_NE(mapping, nullptr);
  EXPECT_STREQ(mapping[0].memoryName, "Internal Flash  ");
  EXPECT_EQ(mapping[0].sectorCount, 8u);
  EXPECT_EQ(mapping[0].sectors.at(0).startAddress, 0x08000000u);
  FreeMemoryMapping(&mapping);
  // The device was closed again: the operations open it by its path.
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  EXPECT_EQ(OpenDevice(path, &handle), RESULT_OK);
  CloseDevice(handle);
}

// Real devices are listed before virtual ones, and only the last one listed
// is opened.
TEST_F(DiscoverDeviceFlowTest, OpensOnlyTheDeviceListedLast) {
  auto real = std::make_shared<CFakeDriverBackend>();
  auto realDevice = real->AddDevice("first");
  RegisterDriverBackend(real);
  InstallDevice();
  std::string path;
  uint8_t descriptor[DEVICE_DESCRIPTOR_SIZE] = {};
  MemoryMappingArray mapping;
  EXPECT_EQ(CaptureOutput([&] { EXPECT_TRUE(DiscoverDevice(&path, descriptor, &mapping)); }),
            kFoundDefault);
  EXPECT_EQ(path, "sim:0");
  EXPECT_EQ(realDevice->opens, 0);
  FreeMemoryMapping(&mapping);
  UnregisterDriverBackend(real.get());
}

// An attempt that lists nothing checks the path of an earlier attempt once
// more: a device pulled after it was found is reported as unreadable.
TEST_F(DiscoverDeviceFlowTest, AttemptWithoutListingChecksTheEarlierPath) {
  ScriptInput("n\n");
  std::string path = "sim:0";
  uint8_t descriptor[DEVICE_DESCRIPTOR_SIZE] = {};
  MemoryMappingArray mapping;
  EXPECT_EQ(CaptureOutput([&] { EXPECT_FALSE(DiscoverDevice(&path, descriptor, &mapping)); }),
            std::string("Unable to get descriptors... Bad Firmware") + kNoDevice);
  EXPECT_EQ(path, "sim:0");
}

TEST_F(DiscoverDeviceFlowTest, WithoutAManagerNoDeviceCanBeChecked) {
  InstallDevice();
  DestroyDevicesManager();
  ScriptInput("n\n");
  std::string path;
  uint8_t descriptor[DEVICE_DESCRIPTOR_SIZE] = {};
  MemoryMappingArray mapping;
  EXPECT_EQ(CaptureOutput([&] { EXPECT_FALSE(DiscoverDevice(&path, descriptor, &mapping)); }),
            std::string("Unable to get descriptors... Bad Firmware") + kNoDevice);
}

}  // namespace
