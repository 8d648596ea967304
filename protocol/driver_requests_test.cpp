#include "protocol/driver_requests.h"

#include <gtest/gtest.h>

#include <vector>

#include "protocol/request_names.h"

namespace {

std::vector<uint8_t> Control(uint32_t direction, uint8_t request, uint16_t value, uint32_t length,
                             size_t dataBytes) {
  ControlRequestHeader header;
  header.direction = direction;
  header.request = request;
  header.value = value;
  header.length = length;
  std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE + dataBytes, 0x5A);
  EncodeControlRequestHeader(header, input.data());
  return input;
}

// The header crosses to the driver as 20 little-endian bytes; reserved
// bytes stay zero, whatever the buffer held before.
TEST(DriverRequests, TheHeaderHasTheDriverByteLayout) {
  ControlRequestHeader header;
  header.direction = CONTROL_DIRECTION_DEVICE_TO_HOST;
  header.request = 2;
  header.value = 0x1234;
  header.index = 0x0100;
  header.length = 0x00010203;
  uint8_t bytes[20];
  std::fill(bytes, bytes + 20, 0xEE);
  EncodeControlRequestHeader(header, bytes);
  const std::vector<uint8_t> expected = {0x1B, 0, 0, 0, 1, 0,    0,    0,    2, 0,
                                         0x34, 0x12, 0, 1, 0, 0, 3, 2, 1, 0};
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 20), expected);
  const ControlRequestHeader back = DecodeControlRequestHeader(bytes);
  EXPECT_EQ(back.requestKind, header.requestKind);
  EXPECT_EQ(back.direction, header.direction);
  EXPECT_EQ(back.request, header.request);
  EXPECT_EQ(back.value, header.value);
  EXPECT_EQ(back.index, header.index);
  EXPECT_EQ(back.length, header.length);
}

// Each request becomes one setup packet, or is refused before any bus
// traffic.
TEST(DriverRequests, EachRequestBecomesItsSetupPacketOrIsRefused) {
  struct Case {
    const char* what;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputSize;
    bool accepted;
    UsbSetup setup;
    size_t dataOffset;  // of a host-to-device data stage, 0: none
  } cases[] = {
      {"device", IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 64, true, {0x80, 6, 0x0100, 0, 18}, 0},
      {"config", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 512, true, {0x80, 6, 0x0200, 0, 512}, 0},
      {"small config", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 9, true, {0x80, 6, 0x0200, 0, 9}, 0},
      {"string", IOCTL_DFU_GET_STRING_DESCRIPTOR, {4, 0x09, 0x04}, 512, true, {0x80, 6, 0x0304, 0x0409, 255}, 0},
      {"select", IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 1, 3}, 0, true, {0x01, 11, 3, 1, 0}, 0},
      {"upload", IOCTL_DFU_CONTROL_REQUEST, Control(1, 2, 7, 64, 0), 64, true, {0xA1, 2, 7, 0, 64}, 0},
      {"download", IOCTL_DFU_CONTROL_REQUEST, Control(0, 1, 2, 3, 3), 0, true, {0x21, 1, 2, 0, 3}, 20},
      {"no room", IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 0, false, {}, 0},
      {"no index", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {}, 512, false, {}, 0},
      {"no language", IOCTL_DFU_GET_STRING_DESCRIPTOR, {4, 9}, 512, false, {}, 0},
      {"short select", IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0}, 0, false, {}, 0},
      {"header cut", IOCTL_DFU_CONTROL_REQUEST, std::vector<uint8_t>(19, 0), 0, false, {}, 0},
      {"data cut", IOCTL_DFU_CONTROL_REQUEST, Control(0, 1, 2, 3, 2), 0, false, {}, 0},
      {"output short", IOCTL_DFU_CONTROL_REQUEST, Control(1, 3, 0, 6, 0), 5, false, {}, 0},
      {"bad direction", IOCTL_DFU_CONTROL_REQUEST, Control(2, 3, 0, 0, 0), 0, false, {}, 0},
      {"too long", IOCTL_DFU_CONTROL_REQUEST, Control(1, 2, 2, 0x10000, 0), 0x10000, false, {}, 0},
      {"unknown code", 0x222018, {0, 0, 0}, 64, false, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> input = c.input;
    DriverSetup translated;
    ASSERT_EQ(DriverRequestToSetup(c.code, input.empty() ? nullptr : input.data(),
                                   static_cast<uint32_t>(input.size()), c.outputSize, &translated),
              c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(translated.setup.requestType, c.setup.requestType);
    EXPECT_EQ(translated.setup.request, c.setup.request);
    EXPECT_EQ(translated.setup.value, c.setup.value);
    EXPECT_EQ(translated.setup.index, c.setup.index);
    EXPECT_EQ(translated.setup.length, c.setup.length);
    EXPECT_EQ(translated.outData, c.dataOffset == 0 ? nullptr : input.data() + c.dataOffset);
    // And the transfer is known again as the request it came from.
    EXPECT_EQ(DriverRequestCarrying(translated.setup), c.code);
  }
}

// Transfers that no driver request becomes: other standard requests, other
// descriptors, other recipients, vendor requests.
TEST(DriverRequests, OtherTransfersCarryNoDriverRequest) {
  const struct {
    const char* what;
    UsbSetup setup;
  } cases[] = {
      {"get status", {0x80, 0, 0, 0, 2}},
      {"functional descriptor", {0x80, 6, 0x2100, 0, 9}},
      {"descriptor to the interface", {0x81, 6, 0x0100, 0, 18}},
      {"get interface", {0x81, 10, 0, 0, 1}},
      {"set interface to the device", {0x00, 11, 1, 0, 0}},
      {"class request to the device", {0xA0, 3, 0, 0, 6}},
      {"vendor request", {0x41, 1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DriverRequestCarrying(c.setup), 0u) << c.what;
  }
}

TEST(RequestNames, NameTheDefinedRequestsOnly) {
  EXPECT_STREQ(UsbStandardRequestName(USB_REQUEST_SET_INTERFACE), "SET_INTERFACE");
  EXPECT_EQ(UsbStandardRequestName(2), nullptr);
  EXPECT_EQ(UsbStandardRequestName(13), nullptr);
  EXPECT_STREQ(DfuRequestName(6), "ABORT");
  EXPECT_EQ(DfuRequestName(7), nullptr);
  EXPECT_STREQ(DriverRequestName(IOCTL_DFU_SELECT_ALTERNATE_SETTING), "SELECT_ALTERNATE_SETTING");
  EXPECT_EQ(DriverRequestName(0x222018), nullptr);
}

}  // namespace
