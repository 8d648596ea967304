// One request script through each of the three fronts of the virtual device:
// the "sim:" driver port, the emulated-bus front and the Wine pipe server's
// exchange (for the kernel driver's requests and for the WinUSB node's
// control transfers). Each must give the same answers and leave the device at
// the same place on the bus, so that a test through one front speaks for all
// three; the fronts that name requests as the driver does write the same
// trace.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/dfu.h"
#include "protocol/driver_requests.h"
#include "sim/devsim/devsim_front.h"
#include "sim/sim_backend.h"
#include "sim/sim_test_support.h"
#include "sim/windows-devsim/pipe_exchange.h"
#include "sim/windows-driver/devsim_pipe.h"

namespace {

// One step of the script, in the driver's terms; the bus front sends the
// control transfer the driver would.
struct Step {
  const char* what;
  uint32_t code;
  std::vector<uint8_t> input;  // for a control request: the header, then the data
  uint32_t outputSize;
  bool completes;
  std::vector<uint8_t> answer;  // expected leading bytes of the output
  bool present, dfuMode;
  uint32_t attachment;  // where the device is after the step
};

std::vector<uint8_t> Class(uint8_t request, bool toHost, uint16_t value, uint32_t length,
                           const std::vector<uint8_t>& data = {}) {
  return SimClassRequestInput(request, toHost, value, 0, data, length);
}

struct Result {
  bool completed = false;
  std::vector<uint8_t> output;
  CDfuDevice::BusPosition place;
};

// A front under test: sends a step through the connection it holds on
// `attachment`.
using Front = std::function<Result(uint32_t attachment, const Step& step)>;

// A device of the default profile changed by `profileText`, with a fault
// plan.
std::shared_ptr<CSimRecorder> MakeDevice(const std::string& profileText, const std::string& faults) {
  SimDeviceOptions options;
  std::string error;
  EXPECT_TRUE(SimParseProfile(profileText, "contract", &options.profile, &error)) << error;
  EXPECT_TRUE(SimParseFaultPlan(faults, &options.faults, &error)) << error;
  std::shared_ptr<CSimRecorder> recorder;
  EXPECT_TRUE(CSimRecorder::Create(std::move(options), &recorder, &error)) << error;
  return recorder;
}

// Holds its connection, as a program holds its handle, until the device
// comes back at another place.
Front SimPort(std::shared_ptr<CSimRecorder> recorder) {
  auto backend = std::make_shared<CSimBackend>(recorder);
  struct Held {
    std::unique_ptr<DriverConnection> connection;
    uint32_t attachment = 0;
  };
  auto held = std::make_shared<Held>();
  return [backend, held](uint32_t attachment, const Step& step) {
    Result result;
    if (held->connection == nullptr || held->attachment != attachment) {
      // A device that came back under the same path is opened by that path.
      const CDfuDevice::BusPosition now = backend->Device()->Position();
      StatusCode failure = RESULT_OK;
      held->connection = backend->Open(
          CSimBackend::PathOf(now.attachment == attachment ? now.path : attachment), &failure);
      held->attachment = attachment;
    }
    DriverConnection* connection = held->connection.get();
    result.output.assign(step.outputSize, 0);
    uint32_t returned = 0;
    result.completed = connection != nullptr &&
                       connection->IoControl(step.code, step.input.data(),
                                             static_cast<uint32_t>(step.input.size()),
                                             result.output.data(), step.outputSize, &returned);
    result.output.resize(result.completed ? returned : 0);
    result.place = backend->Device()->Position();
    return result;
  };
}

Front PipeServer(std::shared_ptr<CSimRecorder> recorder) {
  return [recorder](uint32_t attachment, const Step& step) {
    uint8_t header[DEVSIM_PIPE_REQUEST_HEADER_SIZE];
    const uint32_t fields[5] = {DEVSIM_PIPE_IOCTL, attachment, step.code,
                                static_cast<uint32_t>(step.input.size()), step.outputSize};
    for (int i = 0; i < 5; ++i) PutLe32(header + 4 * i, fields[i]);
    DevsimPipeRequest request;
    EXPECT_TRUE(DevsimDecodeRequest(header, &request));
    const std::vector<uint8_t> reply = DevsimAnswer(recorder.get(), request, step.input.data());
    Result result;
    result.completed = GetLe32(reply.data()) != 0;
    result.output.assign(reply.begin() + DEVSIM_PIPE_REPLY_HEADER_SIZE, reply.end());
    // The driver learns the device's place from the reply alone.
    result.place = {GetLe32(reply.data() + 8) != 0, GetLe32(reply.data() + 12) != 0,
                    GetLe32(reply.data() + 16), GetLe32(reply.data() + 16)};
    return result;
  };
}

// The control transfer a driver request becomes, or a failure for a script
// step no driver sends.
DriverSetup Translate(const Step& step) {
  DriverSetup translated;
  if (!DriverRequestToSetup(step.code, step.input.data(), static_cast<uint32_t>(step.input.size()),
                            step.outputSize, &translated)) {
    ADD_FAILURE() << "the script holds only requests a driver sends";
  }
  return translated;
}

// The pipe server's WinUSB node: the control transfer, sent as the WinUSB
// stand-in frames it (setup packet, then the host-to-device data).
Front WinUsbNode(std::shared_ptr<CSimRecorder> recorder) {
  return [recorder](uint32_t attachment, const Step& step) {
    const DriverSetup translated = Translate(step);
    const UsbSetup& setup = translated.setup;
    std::vector<uint8_t> input(DEVSIM_USB_SETUP_SIZE);
    input[0] = setup.requestType;
    input[1] = setup.request;
    PutLe16(input.data() + 2, setup.value);
    PutLe16(input.data() + 4, setup.index);
    PutLe16(input.data() + 6, setup.length);
    if (translated.outData != nullptr) {
      input.insert(input.end(), translated.outData, translated.outData + setup.length);
    }
    Step transfer = step;
    transfer.code = DEVSIM_IOCTL_USB_CONTROL;
    transfer.input = input;
    transfer.outputSize = setup.In() ? setup.length : 0;
    return PipeServer(recorder)(attachment, transfer);
  };
}

Front Bus(std::shared_ptr<CSimRecorder> recorder) {
  auto front = std::make_shared<CDevsimFront>(recorder);
  auto place = std::make_shared<CDfuDevice::BusPosition>(recorder->Device()->Position());
  return [front, place](uint32_t attachment, const Step& step) {
    const DriverSetup translated = Translate(step);
    Result result;
    std::vector<uint8_t> data(translated.setup.length);
    if (translated.outData != nullptr) {
      data.assign(translated.outData, translated.outData + data.size());
    }
    uint32_t moved = 0;
    std::vector<SimBusChange> changes;
    result.completed =
        front->Control(attachment, translated.setup, data.data(), &moved, &changes) ==
        SimOutcome::kOk;
    if (result.completed && translated.setup.In()) {
      result.output.assign(data.begin(), data.begin() + moved);
    }
    // The bus learns the device's place from the changes alone.
    for (const SimBusChange& change : changes) {
      *place = {change.arrival, change.dfuMode, change.attachment, change.path};
    }
    result.place = *place;
    return result;
  };
}

// `sizes`, when given, holds each step's exact count of output bytes
// (SIZE_MAX: any).
void RunScript(const std::string& profileText, const std::string& faults,
               const std::vector<Step>& script, const std::vector<size_t>& sizes = {}) {
  const struct {
    const char* name;
    std::function<Front(std::shared_ptr<CSimRecorder>)> make;
    bool driverNames;  // names requests as the driver does (the bus uses USB's names)
  } fronts[] = {{"sim: port", SimPort, true},
                {"pipe server", PipeServer, true},
                {"WinUSB node", WinUsbNode, true},
                {"bus", Bus, false}};
  std::vector<std::string> driverTrace;
  for (const auto& f : fronts) {
    SCOPED_TRACE(f.name);
    std::shared_ptr<CSimRecorder> recorder = MakeDevice(profileText, faults);
    ASSERT_NE(recorder, nullptr);
    Front front = f.make(recorder);
    uint32_t attachment = 0;
    for (size_t i = 0; i < script.size(); ++i) {
      const Step& step = script[i];
      SCOPED_TRACE(step.what);
      const Result result = front(attachment, step);
      EXPECT_EQ(result.completed, step.completes);
      if (i < sizes.size() && sizes[i] != SIZE_MAX) {
        EXPECT_EQ(result.output.size(), sizes[i]);
      }
      ASSERT_GE(result.output.size(), step.answer.size());
      EXPECT_EQ(std::vector<uint8_t>(result.output.begin(),
                                     result.output.begin() + static_cast<long>(step.answer.size())),
                step.answer);
      EXPECT_EQ(result.place.present, step.present);
      EXPECT_EQ(result.place.dfuMode, step.dfuMode);
      EXPECT_EQ(result.place.attachment, step.attachment);
      attachment = step.attachment;
    }
    std::vector<std::string> trace;
    for (const SimRequestRecord& record : recorder->RequestLog()) trace.push_back(record.line);
    EXPECT_EQ(trace.size(), script.size());
    if (!f.driverNames) continue;
    if (driverTrace.empty()) {
      driverTrace = trace;
    } else {
      EXPECT_EQ(trace, driverTrace);
    }
  }
}

TEST(FrontContract, AnUpgradeConversationIsTheSameThroughEveryFront) {
  const std::vector<uint8_t> erase = {DFUSE_CMD_ERASE, 0x00, 0x00, 0x00, 0x08};
  RunScript("", "",
            {
                {"device descriptor", IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18, true, {18, 1, 0x00, 0x02}, true, true, 0},
                {"configuration", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 512, true, {9, 2}, true, true, 0},
                {"no second configuration", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {1}, 512, false, {}, true, true, 0},
                {"languages", IOCTL_DFU_GET_STRING_DESCRIPTOR, {0, 0x09, 0x04}, 512, true, {4, 3, 0x09, 0x04}, true, true, 0},
                {"no string 99", IOCTL_DFU_GET_STRING_DESCRIPTOR, {99, 0x09, 0x04}, 512, false, {}, true, true, 0},
                {"select alternate 1", IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0, 1}, 0, true, {}, true, true, 0},
                {"no alternate 40", IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0, 40}, 0, false, {}, true, true, 0},
                {"back to alternate 0", IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0, 0}, 0, true, {}, true, true, 0},
                {"erase", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_DNLOAD, false, 0, 5, erase), 0, true, {}, true, true, 0},
                {"erase runs", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_GETSTATUS, true, 0, 6), 6, true, {0, 0, 0, 0, DFU_STATE_DNBUSY}, true, true, 0},
                {"erase done", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_GETSTATUS, true, 0, 6), 6, true, {0, 0, 0, 0, DFU_STATE_DNLOAD_IDLE}, true, true, 0},
                {"upload while downloading", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_UPLOAD, true, 2, 16), 16, false, {}, true, true, 0},
                {"stall left dfuERROR", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_GETSTATE, true, 0, 1), 1, true, {DFU_STATE_ERROR}, true, true, 0},
                {"clear", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_CLRSTATUS, false, 0, 0), 0, true, {}, true, true, 0},
                {"commands", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_UPLOAD, true, 0, 3), 3, true, {0x00, 0x21, 0x41}, true, true, 0},
                {"abort", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_ABORT, false, 0, 0), 0, true, {}, true, true, 0},
                {"leave", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_DNLOAD, false, 0, 0), 0, true, {}, true, true, 0},
                {"manifest", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_GETSTATUS, true, 0, 6), 6, true, {0, 0, 0, 0, DFU_STATE_MANIFEST}, false, true, 0},
                {"gone", IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, 18, false, {}, false, true, 0},
            });
}

