#include "tool/engine_run.h"

#include <atomic>
#include <cstdio>

#include "common/guid.h"
#include "device/device_listing.h"
#include "operations/dfu_thread.h"
#include "operations/drive_operation.h"
#include "operations/operations.h"
#include "platform/interrupt.h"
#include "protocol/request_names.h"

namespace {

constexpr uint8_t DFU_STATUS_LAST_ERROR = 0x0F;  // errSTALLEDPKT
constexpr uint8_t DFU_STATUS_ERR_VENDOR = 0x0B;

// The names and meanings of the DFU status codes 1 to 15.
constexpr const char* DFU_STATUS_TEXTS[][2] = {
    {"errTARGET", "the file is not meant for this device"},
    {"errFILE", "the file failed the device's own check"},
    {"errWRITE", "the memory cannot be written"},
    {"errERASE", "the erase failed"},
    {"errCHECK_ERASED", "the check of the erase failed"},
    {"errPROG", "programming the memory failed"},
    {"errVERIFY", "the memory failed its check after programming"},
    {"errADDRESS", "the address is out of range"},
    {"errNOTDONE", "the device does not have all the data yet"},
    {"errFIRMWARE", "the firmware is corrupt"},
    {"errVENDOR", "a vendor-specific error"},
    {"errUSBR", "an unexpected USB reset"},
    {"errPOR", "an unexpected power-on reset"},
    {"errUNKNOWN", "an unknown error"},
    {"errSTALLEDPKT", "the device stalled an unexpected request"},
};

// A device's error status by its name and meaning; empty for any other code.
std::string DeviceStatusText(StatusCode status) {
  if (status <= TOOL_DEVICE_STATUS_FAILURE || status > DeviceStatusFailure(DFU_STATUS_LAST_ERROR)) return "";
  const auto* named = DFU_STATUS_TEXTS[status - TOOL_DEVICE_STATUS_FAILURE - 1];
  return std::string("the device reported ") + named[0] + " (" + named[1] + ")";
}

bool IsBusy(const DfuStatus& status) {
  return status.bStatus == 0 &&
         (status.bState == DFU_STATE_DNBUSY || status.bState == STATE_UPLOAD_BUSY ||
          status.bState == DFU_STATE_MANIFEST);
}

constexpr uint8_t DFU_REQUEST_LAST = 6;  // ABORT

// The DFU state names, 0 to 10.
constexpr const char* DFU_STATE_NAMES[] = {
    "appIDLE",     "appDETACH",          "dfuIDLE",         "dfuDNLOAD-SYNC",
    "dfuDNBUSY",   "dfuDNLOAD-IDLE",     "dfuMANIFEST-SYNC", "dfuMANIFEST",
    "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR"};

// The failure as the tool names it: a generic failure, or one over a state,
// after which the device's last status was an error is that error; a
// generic one right after a request the device did not complete or
// answered short is that request's; one over a state with no error is that
// state.
StatusCode NamedFailure(const OperationContext& record) {
  const uint8_t bStatus = record.deviceStatus.bStatus;
  const bool generic = record.result == OP_ERR_UNEXPECTED || record.result == OP_ERR_DFU_ERROR;
  const bool state = record.result == OP_ERR_BAD_FIRMWARE_STATE;
  if ((generic || state) && bStatus != 0 && bStatus <= DFU_STATUS_LAST_ERROR) {
    return DeviceStatusFailure(bStatus);
  }
  const uint8_t bState = record.deviceStatus.bState;
  if (generic && record.lastRequest <= DFU_REQUEST_LAST) {
    if (record.lastRequestResult == DEV_ERR_SHORT_ANSWER) return ShortAnswer(record.lastRequest);
    if (record.lastRequestResult == DEV_ERR_CONTROL_TRANSFER) return RequestFailure(record.lastRequest);
  }
  // A status of manifestation closes the device: the requests after it
  // fail because of the state the device answered.
  const bool manifesting = bState == DFU_STATE_MANIFEST || bState == DFU_STATE_MANIFEST_WAIT_RESET;
  if ((state || (generic && manifesting)) && bStatus == 0 && bState <= DFU_STATE_ERROR) {
    return UnexpectedState(bState);
  }
  return record.result;
}

// A failure that a device which left the bus would give: a request it did
// not complete, or an open that failed. Whether it left is asked of the
// listing, which a device that is gone no longer shows; a device that came
// back at the same path, or a listing that failed, keeps the failure as it
// was named. A detach ends with the device leaving the bus by design: its
// failures keep their own words. (The read-unprotect's departure is its
// success; it fails over a departure only when the device left before it
// took the command.)
bool DeviceLeftTheBus(OperationCode opCode, StatusCode failure, const std::string& devicePath) {
  if (opCode == OP_CODE_DETACH || opCode == OP_CODE_DETACH_RESET) return false;
  const bool requestFailed = failure >= TOOL_REQUEST_FAILURE && failure <= RequestFailure(DFU_REQUEST_LAST);
  if (!requestFailed && failure != DEV_ERR_OPEN_FAILED) return false;
  return InterfaceListed(devicePath, {DFU_INTERFACE_GUID, APP_INTERFACE_GUID}) == LISTING_ABSENT;
}

std::string Duration(uint32_t milliseconds) {
  const uint32_t seconds = milliseconds / 1000;
  char text[48];
  if (seconds < 120) {
    std::snprintf(text, sizeof text, "%u s", static_cast<unsigned>(seconds));
  } else if (seconds < 2 * 3600) {
    std::snprintf(text, sizeof text, "%u min", static_cast<unsigned>(seconds / 60));
  } else {
    std::snprintf(text, sizeof text, "%u h %u min", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60));
  }
  return text;
}

