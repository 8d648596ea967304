#include "platform/usb/usb_requests.h"

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/driver_requests.h"

namespace {

// Records what reaches the USB side and answers from a script.
class CFakeTransport : public CUsbTransport {
 public:
  struct Transfer {
    uint8_t requestType, request;
    uint16_t value, index, length;
    unsigned timeoutMs;
    std::vector<uint8_t> sent;
  };

  int ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t* data, uint16_t length, unsigned timeoutMs) override {
    Transfer t{requestType, request, value, index, length, timeoutMs, {}};
    if ((requestType & 0x80) == 0) t.sent.assign(data, data + length);
    transfers.push_back(t);
    if (result < 0) return result;
    if ((requestType & 0x80) != 0) {
      size_t n = std::min<size_t>(answer.size(), length);
      std::memcpy(data, answer.data(), n);
      return static_cast<int>(n);
    }
    return result == 0 ? length : result;
  }
  int ClaimInterface(uint8_t number) override {
    claims.push_back(number);
    return claimResult;
  }
  int SetAlternateSetting(uint8_t number, uint8_t alternate) override {
    alternates.push_back({number, alternate});
    return alternateResult;
  }

  std::vector<uint8_t> answer;
  int result = 0;  // negative: the transfer fails with it
  int claimResult = 0;
  int alternateResult = 0;
  std::vector<Transfer> transfers;
  std::vector<uint8_t> claims;
  std::vector<std::pair<uint8_t, uint8_t>> alternates;
};

std::vector<uint8_t> ControlInput(uint32_t direction, uint8_t request, uint16_t value,
                                  uint32_t length, const std::vector<uint8_t>& data = {}) {
  ControlRequestHeader header;
  header.direction = direction;
  header.request = request;
  header.value = value;
  header.index = 0;
  header.length = length;
  std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE + length, 0);
  EncodeControlRequestHeader(header, input.data());
  std::copy(data.begin(), data.end(), input.begin() + CONTROL_REQUEST_HEADER_SIZE);
  return input;
}

// Each driver request becomes one standard or class transfer with the setup
// packet a device expects.
struct DescriptorCase {
  const char* name;
  uint32_t code;
  std::vector<uint8_t> input;
  uint32_t outputSize;
  uint16_t value, index, length;
};

class UsbDescriptorRequest : public testing::TestWithParam<DescriptorCase> {};

