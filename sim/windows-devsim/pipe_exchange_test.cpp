#include "sim/windows-devsim/pipe_exchange.h"

#include <gtest/gtest.h>

#include "protocol/driver_requests.h"
#include "sim/windows-driver/devsim_pipe.h"

namespace {

struct Reply {
  uint32_t completed, returned, present, dfuMode, attachment;
  std::vector<uint8_t> output;
};

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

std::vector<uint8_t> Header(uint32_t kind, uint32_t attachment, uint32_t code, uint32_t inputSize,
                            uint32_t outputSize) {
  std::vector<uint8_t> header;
  for (uint32_t value : {kind, attachment, code, inputSize, outputSize}) {
    for (int i = 0; i < 4; ++i) header.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  return header;
}

// Sends one request the way the driver frames it and decodes the reply,
// checking that the reply's length matches its own byte count.
Reply Exchange(CSimRecorder* device, uint32_t kind, uint32_t attachment, uint32_t code,
               const std::vector<uint8_t>& input, uint32_t outputSize) {
  const std::vector<uint8_t> header =
      Header(kind, attachment, code, static_cast<uint32_t>(input.size()), outputSize);
  DevsimPipeRequest request;
  EXPECT_TRUE(DevsimDecodeRequest(header.data(), &request));
  const std::vector<uint8_t> bytes = DevsimAnswer(device, request, input.data());
  Reply reply{U32(bytes, 0), U32(bytes, 4), U32(bytes, 8), U32(bytes, 12), U32(bytes, 16), {}};
  EXPECT_EQ(bytes.size(), DEVSIM_PIPE_REPLY_HEADER_SIZE + reply.returned);
  reply.output.assign(bytes.begin() + DEVSIM_PIPE_REPLY_HEADER_SIZE, bytes.end());
  return reply;
}

std::shared_ptr<CSimRecorder> MakeDevice(SimMode mode = SimMode::kDfu) {
  SimDeviceOptions options;
  options.profile.mode = mode;
  std::shared_ptr<CSimRecorder> device;
  std::string error;
  EXPECT_TRUE(CSimRecorder::Create(std::move(options), &device, &error)) << error;
  return device;
}

std::vector<uint8_t> ClassRequest(uint8_t request, bool toHost, uint16_t value, uint32_t length) {
  ControlRequestHeader header;
  header.direction = toHost ? CONTROL_DIRECTION_DEVICE_TO_HOST : CONTROL_DIRECTION_HOST_TO_DEVICE;
  header.request = request;
  header.value = value;
  header.length = length;
  std::vector<uint8_t> input(CONTROL_REQUEST_HEADER_SIZE + length, 0);
  EncodeControlRequestHeader(header, input.data());
  return input;
}

TEST(PipeExchange, HelloAnswersThePlaceOnTheBusOnly) {
  auto device = MakeDevice();
  Reply reply = Exchange(device.get(), DEVSIM_PIPE_HELLO, 0, 0, {}, 0);
  EXPECT_EQ(reply.completed, 1u);
  EXPECT_EQ(reply.returned, 0u);
  EXPECT_EQ(reply.present, 1u);
  EXPECT_EQ(reply.dfuMode, 1u);
  EXPECT_EQ(reply.attachment, 0u);
  EXPECT_EQ(device->RequestCount(), 0u) << "a hello is no request of the device";
}

TEST(PipeExchange, RequestsCarryTheModelsAnswerAndByteCount) {
  auto device = MakeDevice();
  Reply descriptor =
      Exchange(device.get(), DEVSIM_PIPE_IOCTL, 0, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18);
  EXPECT_EQ(descriptor.completed, 1u);
  ASSERT_EQ(descriptor.returned, 18u);
  EXPECT_EQ(descriptor.output[1], 1u) << "device descriptor type";

  Reply string = Exchange(device.get(), DEVSIM_PIPE_IOCTL, 0, IOCTL_DFU_GET_STRING_DESCRIPTOR,
                          {4, 0x09, 0x04}, 512);
  ASSERT_GT(string.returned, 2u);
  EXPECT_LT(string.returned, 512u) << "the string's own length, not the buffer's";
  EXPECT_EQ(string.output[1], 3u);

  // A request through a handle of an appearance that is not on the bus.
  Reply gone = Exchange(device.get(), DEVSIM_PIPE_IOCTL, 7, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18);
  EXPECT_EQ(gone.completed, 0u);
  EXPECT_EQ(gone.returned, 0u);
  EXPECT_EQ(device->RequestCount(), 3u);
}

TEST(PipeExchange, ReplyNeverHoldsMoreThanTheCallerAskedFor) {
  auto device = MakeDevice();
  Reply reply =
      Exchange(device.get(), DEVSIM_PIPE_IOCTL, 0, IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 8);
  EXPECT_LE(reply.returned, 8u);
}

TEST(PipeExchange, PlaceFollowsTheDeviceAcrossLeaveAndDetach) {
  // Leave request: DNLOAD of length 0, then GETSTATUS, which removes the device.
  auto dfu = MakeDevice();
  Exchange(dfu.get(), DEVSIM_PIPE_IOCTL, 0, IOCTL_DFU_CONTROL_REQUEST,
           ClassRequest(1, false, 0, 0), 0);
  Reply left = Exchange(dfu.get(), DEVSIM_PIPE_IOCTL, 0, IOCTL_DFU_CONTROL_REQUEST,
                        ClassRequest(3, true, 0, 6), 6);
  EXPECT_EQ(left.completed, 1u);
  EXPECT_EQ(left.present, 0u);

  // DETACH of an application-mode device: back in DFU mode as appearance 1.
  auto app = MakeDevice(SimMode::kApplication);
  Reply hello = Exchange(app.get(), DEVSIM_PIPE_HELLO, 0, 0, {}, 0);
  EXPECT_EQ(hello.dfuMode, 0u);
  Reply detached = Exchange(app.get(), DEVSIM_PIPE_IOCTL, 0, IOCTL_DFU_CONTROL_REQUEST,
                            ClassRequest(0, false, 5000, 0), 0);
  EXPECT_EQ(detached.completed, 1u);
  EXPECT_EQ(detached.present, 1u);
  EXPECT_EQ(detached.dfuMode, 1u);
  EXPECT_EQ(detached.attachment, 1u);
}

TEST(PipeExchange, HeadersNoDriverSendsAreRefused) {
  struct {
    const char* what;
    std::vector<uint8_t> header;
    bool accepted;
  } cases[] = {
      {"hello", Header(DEVSIM_PIPE_HELLO, 0, 0, 0, 0), true},
      {"largest request", Header(DEVSIM_PIPE_IOCTL, 0, 0, DEVSIM_PIPE_MAX_DATA,
                                 DEVSIM_PIPE_MAX_DATA), true},
      {"unknown kind", Header(3, 0, 0, 0, 0), false},
      {"input too long", Header(DEVSIM_PIPE_IOCTL, 0, 0, DEVSIM_PIPE_MAX_DATA + 1, 0), false},
      {"output too long", Header(DEVSIM_PIPE_IOCTL, 0, 0, 0, 0xFFFFFFFF), false},
  };
  for (const auto& c : cases) {
    DevsimPipeRequest request;
    EXPECT_EQ(DevsimDecodeRequest(c.header.data(), &request), c.accepted) << c.what;
  }
}

}  // namespace

namespace {

// The WinUSB node's control transfers reach the model as the driver requests
// they carry: counted, faulted and traced under those requests' names.
TEST(PipeExchange, ControlTransfersAreAnsweredAsTheDriverRequestsTheyCarry) {
  struct Row {
    const char* what;
    std::vector<uint8_t> setup;  // and the host-to-device data after it
    uint32_t outputSize;
    bool completed;
    uint32_t returned;
    const char* trace;  // the model's trace line; null: nothing reached the model
  };
  const std::vector<Row> rows = {
      {"device descriptor", {0x80, 6, 0, 1, 0, 0, 18, 0}, 18, true, 18,
       "1 GET_DEVICE_DESCRIPTOR -> ok"},
      {"configuration", {0x80, 6, 0, 2, 0, 0, 0, 2}, 512, true, 0,
       "1 GET_CONFIGURATION_DESCRIPTOR 0 -> ok"},
      {"string descriptor", {0x80, 6, 2, 3, 0x09, 0x04, 255, 0}, 255, true, 0,
       "1 GET_STRING_DESCRIPTOR 2 1033 -> ok"},
      {"alternate setting", {0x01, 11, 1, 0, 0, 0, 0, 0}, 0, true, 0,
       "1 SELECT_ALTERNATE_SETTING 0 0 1 -> ok"},
      {"class request in", {0xA1, 3, 0, 0, 0, 0, 6, 0}, 6, true, 6,
       "1 GETSTATUS 0 0 6 -> ok status=0 state=2 poll=0"},
      {"class request out", {0x21, 1, 0, 0, 0, 0, 5, 0, 0x21, 0, 0, 0, 8}, 0, true, 0,
       "1 DNLOAD 0 0 5 -> ok"},
      {"class request DFU has no name for", {0x21, 9, 0, 0, 0, 0, 0, 0}, 0, false, 0,
       "1 REQUEST_9 0 0 0 -> stall"},
      {"standard request the model has none for", {0x80, 0, 0, 0, 0, 0, 2, 0}, 2, false, 0,
       nullptr},
      {"data stage shorter than its length", {0x21, 1, 0, 0, 0, 0, 5, 0, 0x21}, 0, false, 0,
       nullptr},
      {"answer buffer shorter than the length", {0xA1, 3, 0, 0, 0, 0, 6, 0}, 5, false, 0, nullptr},
      {"no whole setup packet", {0x80, 6, 0, 1}, 18, false, 0, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto device = MakeDevice();
    Reply reply = Exchange(device.get(), DEVSIM_PIPE_IOCTL, 0, DEVSIM_IOCTL_USB_CONTROL, row.setup,
                           row.outputSize);
    EXPECT_EQ(reply.completed, row.completed ? 1u : 0u);
    if (row.returned != 0) {
      EXPECT_EQ(reply.returned, row.returned);
    }
    const std::vector<SimRequestRecord> log = device->RequestLog();
    if (row.trace == nullptr) {
      EXPECT_TRUE(log.empty());
    } else {
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0].line, row.trace);
    }
  }
}

}  // namespace