std::atomic<bool> g_interruptStops{true};

// The tool's view of a running operation: each record, one line about a
// device that asks for a long wait, and a stop at an interrupt.
class CToolObserver : public COperationObserver {
 public:
  CToolObserver(const std::function<void(const OperationContext&)>& progress,
                const std::function<void(const std::string&)>& note)
      : progress_(progress), note_(note) {}
  bool StopRequested() override { return RunInterrupted(); }
  void Running(const OperationContext& record) override {
    // The worker sleeps through the wait with the busy answer published.
    if (note_ && !longWaitNoted_ && IsBusy(record.deviceStatus) &&
        DfuStatusPollTimeout(record.deviceStatus) >= TOOL_LONG_WAIT_NOTE_MS) {
      longWaitNoted_ = true;
      note_(LongWaitText(DfuStatusPollTimeout(record.deviceStatus)));
    }
    progress_(record);
  }

 private:
  const std::function<void(const OperationContext&)>& progress_;
  const std::function<void(const std::string&)>& note_;
  bool longWaitNoted_ = false;
};

}  // namespace

void SetInterruptStopsOperations(bool stops) { g_interruptStops = stops; }

bool RunInterrupted() { return g_interruptStops && PlatformInterrupted(); }

std::string LongWaitText(uint32_t announcedMs) {
  std::string text = "the device asks to wait " + Duration(announcedMs) + " before it answers again";
  if (announcedMs > OP_BUSY_LIMIT_MS) {
    text += "; it is given at most " + Duration(OP_BUSY_LIMIT_MS) + " to finish";
  }
  return text;
}