TEST_P(UsbDescriptorRequest, BecomesOneGetDescriptorWithTheDriverLayout) {
  const DescriptorCase& c = GetParam();
  CFakeTransport transport;
  transport.answer.assign(600, 0xAB);
  std::vector<uint8_t> output(c.outputSize);
  uint32_t returned = 0;
  ASSERT_TRUE(UsbAnswerDriverRequest(&transport, c.code, c.input.data(),
                                     static_cast<uint32_t>(c.input.size()), output.data(),
                                     c.outputSize, &returned));
  ASSERT_EQ(transport.transfers.size(), 1u);
  const auto& t = transport.transfers[0];
  EXPECT_EQ(t.requestType, 0x80);
  EXPECT_EQ(t.request, 6);
  EXPECT_EQ(t.value, c.value);
  EXPECT_EQ(t.index, c.index);
  EXPECT_EQ(t.length, c.length);
  EXPECT_EQ(returned, c.length);
  EXPECT_TRUE(transport.claims.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsbDescriptorRequest,
    testing::Values(
        DescriptorCase{"device", IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18, 0x0100, 0, 18},
        DescriptorCase{"config0", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 512, 0x0200, 0, 512},
        DescriptorCase{"config2", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {2}, 512, 0x0202, 0, 512},
        // Strings are asked for with an 8-bit length, whatever the buffer.
        DescriptorCase{"string", IOCTL_DFU_GET_STRING_DESCRIPTOR, {4, 0x09, 0x04}, 512, 0x0304,
                       0x0409, 255}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbRequests, ClassRequestsCarryTheHeaderFieldsAndClaimTheInterface) {
  CFakeTransport transport;
  std::vector<uint8_t> block = {0x21, 0x00, 0x00, 0x00, 0x08};
  std::vector<uint8_t> input = ControlInput(CONTROL_DIRECTION_HOST_TO_DEVICE, 1, 0, 5, block);
  uint32_t returned = 99;
  ASSERT_TRUE(UsbAnswerDriverRequest(&transport, IOCTL_DFU_CONTROL_REQUEST, input.data(),
                                     static_cast<uint32_t>(input.size()), nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);

  transport.answer = {0, 5, 0, 0, 5, 0};
  input = ControlInput(CONTROL_DIRECTION_DEVICE_TO_HOST, 3, 0, 6);
  uint8_t status[6] = {};
  ASSERT_TRUE(UsbAnswerDriverRequest(&transport, IOCTL_DFU_CONTROL_REQUEST, input.data(),
                                     static_cast<uint32_t>(input.size()), status, 6, &returned));
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(status[4], 5);

  ASSERT_EQ(transport.transfers.size(), 2u);
  EXPECT_EQ(transport.transfers[0].requestType, 0x21);
  EXPECT_EQ(transport.transfers[0].request, 1);
  EXPECT_EQ(transport.transfers[0].sent, block);
  EXPECT_EQ(transport.transfers[0].timeoutMs, 5000u);
  EXPECT_EQ(transport.transfers[1].requestType, 0xA1);
  EXPECT_EQ(transport.transfers[1].request, 3);
  EXPECT_EQ(transport.transfers[1].length, 6);
  EXPECT_EQ(transport.claims, (std::vector<uint8_t>{0, 0}));
}

TEST(UsbRequests, StatusRequestWaitsLongerOnlyWhileTheDeviceMayBeBusy) {
  // Each step: the request (1 DNLOAD, 3 GETSTATUS, 5 GETSTATE, 6 ABORT), the
  // state a status answers, and the time-out the transfer gets.
  struct Step {
    uint8_t request;
    uint8_t state;
    unsigned timeoutMs;
  };
  const std::vector<Step> steps = {
      {3, 2, 5000},    // idle: a plain status
      {1, 0, 5000},    // a download starts the flash work
      {3, 4, 120000},  // held until the work is done; still busy
      {3, 4, 120000},
      {3, 5, 120000},  // done
      {3, 5, 5000},
      {1, 0, 5000},
      {6, 0, 5000},  // anything else between ends the long wait
      {3, 2, 5000},
      {1, 0, 5000},
      {5, 0, 5000},
      {3, 4, 5000},
  };
  CFakeTransport transport;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    const bool toHost = step.request == 3 || step.request == 5;
    const uint32_t length = step.request == 3 ? 6 : step.request == 5 ? 1 : 0;
    transport.answer = step.request == 3 ? std::vector<uint8_t>{0, 0, 0, 0, step.state, 0}
                                         : std::vector<uint8_t>{2};
    std::vector<uint8_t> input = ControlInput(
        toHost ? CONTROL_DIRECTION_DEVICE_TO_HOST : CONTROL_DIRECTION_HOST_TO_DEVICE, step.request, 0, length);
    uint8_t output[6] = {};
    uint32_t returned = 0;
    ASSERT_TRUE(UsbAnswerDriverRequest(&transport, IOCTL_DFU_CONTROL_REQUEST, input.data(),
                                       static_cast<uint32_t>(input.size()), output, sizeof output, &returned));
    EXPECT_EQ(transport.transfers.back().timeoutMs, step.timeoutMs) << "step " << i;
  }
}

TEST(UsbRequests, ShortUploadCompletesWithTheCountItMoved) {
  CFakeTransport transport;
  transport.answer.assign(100, 0x11);
  std::vector<uint8_t> input = ControlInput(CONTROL_DIRECTION_DEVICE_TO_HOST, 2, 2, 2048);
  std::vector<uint8_t> output(2048);
  uint32_t returned = 0;
  ASSERT_TRUE(UsbAnswerDriverRequest(&transport, IOCTL_DFU_CONTROL_REQUEST, input.data(),
                                     static_cast<uint32_t>(input.size()), output.data(), 2048,
                                     &returned));
  EXPECT_EQ(returned, 100u);
}

TEST(UsbRequests, SelectClaimsThenSetsTheAlternateSetting) {
  CFakeTransport transport;
  const uint8_t input[3] = {0, 0, 3};
  EXPECT_TRUE(UsbAnswerDriverRequest(&transport, IOCTL_DFU_SELECT_ALTERNATE_SETTING, input, 3,
                                     nullptr, 0, nullptr));
  EXPECT_EQ(transport.claims, std::vector<uint8_t>{0});
  ASSERT_EQ(transport.alternates.size(), 1u);
  EXPECT_EQ(transport.alternates[0], (std::pair<uint8_t, uint8_t>{0, 3}));

  CFakeTransport refused;
  refused.claimResult = -6;  // busy: another program holds the interface
  EXPECT_FALSE(UsbAnswerDriverRequest(&refused, IOCTL_DFU_SELECT_ALTERNATE_SETTING, input, 3,
                                      nullptr, 0, nullptr));
  EXPECT_TRUE(refused.alternates.empty());
}

// A hold's claim tells another program's claim (libusb's busy: usbfs gives
// the interface to one open file at a time) from every other refusal.
TEST(UsbRequests, AHoldNamesWhyItsClaimWasRefused) {
  const struct {
    int claimResult;
    StatusCode status;
  } cases[] = {{0, RESULT_OK}, {USB_RESULT_BUSY, DEV_ERR_IN_USE}, {-4, DEV_ERR_OPEN_FAILED},
               {-3, DEV_ERR_OPEN_FAILED}, {-99, DEV_ERR_OPEN_FAILED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.claimResult);
    CFakeTransport transport;
    transport.claimResult = c.claimResult;
    EXPECT_EQ(UsbHoldInterface(&transport, 2), c.status);
    EXPECT_EQ(transport.claims, std::vector<uint8_t>{2});
    EXPECT_TRUE(transport.transfers.empty());
  }
}

// Every way a request can go wrong reaches the caller as a failed request,
// never as a success, and nothing is sent for a malformed buffer.
TEST(UsbRequests, FailuresAndMalformedBuffersAreRefusedAndSayWhy) {
  const std::vector<uint8_t> out = ControlInput(CONTROL_DIRECTION_HOST_TO_DEVICE, 1, 2, 16,
                                                std::vector<uint8_t>(16, 1));
  struct Case {
    const char* what;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputSize;
    int transferResult;
    bool sends;
    UsbTransferOutcome why;  // as a capture records it
  } cases[] = {
      {"stall", IOCTL_DFU_CONTROL_REQUEST, out, 0, -9, true, UsbTransferOutcome::kStall},
      {"gone", IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18, -4, true, UsbTransferOutcome::kGone},
      {"time-out", IOCTL_DFU_GET_STRING_DESCRIPTOR, {1, 9, 4}, 512, -7, true,
       UsbTransferOutcome::kTimeout},
      {"short OUT", IOCTL_DFU_CONTROL_REQUEST, out, 0, 8, true, UsbTransferOutcome::kFailed},
      {"header cut", IOCTL_DFU_CONTROL_REQUEST, std::vector<uint8_t>(out.begin(), out.begin() + 19), 0, 0, false, UsbTransferOutcome::kFailed},
      {"data cut", IOCTL_DFU_CONTROL_REQUEST, std::vector<uint8_t>(out.begin(), out.end() - 1), 0, 0, false, UsbTransferOutcome::kFailed},
      {"no output", IOCTL_DFU_CONTROL_REQUEST, ControlInput(CONTROL_DIRECTION_DEVICE_TO_HOST, 3, 0, 6), 5, 0, false, UsbTransferOutcome::kFailed},
      {"bad direction", IOCTL_DFU_CONTROL_REQUEST, ControlInput(7, 3, 0, 0), 0, 0, false, UsbTransferOutcome::kFailed},
      {"no index", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {}, 512, 0, false, UsbTransferOutcome::kFailed},
      {"unknown code", 0x222018, {}, 0, 0, false, UsbTransferOutcome::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CFakeTransport transport;
    transport.result = c.transferResult;
    std::vector<uint8_t> output(c.outputSize);
    uint32_t returned = 0;
    EXPECT_FALSE(UsbAnswerDriverRequest(&transport, c.code, c.input.data(),
                                        static_cast<uint32_t>(c.input.size()), output.data(),
                                        c.outputSize, &returned));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(transport.transfers.size(), c.sends ? 1u : 0u);
    EXPECT_EQ(transport.lastFailure, c.why);
  }
  // A header of another request kind is refused too.
  std::vector<uint8_t> other = out;
  other[0] = 0x08;
  CFakeTransport transport;
  EXPECT_FALSE(UsbAnswerDriverRequest(&transport, IOCTL_DFU_CONTROL_REQUEST, other.data(),
                                      static_cast<uint32_t>(other.size()), nullptr, 0, nullptr));
  EXPECT_TRUE(transport.transfers.empty());
}

TEST(UsbPaths, FormatAndParseThePortChain) {
  EXPECT_EQ(UsbFormatPath(1, {4}), "usb:1-4");
  EXPECT_EQ(UsbFormatPath(3, {2, 1, 255}), "usb:3-2.1.255");
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  ASSERT_TRUE(UsbParsePath("usb:3-2.1.255", &bus, &ports));
  EXPECT_EQ(bus, 3);
  EXPECT_EQ(ports, (std::vector<uint8_t>{2, 1, 255}));
  for (const char* bad : {"usb:", "usb:1", "usb:1-", "usb:1-2.", "usb:1.2", "usb:0-1", "usb:1-02",
                          "usb:256-1", "usb:1-1000", "sim:1-1", "usb:1-2-3", "usb:1-1.2.3.4.5.6.7.8",
                          "usb:1-2 "}) {
    EXPECT_FALSE(UsbParsePath(bad, &bus, &ports)) << bad;
  }
}

TEST(UsbClasses, DfuInterfacesAreListedByProtocol) {
  const Guid dfu = DFU_INTERFACE_GUID, app = APP_INTERFACE_GUID;
  EXPECT_EQ(UsbListedClasses({{0xFE, 1, 2}, {0xFE, 1, 2}, {0xFE, 1, 2}}), std::vector<Guid>{dfu});
  EXPECT_EQ(UsbListedClasses({{3, 0, 0}, {0xFE, 1, 1}}), std::vector<Guid>{app});
  // Other subclasses of the application-specific class (IrDA, test and
  // measurement) and unknown protocols are not DFU.
  EXPECT_TRUE(UsbListedClasses({{0xFE, 2, 2}, {0xFE, 3, 1}, {0xFE, 1, 0}, {0xFF, 1, 2}}).empty());
}

}  // namespace
