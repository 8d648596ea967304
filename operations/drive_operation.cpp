#include "operations/drive_operation.h"

#include "operations/operations.h"
#include "platform/device_notifier.h"

namespace {

constexpr uint8_t OP_PROGRESS_DONE = 100;

OperationEnd Stop(OperationId id, OperationContext* record, OperationEnd end) {
  StopOperation(id, record);
  return end;
}

}  // namespace

OperationEnd DriveOperation(OperationId id, COperationObserver* observer, OperationContext* record) {
  uint8_t shown = 0;
  for (;;) {
    if (WaitOperationActivity(id, OP_DRIVE_WAIT_MS) != RESULT_OK) {
      // No such operation: nothing would ever end the loop.
      record->result = OP_ERR_BAD_PARAMETER;
      return OperationEnd::kFailed;
    }
    QueryOperation(id, record);
    if (record->result != RESULT_OK) return Stop(id, record, OperationEnd::kFailed);
    if (observer->StopRequested()) return Stop(id, record, OperationEnd::kStopped);
    observer->Running(*record);
    if (record->progress != shown) {
      shown = record->progress;
      observer->Progress(shown);
    }
    PumpThreadMessages();
    if (record->progress >= OP_PROGRESS_DONE) return Stop(id, record, OperationEnd::kDone);
  }
}
