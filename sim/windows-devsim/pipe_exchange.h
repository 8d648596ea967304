// One exchange of the virtual DFU kernel driver with the device model: the
// request's header decoded, the driver request put to the device through the
// driver front (sim/driver_front.h), the reply encoded (message format:
// sim/windows-driver/devsim_pipe.h). Free of any operating-system call, so
// that it is tested on its own.
#ifndef ZUVA_SIM_WINDOWS_DEVSIM_PIPE_EXCHANGE_H_
#define ZUVA_SIM_WINDOWS_DEVSIM_PIPE_EXCHANGE_H_

#include <cstdint>
#include <vector>

#include "sim/sim_recorder.h"

struct DevsimPipeRequest {
  uint32_t kind = 0;
  uint32_t attachment = 0;
  uint32_t code = 0;
  uint32_t inputSize = 0;
  uint32_t outputSize = 0;
};

// Decodes a request header (DEVSIM_PIPE_REQUEST_HEADER_SIZE bytes). False for
// a header no driver of ours sends: an unknown kind or sizes beyond
// DEVSIM_PIPE_MAX_DATA; the connection is then out of step.
bool DevsimDecodeRequest(const uint8_t* header, DevsimPipeRequest* request);

// Answers a decoded request whose input bytes follow: the reply header and
// its output bytes, never more of them than the request's output size.
std::vector<uint8_t> DevsimAnswer(CSimRecorder* recorder, const DevsimPipeRequest& request,
                                  const uint8_t* input);

#endif  // ZUVA_SIM_WINDOWS_DEVSIM_PIPE_EXCHANGE_H_