TEST(FrontContract, AnApplicationDetachesAndReturnsInDfuModeThroughEveryFront) {
  RunScript("mode = application\n", "",
            {
                {"run-time interface", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 512, true, {9, 2, 27, 0}, true, false, 0},
                {"state", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_GETSTATE, true, 0, 1), 1, true, {DFU_STATE_APP_IDLE}, true, false, 0},
                {"detach", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_DETACH, false, 1000, 0), 0, true, {}, true, true, 1},
                {"back in DFU mode", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_GETSTATUS, true, 0, 6), 6, true, {0, 0, 0, 0, DFU_STATE_DFU_IDLE}, true, true, 1},
            });
}

// A composite application takes DFU requests on its run-time interface only;
// planned faults strike the same numbered request through every front.
TEST(FrontContract, InterfacesAndPlannedFaultsAreTheSameThroughEveryFront) {
  auto status = [](uint16_t interface) {
    std::vector<uint8_t> input = Class(DFU_REQUEST_GETSTATUS, true, 0, 6);
    PutLe16(input.data() + 12, interface);
    return input;
  };
  RunScript("mode = application\nextra-interfaces = 2\n", "status=0x0A:2@3,unplug@5",
            {
                {"vendor interfaces first", IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, 512, true, {9, 2, 45, 0, 3}, true, false, 0},
                {"not on interface 0", IOCTL_DFU_CONTROL_REQUEST, status(0), 6, false, {}, true, false, 0},
                {"planned status", IOCTL_DFU_CONTROL_REQUEST, status(2), 6, true, {0x0A, 0, 0, 0, 2}, true, false, 0},
                {"own status again", IOCTL_DFU_CONTROL_REQUEST, status(2), 6, true, {0, 0, 0, 0, DFU_STATE_APP_IDLE}, true, false, 0},
                {"unplugged", IOCTL_DFU_CONTROL_REQUEST, status(2), 6, false, {}, false, false, 0},
            });
}

