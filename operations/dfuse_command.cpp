#include "operations/dfuse_command.h"

#include "device/device_listing.h"
#include "operations/engine_clock.h"

namespace {

// Between two looks at the listing while a resetting device is awaited. A
// listing walks the whole bus (and under the Windows driver asks every
// device), so the wait looks no more often than the detach does; a reset
// takes far longer than one interval.
constexpr uint32_t OP_REMOVAL_POLL_MS = 100;
// The commands act on the device as a whole, through its first alternate
// setting.
constexpr uint8_t OP_COMMAND_ALTERNATE = 0;

uint32_t& ConfiguredResetLimit() {
  static uint32_t limit = OP_DFUSE_RESET_LIMIT_MS;
  return limit;
}

// A status that says the device is on its way out (DfuGetStatus has closed
// it then).
bool Manifesting(const OperationContext& context) {
  const uint8_t state = context.deviceStatus.bState;
  return context.device == DEVICE_INVALID_HANDLE || state == DFU_STATE_MANIFEST ||
         state == DFU_STATE_MANIFEST_WAIT_RESET;
}

}  // namespace

void SetDfuseResetLimit(uint32_t milliseconds) { ConfiguredResetLimit() = milliseconds; }

CDfuseCommandThread::CDfuseCommandThread(OperationContext* caller)
    : CDFUThread(caller),
      command(caller->opCode == OP_CODE_READ_UNPROTECT ? DFUSE_CMD_READ_UNPROTECT : DFUSE_CMD_MASS_ERASE),
      resetsDevice(caller->opCode == OP_CODE_READ_UNPROTECT),
      resetLimitMs(ConfiguredResetLimit()) {}

void CDfuseCommandThread::PublishContext(const OperationContext& in) {
  if (!holdFailures || in.result == RESULT_OK) {
    CDFUThread::PublishContext(in);
    return;
  }
  OperationContext provisional = in;
  provisional.result = RESULT_OK;
  CDFUThread::PublishContext(provisional);
}

void CDfuseCommandThread::OnStepException() {
  holdFailures = false;
  CDFUThread::OnStepException();
}

bool CDfuseCommandThread::Step() {
  nextWaitMs = 0;
  OperationContext context;
  ReadContext(&context);
  if (waitingForRemoval) return RemovalStep(&context);
  switch (context.deviceStatus.bState) {
    case STATE_NOT_STARTED:
      return FirstStep(&context);
    case DFU_STATE_DNBUSY:
      return BusyStep(&context);
    case DFU_STATE_DNLOAD_IDLE:
      return CommandTaken(&context);
    default:
      if (resetsDevice && Manifesting(context)) return StartRemovalWait(&context, OP_ERR_UNEXPECTED);
      holdFailures = false;
      return Fail(&context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
}

bool CDfuseCommandThread::RepeatRequest(OperationContext* context) { return SendCommand(context); }

bool CDfuseCommandThread::BusyStepEnded(OperationContext* context) {
  return resetsDevice && DecideAfterFailure(context);
}

bool CDfuseCommandThread::FirstStep(OperationContext* context) {
  if (!OpenAndSettle(context, &OP_COMMAND_ALTERNATE)) return false;
  return SendCommand(context);
}

bool CDfuseCommandThread::SendCommand(OperationContext* context) {
  // The code alone in block 0, where it travels in bits 16..23 of the
  // record's block number.
  context->blockNumber = static_cast<uint32_t>(command) << 16;
  context->blockLength = 1;
  context->phase = PHASE_DNLOAD;
  // From the moment the command may reach the device, a resetting device's
  // departure decides.
  holdFailures = resetsDevice;
  if (TransferBlock(context)) return true;
  // Nothing reached a device that neither took the command nor answered
  // the state request after it.
  departureProves = requestReachedDevice;
  return resetsDevice && DecideAfterFailure(context);
}

bool CDfuseCommandThread::CommandTaken(OperationContext* context) {
  // Back to dfuIDLE out of dfuDNLOAD-IDLE.
  EnterPhase(context, PHASE_ABORT);
  DfuAbort(&context->device);
  // A device that took the command to reset but stays has not done it yet.
  if (resetsDevice) return StartRemovalWait(context, OP_ERR_UNEXPECTED);
  context->progress = 100;
  PublishContext(*context);
  return false;
}

bool CDfuseCommandThread::DecideAfterFailure(OperationContext* context) {
  holdFailures = false;
  const StatusCode failure = context->result;
  // The device answered and refused: an error status, a state that says it
  // did not take the command, or work that outlasted the busy limit. It
  // stays as it was.
  // A command request that failed at every attempt while the device
  // answered the state request after each is refused as well.
  const bool commandRefused = context->lastRequest == DFU_REQUEST_DNLOAD && requestReachedDevice;
  const bool refused = !Manifesting(*context) &&
                       (failure == OP_ERR_DFU_ERROR || failure == OP_ERR_BAD_FIRMWARE_STATE ||
                        failure == OP_ERR_BUSY_TIMEOUT || context->deviceStatus.bStatus != DFU_STATUS_OK ||
                        commandRefused);
  if (refused) {
    PublishContext(*context);
    return false;
  }
  // A request that failed may be the device going as it answered.
  return StartRemovalWait(context, failure);
}

bool CDfuseCommandThread::StartRemovalWait(OperationContext* context, StatusCode failure) {
  holdFailures = false;
  failureIfStaying = failure;
  requestIfStaying = context->lastRequest;
  requestResultIfStaying = context->lastRequestResult;
  context->result = RESULT_OK;
  if (context->device != DEVICE_INVALID_HANDLE) {
    CloseDevice(context->device);
    context->device = DEVICE_INVALID_HANDLE;
  }
  waitingForRemoval = true;
  removalDeadline = EngineNow() + std::chrono::milliseconds(resetLimitMs);
  EnterPhase(context, PHASE_WAIT_REMOVAL);
  return true;
}

bool CDfuseCommandThread::RemovalStep(OperationContext* context) {
  // A listing that failed proves nothing: the wait goes on.
  if (InterfaceListed(context->devicePath, {context->dfuModeInterfaceClass}) == LISTING_ABSENT) {
    if (!departureProves) return FailAfterRequest(context, failureIfStaying, false, requestIfStaying, requestResultIfStaying);
    context->progress = 100;
    PublishContext(*context);
    return false;
  }
  // The failure as it was named when it happened: the requests since (the
  // abort, the listings) explain nothing.
  if (EngineNow() >= removalDeadline) {
    return FailAfterRequest(context, failureIfStaying, false, requestIfStaying, requestResultIfStaying);
  }
  nextWaitMs = OP_REMOVAL_POLL_MS;
  return true;
}