StatusCode RunEngineOperation(OperationCode opCode, ImageHandle image,
                              const std::string& devicePath, uint32_t skipBlankBlocks,
                              const std::function<void(const OperationContext&)>& progress,
                              OperationContext* final, bool* fastPoll,
                              const std::function<void(const std::string&)>& note,
                              CUploadSink* uploadSink) {
  OperationContext context;
  if (RunInterrupted()) return TOOL_INTERRUPTED;
  if (!NewOperationContext(opCode, image, devicePath, &context)) return OP_ERR_BAD_PARAMETER;
  context.skipBlankBlocks = skipBlankBlocks;
  context.fastPoll = fastPoll != nullptr && *fastPoll ? 1 : 0;
  context.uploadSink = uploadSink;
  // Read as the devices in the field allow: no status request between
  // upload blocks, and a short block said plainly instead of retried.
  context.tolerantUpload = 1;
  OperationId id = OP_INVALID_ID;
  const StatusCode launched = LaunchOperation(&context, &id);
  if (launched != RESULT_OK) return launched;
  CToolObserver observer(progress, note);
  OperationContext record = context;
  const OperationEnd end = DriveOperation(id, &observer, &record);
  // The worker clears fastPoll in the record it publishes when the device
  // refuses an early status request; the final record has the last word.
  if (fastPoll != nullptr && record.fastPoll == 0) *fastPoll = false;
  if (final != nullptr) *final = record;
  switch (end) {
    case OperationEnd::kFailed: {
      const StatusCode failure = NamedFailure(record);
      return DeviceLeftTheBus(opCode, failure, devicePath) ? TOOL_DEVICE_GONE : failure;
    }
    case OperationEnd::kStopped:
      // The halt sent the abort request to the device of a DFU operation.
      return TOOL_INTERRUPTED;
    case OperationEnd::kDone:
      break;
  }
  return record.result;
}

std::string StatusText(StatusCode status) {
  switch (status) {
    case DEV_ERR_OPEN_FAILED:
      return "the device cannot be opened";
    case DEV_ERR_IN_USE:
      return "the device is in use by another program";
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
    case TOOL_INTERRUPTED:
      return "interrupted; the device was told to stop and stays in DFU mode";
    case TOOL_OUT_OF_MEMORY:
      return "out of memory";
    case TOOL_DEVICE_GONE:
      return "the device is gone: it left the bus (unplugged, or reset by itself)";
    case OP_ERR_UPLOAD_ENDED_EARLY:
      return "the device ended the upload early: a block inside its readable memory came back short, "
             "so the bytes after it were not read";
    case OP_ERR_BUSY_TIMEOUT:
      return "the device stayed busy (dfuDNBUSY) for more than " + Duration(OP_BUSY_LIMIT_MS);
    case DeviceStatusFailure(DFU_STATUS_ERR_VENDOR):
      // What a DfuSe device answers to every erase, write and read while its
      // read-out protection holds.
      return "the device refused with errVENDOR: it is read-protected; 'zuvatool unprotect --force' "
             "lifts the protection and erases the whole flash";
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
  if (status >= TOOL_REQUEST_FAILURE && status <= RequestFailure(DFU_REQUEST_LAST)) {
    return std::string("the device did not complete its ") +
           DfuRequestName(static_cast<uint8_t>(status - TOOL_REQUEST_FAILURE)) +
           " request: it refused it or did not answer";
  }
  if (status >= TOOL_SHORT_ANSWER && status <= ShortAnswer(DFU_REQUEST_LAST)) {
    return std::string("the device's answer to ") +
           DfuRequestName(static_cast<uint8_t>(status - TOOL_SHORT_ANSWER)) + " was too short";
  }
  if (status >= TOOL_UNEXPECTED_STATE && status <= UnexpectedState(DFU_STATE_ERROR)) {
    return std::string("the device answered ") + DFU_STATE_NAMES[status - TOOL_UNEXPECTED_STATE] +
           ", a state that does not follow from the request";
  }
  const std::string named = DeviceStatusText(status);
  if (!named.empty()) return named;
  char text[48];
  std::snprintf(text, sizeof text, "error 0x%08X", status);
  return text;
}

std::string ReportedStatusText(StatusCode status) {
  const std::string named = DeviceStatusText(status);
  return named.empty() ? StatusText(status) : named;
}
