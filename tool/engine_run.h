// Runs one operation of the engine on one device to its end, reporting its
// progress; the building block of every device command.
#ifndef ZUVA_TOOL_ENGINE_RUN_H_
#define ZUVA_TOOL_ENGINE_RUN_H_

#include <cstdint>
#include <functional>
#include <string>

#include "common/operation_code.h"
#include "common/status_code.h"
#include "dfufiles/image.h"
#include "operations/operation_context.h"

// Launches `opCode` on the device at `devicePath` with `image` (already
// fitted to the device's map by the caller, or null where the operation
// needs none), calls `progress` with every record read while it goes on (at
// least every OP_DRIVE_WAIT_MS, so that a caller can follow more than the
// percentage), and returns RESULT_OK once it reached 100 %, else its failure. The image must outlive
// the call; an upload leaves what it read in it. With `final`, the
// operation's last record goes there. With `fastPoll` given and true the
// operation polls a busy device early (operations/poll_schedule.h); it comes
// back false when the device refused that, so that the device's later
// operations wait as it announces.
//
// A failure that the device's own status explains (it answered an error
// status to the last request) comes back as DeviceStatusFailure(bStatus),
// one that a request explains (the device did not complete it, or answered
// it short) as RequestFailure or ShortAnswer of that request, one over a
// state the device should not be in as UnexpectedState(bState), so that
// their words name what the device did. `note`, when given, hears once of a
// device that asks for a long wait before its next status. An upload with
// `uploadSink` hands its blocks there and leaves the image as it was
// (operations/upload_sink.h).
StatusCode RunEngineOperation(OperationCode opCode, ImageHandle image,
                              const std::string& devicePath, uint32_t skipBlankBlocks,
                              const std::function<void(const OperationContext&)>& progress,
                              OperationContext* final = nullptr, bool* fastPoll = nullptr,
                              const std::function<void(const std::string&)>& note = nullptr,
                              CUploadSink* uploadSink = nullptr);

// The tool's code for an operation that failed because the device answered
// the DFU status `bStatus` (1 to 15).
constexpr StatusCode TOOL_DEVICE_STATUS_FAILURE = 0x12347100;
constexpr StatusCode DeviceStatusFailure(uint8_t bStatus) { return TOOL_DEVICE_STATUS_FAILURE + bStatus; }

// An operation that failed after a request of the DFU number `request` that
// the device did not complete (stalled, or no longer there to answer), or
// answered too short; and one that failed because the device answered the
// state `bState` with no error status, a state that does not follow from
// what it was asked.
constexpr StatusCode TOOL_REQUEST_FAILURE = 0x12347300;
constexpr StatusCode TOOL_SHORT_ANSWER = 0x12347400;
constexpr StatusCode TOOL_UNEXPECTED_STATE = 0x12347500;
constexpr StatusCode RequestFailure(uint8_t request) { return TOOL_REQUEST_FAILURE + request; }
constexpr StatusCode ShortAnswer(uint8_t request) { return TOOL_SHORT_ANSWER + request; }
constexpr StatusCode UnexpectedState(uint8_t bState) { return TOOL_UNEXPECTED_STATE + bState; }

// An announced wait from this long on is worth a line: the user sees why
// nothing moves.
constexpr uint32_t TOOL_LONG_WAIT_NOTE_MS = 10000;

// The line about a device that asks to wait `announcedMs` before its next
// status request.
std::string LongWaitText(uint32_t announcedMs);

// An operation stopped because the run was interrupted (Ctrl-C, SIGTERM):
// the device was told to abort and stays in DFU mode.
constexpr StatusCode TOOL_INTERRUPTED = 0x12347200;

// The tool could not get the memory for a step's image.
constexpr StatusCode TOOL_OUT_OF_MEMORY = 0x12347600;

// An operation failed at a request (or at opening the device) because the
// device had left the bus: the listing no longer shows it at its path.
constexpr StatusCode TOOL_DEVICE_GONE = 0x12347700;

// Whether an interruption stops the operation in progress and decides the
// run's exit code: yes by default; flash --watch says no, since there it
// only ends the taking of arrivals and lets the flashes finish.
void SetInterruptStopsOperations(bool stops);
// True once the run was interrupted, where that stops operations.
bool RunInterrupted();

// Words for a status code of any layer.
std::string StatusText(StatusCode status);
// The same, but a device's error status only by its name and meaning,
// without the advice StatusText adds to some (where that advice would point
// back at the command that failed).
std::string ReportedStatusText(StatusCode status);

#endif  // ZUVA_TOOL_ENGINE_RUN_H_
