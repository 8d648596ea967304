#include "sim/driver_front.h"

#include "protocol/byte_order.h"
#include "protocol/driver_requests.h"
#include "protocol/request_names.h"

SimRequest SimNameDriverRequest(uint32_t code, const uint8_t* in, uint32_t inputSize) {
  if (in == nullptr) inputSize = 0;
  SimRequest request;
  const char* name = DriverRequestName(code);
  request.name = name != nullptr ? name : "UNKNOWN_IOCTL";
  switch (code) {
    case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
      request.args = {inputSize >= 1 ? in[0] : 0u};
      break;
    case IOCTL_DFU_GET_STRING_DESCRIPTOR:
      request.args = {inputSize >= 1 ? in[0] : 0u, inputSize >= 3 ? GetLe16(in + 1) : 0u};
      break;
    case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
      for (uint32_t i = 0; i < 3; ++i) request.args.push_back(i < inputSize ? in[i] : 0u);
      break;
    case IOCTL_DFU_CONTROL_REQUEST:
      // A header too short to read keeps the driver's name.
      if (inputSize >= CONTROL_REQUEST_HEADER_SIZE) {
        const ControlRequestHeader header = DecodeControlRequestHeader(in);
        const char* dfuName = DfuRequestName(header.request);
        request.name = dfuName != nullptr
                           ? dfuName
                           : SimJoin({"REQUEST_", std::to_string(header.request)});
        request.args = {header.value, header.index, header.length};
      }
      break;
    case IOCTL_DFU_GET_DEVICE_DESCRIPTOR:
      break;
    default:
      request.args = {code};
      break;
  }
  return request;
}

bool SimNameDriverTransfer(const UsbSetup& setup, SimRequest* request) {
  const uint32_t code = DriverRequestCarrying(setup);
  if (code == 0) return false;
  *request = SimRequest();
  request->name = DriverRequestName(code);
  const uint32_t descriptorIndex = setup.value & 0xFF;
  switch (code) {
    case IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR:
      request->args = {descriptorIndex};
      break;
    case IOCTL_DFU_GET_STRING_DESCRIPTOR:
      request->args = {descriptorIndex, setup.index};
      break;
    case IOCTL_DFU_SELECT_ALTERNATE_SETTING:
      // The device's one configuration, index 0, does not travel on the bus.
      request->args = {0, setup.index, setup.value};
      break;
    case IOCTL_DFU_CONTROL_REQUEST: {
      const char* dfuName = DfuRequestName(setup.request);
      request->name =
          dfuName != nullptr ? dfuName : SimJoin({"REQUEST_", std::to_string(setup.request)});
      request->args = {setup.value, setup.index, setup.length};
      break;
    }
    default:
      break;
  }
  request->reachesDevice = true;
  request->setup = setup;
  return true;
}

bool SimAnswerDriverRequest(CSimRecorder* recorder, uint32_t attachment, uint32_t code,
                            const void* input, uint32_t inputSize, void* output,
                            uint32_t outputSize, uint32_t* bytesReturned,
                            std::vector<SimBusChange>* changes, SimOutcome* outcome) {
  const auto* in = static_cast<const uint8_t*>(input);
  auto* out = static_cast<uint8_t*>(output);
  if (in == nullptr) inputSize = 0;
  if (out == nullptr) outputSize = 0;
  if (bytesReturned != nullptr) *bytesReturned = 0;
  SimRequest request = SimNameDriverRequest(code, in, inputSize);
  DriverSetup translated;
  // A request the driver refuses is still one the device is counted for.
  request.reachesDevice = DriverRequestToSetup(code, in, inputSize, outputSize, &translated);
  request.setup = translated.setup;
  std::vector<uint8_t> stage;
  uint8_t* data = nullptr;
  if (request.reachesDevice && request.setup.In()) {
    data = out;
  } else if (request.reachesDevice && request.setup.length > 0) {
    // The device's model may not write into the caller's input.
    stage.assign(translated.outData, translated.outData + request.setup.length);
    data = stage.data();
  }
  uint32_t moved = 0;
  const SimOutcome answer = recorder->Exchange(attachment, request, data, &moved, changes);
  if (outcome != nullptr) *outcome = answer;
  if (answer != SimOutcome::kOk) return false;
  if (bytesReturned != nullptr) *bytesReturned = moved;
  return true;
}
