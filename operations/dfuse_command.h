// The DfuSe commands that act on a whole device rather than on an image:
// mass erase (the single byte 0x41 in download block 0) and read-unprotect
// (the single byte 0x92, after which the device erases itself and resets).
// Each runs to its end on the calling thread.
#ifndef ZUVA_OPERATIONS_DFUSE_COMMAND_H_
#define ZUVA_OPERATIONS_DFUSE_COMMAND_H_

#include <cstdint>
#include <string>

#include "common/status_code.h"
#include "protocol/dfu.h"

// A mass erase is the erase command without an address.
constexpr uint8_t DFUSE_CMD_MASS_ERASE = DFUSE_CMD_ERASE;

// Longest wait for the device to finish a command before giving up.
constexpr uint32_t OP_DFUSE_COMMAND_LIMIT_MS = 120000;
// The limit of the commands run from now on; tests and fuzzers shorten it.
void SetDfuseCommandLimit(uint32_t milliseconds);
// Longest wait, after a command that resets the device, for its DFU
// interface to leave the listing: a device may mass-erase before it resets,
// and answers nothing meanwhile.
constexpr uint32_t OP_DFUSE_RESET_LIMIT_MS = 30000;
// The wait of the commands run from now on; tests shorten it.
void SetDfuseResetLimit(uint32_t milliseconds);

// Opens the device, brings it to dfuIDLE, sends the one-byte command and
// polls its status, waiting the time each answer announces, until the device
// reports dfuDNLOAD-IDLE (RESULT_OK). A status error gives OP_ERR_DFU_ERROR.
// With `deviceResets` success is the device's departure after the command:
// RESULT_OK only once its DFU interface is no longer listed at the path;
// otherwise what the device answered (DEV_ERR_CONTROL_TRANSFER for a refused
// request, OP_ERR_UNEXPECTED for one it took without resetting).
StatusCode RunDfuseCommand(const std::string& devicePath, uint8_t command, bool deviceResets);

#endif  // ZUVA_OPERATIONS_DFUSE_COMMAND_H_
