// The DfuSe commands that act on a whole device rather than on an image, as
// operations of the engine: mass erase (OP_CODE_MASS_ERASE, the single byte
// 0x41 in download block 0) and read-unprotect (OP_CODE_READ_UNPROTECT, the
// single byte 0x92, after which the device erases itself and resets). Both
// settle the device, send the command, poll it while busy and recover from a
// failed request as every other operation does, within the same busy limit.
#ifndef ZUVA_OPERATIONS_DFUSE_COMMAND_H_
#define ZUVA_OPERATIONS_DFUSE_COMMAND_H_

#include <chrono>
#include <cstdint>

#include "operations/dfu_thread.h"

// A mass erase is the erase command without an address.
constexpr uint8_t DFUSE_CMD_MASS_ERASE = DFUSE_CMD_ERASE;

// Longest wait, after a command that resets the device, for its DFU
// interface to leave the listing: a device may mass-erase before it resets,
// and answers nothing meanwhile. Measured on the engine's clock.
constexpr uint32_t OP_DFUSE_RESET_LIMIT_MS = 30000;
// The wait of the command operations constructed from now on; tests shorten
// it.
void SetDfuseResetLimit(uint32_t milliseconds);

// The mass erase succeeds (progress 100, RESULT_OK) once the device reports
// dfuDNLOAD-IDLE after the command; then it is aborted back to dfuIDLE. An
// error status that stays through the engine's attempts ends it with the
// status in the record (OP_ERR_DFU_ERROR, or OP_ERR_UNEXPECTED after
// dfuERROR each time).
//
// The read-unprotect succeeds only by the device's departure: once the
// command has gone (or may have gone: a request that failed, a status of
// manifestation), the device is closed and the listing is watched until its
// DFU interface is gone. A device that refused the command (an error status,
// a state that says it was not taken, a busy time over the limit) fails at
// once; one still listed at the end of the wait fails with what it
// answered, or OP_ERR_UNEXPECTED when it took the command without resetting.
// While the departure may still decide, no failure is published.
class CDfuseCommandThread : public CDFUThread {
 public:
  explicit CDfuseCommandThread(OperationContext* caller);

  bool Step() override;
  void PublishContext(const OperationContext& in) override;

 protected:
  // A step that threw has ended the work whatever was still undecided.
  void OnStepException() override;
  bool RepeatRequest(OperationContext* context) override;
  // A resetting command's departure may still decide.
  bool BusyStepEnded(OperationContext* context) override;

 private:
  bool FirstStep(OperationContext* context);
  bool SendCommand(OperationContext* context);
  // The device answered dfuDNLOAD-IDLE: the command is done.
  bool CommandTaken(OperationContext* context);
  // A resetting command's step has ended with `goOn` false: a refusal ends
  // the operation, anything else waits for the departure.
  bool DecideAfterFailure(OperationContext* context);
  // Closes the device and starts the watch for its departure; `failure` is
  // the result should the device stay.
  bool StartRemovalWait(OperationContext* context, StatusCode failure);
  bool RemovalStep(OperationContext* context);

  const uint8_t command;
  const bool resetsDevice;
  const uint32_t resetLimitMs;
  // Set while a resetting command's outcome is undecided: failures then stay
  // out of the published record.
  bool holdFailures = false;
  bool waitingForRemoval = false;
  StatusCode failureIfStaying = RESULT_OK;
  // The request that explains failureIfStaying, as the record named it then.
  uint8_t requestIfStaying = 0xFF;
  StatusCode requestResultIfStaying = RESULT_OK;
  // A device that leaves the bus without having taken the command in (it
  // was unplugged as the command went) has not done it: its departure
  // proves nothing, and the failure stands.
  bool departureProves = true;
  std::chrono::steady_clock::time_point removalDeadline{};
};

#endif  // ZUVA_OPERATIONS_DFUSE_COMMAND_H_
