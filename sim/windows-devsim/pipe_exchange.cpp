#include "sim/windows-devsim/pipe_exchange.h"

#include "protocol/byte_order.h"
#include "protocol/driver_requests.h"
#include "protocol/usb.h"
#include "sim/driver_front.h"
#include "sim/windows-driver/devsim_pipe.h"

namespace {

// A control transfer of the WinUSB node, answered as the driver request it
// carries, so that the recorder counts, faults and traces it as one request
// under that request's name. A transfer no driver request carries stalls.
bool AnswerControlTransfer(CSimRecorder* recorder, uint32_t attachment, const uint8_t* input,
                           uint32_t inputSize, uint8_t* output, uint32_t outputSize,
                           uint32_t* returned) {
  if (inputSize < DEVSIM_USB_SETUP_SIZE) return false;
  const uint8_t requestType = input[0];
  const uint8_t request = input[1];
  const uint16_t value = GetLe16(input + 2);
  const uint16_t index = GetLe16(input + 4);
  const uint16_t length = GetLe16(input + 6);
  const uint8_t* data = input + DEVSIM_USB_SETUP_SIZE;
  const uint32_t dataSize = inputSize - DEVSIM_USB_SETUP_SIZE;
  const bool in = (requestType & USB_DIR_IN) != 0;
  if (in ? outputSize < length : dataSize != length) return false;
  uint32_t code = 0;
  std::vector<uint8_t> driverInput;
  if (requestType == USB_REQUEST_TYPE_STANDARD_IN && request == USB_REQUEST_GET_DESCRIPTOR) {
    const auto descriptorIndex = static_cast<uint8_t>(value);
    switch (value >> 8) {
      case USB_DT_DEVICE:
        code = IOCTL_DFU_GET_DEVICE_DESCRIPTOR;
        break;
      case USB_DT_CONFIGURATION:
        code = IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR;
        driverInput = {descriptorIndex};
        break;
      case USB_DT_STRING:
        code = IOCTL_DFU_GET_STRING_DESCRIPTOR;
        driverInput = {descriptorIndex, static_cast<uint8_t>(index),
                       static_cast<uint8_t>(index >> 8)};
        break;
      default:
        return false;
    }
  } else if (requestType == USB_REQUEST_TYPE_STANDARD_INTERFACE_OUT && request == USB_REQUEST_SET_INTERFACE) {
    // The device runs its one configuration, index 0.
    code = IOCTL_DFU_SELECT_ALTERNATE_SETTING;
    driverInput = {0, static_cast<uint8_t>(index), static_cast<uint8_t>(value)};
  } else if ((requestType & ~USB_DIR_IN) == USB_REQUEST_TYPE_CLASS_INTERFACE_OUT) {
    code = IOCTL_DFU_CONTROL_REQUEST;
    ControlRequestHeader header;
    header.requestKind = CONTROL_REQUEST_KIND_CLASS_INTERFACE;
    header.direction = in ? CONTROL_DIRECTION_DEVICE_TO_HOST : CONTROL_DIRECTION_HOST_TO_DEVICE;
    header.request = request;
    header.value = value;
    header.index = index;
    header.length = length;
    driverInput.assign(CONTROL_REQUEST_HEADER_SIZE, 0);
    EncodeControlRequestHeader(header, driverInput.data());
    driverInput.insert(driverInput.end(), data, data + dataSize);
  } else {
    return false;
  }
  std::vector<SimBusChange> changes;
  return SimAnswerDriverRequest(recorder, attachment, code, driverInput.data(),
                                static_cast<uint32_t>(driverInput.size()), output,
                                in ? length : 0, returned, &changes);
}

}  // namespace

bool DevsimDecodeRequest(const uint8_t* header, DevsimPipeRequest* request) {
  request->kind = GetLe32(header);
  request->attachment = GetLe32(header + 4);
  request->code = GetLe32(header + 8);
  request->inputSize = GetLe32(header + 12);
  request->outputSize = GetLe32(header + 16);
  const bool knownKind = request->kind == DEVSIM_PIPE_HELLO || request->kind == DEVSIM_PIPE_IOCTL;
  return knownKind && request->inputSize <= DEVSIM_PIPE_MAX_DATA &&
         request->outputSize <= DEVSIM_PIPE_MAX_DATA;
}

std::vector<uint8_t> DevsimAnswer(CSimRecorder* recorder, const DevsimPipeRequest& request,
                                  const uint8_t* input) {
  bool completed = true;
  uint32_t returned = 0;
  std::vector<uint8_t> output;
  if (request.kind == DEVSIM_PIPE_IOCTL) {
    output.assign(request.outputSize, 0);
    // The driver shows bus changes from the place in the reply, not from
    // this list.
    std::vector<SimBusChange> changes;
    completed =
        request.code == DEVSIM_IOCTL_USB_CONTROL
            ? AnswerControlTransfer(recorder, request.attachment, input, request.inputSize,
                                    output.data(), request.outputSize, &returned)
            : SimAnswerDriverRequest(recorder, request.attachment, request.code, input,
                                     request.inputSize, output.data(), request.outputSize,
                                     &returned, &changes);
    if (!completed || returned > request.outputSize) returned = completed ? request.outputSize : 0;
  }
  const CDfuDevice::BusPosition place = recorder->Device()->Position();
  std::vector<uint8_t> reply(DEVSIM_PIPE_REPLY_HEADER_SIZE + returned);
  PutLe32(reply.data(), completed ? 1 : 0);
  PutLe32(reply.data() + 4, returned);
  PutLe32(reply.data() + 8, place.present ? 1 : 0);
  PutLe32(reply.data() + 12, place.dfuMode ? 1 : 0);
  PutLe32(reply.data() + 16, place.attachment);
  for (uint32_t i = 0; i < returned; ++i) reply[DEVSIM_PIPE_REPLY_HEADER_SIZE + i] = output[i];
  return reply;
}