// A wait of hours announced, answers cut short and one longer than asked
// for, and a device that comes back under the same path, which the
// connection opened before no longer reaches.
TEST(FrontContract, PlannedAnswersAndAReturnUnderTheSamePathAreTheSameThroughEveryFront) {
  const auto status = Class(DFU_REQUEST_GETSTATUS, true, 0, 6);
  const auto state = Class(DFU_REQUEST_GETSTATE, true, 0, 1);
  RunScript("", "poll=0xFFFFFF@1,status-length=3@2,status-length=7@3,upload-length=0@4-5,replug@6",
            {
                {"a wait of hours", IOCTL_DFU_CONTROL_REQUEST, status, 6, true, {0, 0xFF, 0xFF, 0xFF, DFU_STATE_DFU_IDLE, 0}, true, true, 0},
                {"a short status", IOCTL_DFU_CONTROL_REQUEST, status, 6, true, {0, 0, 0}, true, true, 0},
                {"a status longer than asked", IOCTL_DFU_CONTROL_REQUEST, status, 6, false, {}, true, true, 0},
                {"an empty upload", IOCTL_DFU_CONTROL_REQUEST, Class(DFU_REQUEST_UPLOAD, true, 0, 3), 3, true, {}, true, true, 0},
                {"a state is no upload", IOCTL_DFU_CONTROL_REQUEST, state, 1, true, {DFU_STATE_UPLOAD_IDLE}, true, true, 0},
                {"gone for the old connection", IOCTL_DFU_CONTROL_REQUEST, state, 1, false, {}, true, true, 1},
                {"back under the same path", IOCTL_DFU_CONTROL_REQUEST, status, 6, true, {0, 0, 0, 0, DFU_STATE_DFU_IDLE}, true, true, 1},
            },
            {6, 3, SIZE_MAX, 0, 1, SIZE_MAX, 6});
}

}  // namespace
