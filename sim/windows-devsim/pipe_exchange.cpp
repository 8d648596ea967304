#include "sim/windows-devsim/pipe_exchange.h"

#include "sim/windows-driver/devsim_pipe.h"

namespace {

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool DevsimDecodeRequest(const uint8_t* header, DevsimPipeRequest* request) {
  request->kind = GetU32(header);
  request->attachment = GetU32(header + 4);
  request->code = GetU32(header + 8);
  request->inputSize = GetU32(header + 12);
  request->outputSize = GetU32(header + 16);
  const bool knownKind = request->kind == DEVSIM_PIPE_HELLO || request->kind == DEVSIM_PIPE_IOCTL;
  return knownKind && request->inputSize <= DEVSIM_PIPE_MAX_DATA &&
         request->outputSize <= DEVSIM_PIPE_MAX_DATA;
}

std::vector<uint8_t> DevsimAnswer(CDfuDevice* device, const DevsimPipeRequest& request,
                                  const uint8_t* input) {
  bool completed = true;
  uint32_t returned = 0;
  std::vector<uint8_t> output;
  if (request.kind == DEVSIM_PIPE_IOCTL) {
    output.assign(request.outputSize, 0);
    // The driver shows bus changes from the place in the reply, not from
    // this list.
    std::vector<SimBusChange> changes;
    completed = device->IoControl(request.attachment, request.code, input, request.inputSize,
                                  output.data(), request.outputSize, &returned, &changes);
    if (!completed || returned > request.outputSize) returned = completed ? request.outputSize : 0;
  }
  const CDfuDevice::BusPosition place = device->Position();
  std::vector<uint8_t> reply(DEVSIM_PIPE_REPLY_HEADER_SIZE + returned);
  PutU32(reply.data(), completed ? 1 : 0);
  PutU32(reply.data() + 4, returned);
  PutU32(reply.data() + 8, place.present ? 1 : 0);
  PutU32(reply.data() + 12, place.dfuMode ? 1 : 0);
  PutU32(reply.data() + 16, place.attachment);
  for (uint32_t i = 0; i < returned; ++i) reply[DEVSIM_PIPE_REPLY_HEADER_SIZE + i] = output[i];
  return reply;
}
