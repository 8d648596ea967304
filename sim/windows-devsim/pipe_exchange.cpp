#include "sim/windows-devsim/pipe_exchange.h"

#include "protocol/byte_order.h"
#include "protocol/usb.h"
#include "sim/driver_front.h"
#include "sim/windows-driver/devsim_pipe.h"

namespace {

// A control transfer of the WinUSB node: named, counted, faulted and traced
// as the driver request it is, and handed to the model as it came. A
// transfer no driver request becomes, or whose buffers do not fit its
// length, stalls without reaching the device.
bool AnswerControlTransfer(CSimRecorder* recorder, uint32_t attachment, const uint8_t* input,
                           uint32_t inputSize, uint8_t* output, uint32_t outputSize,
                           uint32_t* returned) {
  if (inputSize < DEVSIM_USB_SETUP_SIZE) return false;
  UsbSetup setup;
  setup.requestType = input[0];
  setup.request = input[1];
  setup.value = GetLe16(input + 2);
  setup.index = GetLe16(input + 4);
  setup.length = GetLe16(input + 6);
  const uint8_t* data = input + DEVSIM_USB_SETUP_SIZE;
  const uint32_t dataSize = inputSize - DEVSIM_USB_SETUP_SIZE;
  if (setup.In() ? outputSize < setup.length : dataSize != setup.length) return false;
  SimRequest request;
  if (!SimNameDriverTransfer(setup, &request)) return false;
  // The device's model may not write into the request's input.
  std::vector<uint8_t> stage(data, data + (setup.In() ? 0 : dataSize));
  uint32_t moved = 0;
  std::vector<SimBusChange> changes;
  if (recorder->Exchange(attachment, request, setup.In() ? output : stage.data(), &moved,
                         &changes) != SimOutcome::kOk) {
    return false;
  }
  *returned = moved;
  return true;
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
