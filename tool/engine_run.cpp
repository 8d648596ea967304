#include "tool/engine_run.h"

#include <cstdio>

#include "operations/operations.h"
#include "platform/device_notifier.h"

namespace {

// The poll loop sleeps until the operation publishes, a device-change event
// arrives for this thread, or this much time passes.
constexpr uint32_t TOOL_POLL_TIMEOUT_MS = 50;

}  // namespace

StatusCode RunEngineOperation(OperationCode opCode, ImageHandle image,
                              const std::string& devicePath, uint32_t skipBlankBlocks,
                              const std::function<void(uint8_t)>& progress,
                              OperationContext* final, bool* fastPoll) {
  OperationContext context;
  if (!NewOperationContext(opCode, image, devicePath, &context)) return OP_ERR_BAD_PARAMETER;
  context.skipBlankBlocks = skipBlankBlocks;
  context.fastPoll = fastPoll != nullptr && *fastPoll ? 1 : 0;
  OperationId id = OP_INVALID_ID;
  const StatusCode launched = LaunchOperation(&context, &id);
  if (launched != RESULT_OK) return launched;
  OperationContext snapshot = context;
  uint8_t shown = 0;
  for (;;) {
    WaitOperationActivity(id, TOOL_POLL_TIMEOUT_MS);
    QueryOperation(id, &snapshot);
    if (fastPoll != nullptr && snapshot.fastPoll == 0) *fastPoll = false;
    // The result first: a last step may set both an error and 100.
    if (snapshot.result != RESULT_OK) {
      StopOperation(id, &snapshot);
      if (final != nullptr) *final = snapshot;
      return snapshot.result;
    }
    if (snapshot.progress != shown) {
      shown = snapshot.progress;
      progress(shown);
    }
    // Device-change notifications of detach and leave reach the operation
    // only through this thread's pump.
    PumpThreadMessages();
    if (snapshot.progress >= 100) {
      StopOperation(id, &snapshot);
      if (final != nullptr) *final = snapshot;
      return snapshot.result;
    }
  }
}

std::string StatusText(StatusCode status) {
  switch (status) {
    case DEV_ERR_OPEN_FAILED:
      return "the device cannot be opened";
    case DEV_ERR_CONTROL_TRANSFER:
      return "a control transfer failed";
    case DEV_ERR_DESCRIPTOR_READ:
      return "the device's descriptors cannot be read";
    case OP_ERR_THREAD_LAUNCH:
      return "the worker thread cannot be started";
    case OP_ERR_BAD_PARAMETER:
      return "bad parameter";
    case OP_ERR_BAD_FIRMWARE_STATE:
      return "the device is in an unexpected state";
    case OP_ERR_UNEXPECTED:
      return "the device did not answer as expected";
    case OP_ERR_DFU_ERROR:
      return "the device reported an error";
    case OP_ERR_UNSUPPORTED_FEATURE:
      return "the device does not support this";
    case DEV_ERR_RESET_UNSUPPORTED:
      return "this transport cannot send a USB reset";
    case DEV_ERR_RESET_FAILED:
      return "the USB reset failed";
    case FILE_ERR_BAD_CONTENT:
      return "bad content";
    case FILE_ERR_IO:
      return "input/output error";
    default:
      break;
  }
  char text[48];
  std::snprintf(text, sizeof text, "error 0x%08X", status);
  return text;
}
