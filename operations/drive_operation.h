// Drives a launched operation of the engine to its end from the thread that
// launched it: wait for the worker's next publication, read the record, hand
// each new percentage to an observer, ask it whether to stop, and stop the
// operation once it failed, finished or was told to stop.
#ifndef ZUVA_OPERATIONS_DRIVE_OPERATION_H_
#define ZUVA_OPERATIONS_DRIVE_OPERATION_H_

#include <cstdint>

#include "operations/operation_context.h"

// The loop sleeps until the operation publishes, a device-change event
// arrives for this thread, or this much time passes; it never spins.
constexpr uint32_t OP_DRIVE_WAIT_MS = 50;

// What the driving thread wants to hear of a running operation, and whether
// it should go on.
class COperationObserver {
 public:
  virtual ~COperationObserver() = default;
  // Asked once a pass, after the record showed no failure: true halts the
  // operation (an interrupted transfer is aborted, the device closed).
  virtual bool StopRequested() { return false; }
  // Every record read while the operation goes on, before its progress is
  // looked at.
  virtual void Running(const OperationContext& record) { (void)record; }
  // Every percentage that differs from the last one shown (which starts at 0).
  virtual void Progress(uint8_t percent) { (void)percent; }
};

enum class OperationEnd {
  kDone,     // reached 100 %
  kFailed,   // the record's result is not RESULT_OK
  kStopped,  // the observer asked to stop
};

// Drives the operation `id` until it fails, reaches 100 % or the observer
// stops it; then stops it (StopOperation), leaving its final record in
// *record. *record holds the launched context on entry. A failure is looked
// at before the progress, since a last step may set both an error and 100,
// and before the observer's stop, so that a failure the operation already
// published is reported as such. The calling thread's window messages are
// pumped each pass: the device-change notifications of detach and leave
// reach their operation only through it. An id that names no operation ends
// at once as a failure with OP_ERR_BAD_PARAMETER.
OperationEnd DriveOperation(OperationId id, COperationObserver* observer, OperationContext* record);

#endif  // ZUVA_OPERATIONS_DRIVE_OPERATION_H_
