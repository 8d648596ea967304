// Running one operation of the engine to its end in a benchmark.
#ifndef ZUVA_BENCH_RUN_OPERATION_H_
#define ZUVA_BENCH_RUN_OPERATION_H_

#include "operations/operations.h"
#include "platform/device_notifier.h"

// Launches the operation and polls it as the console does (the leave's
// device-change notices are delivered between polls) until it fails or
// reaches 100; the final record.
inline OperationContext RunToEnd(OperationContext context) {
  OperationId id = OP_INVALID_ID;
  OperationContext record{};
  if (LaunchOperation(&context, &id) != RESULT_OK) {
    record.result = context.result != RESULT_OK ? context.result : OP_ERR_UNEXPECTED;
    return record;
  }
  do {
    WaitOperationActivity(id, 10);
    QueryOperation(id, &record);
    PumpThreadMessages();
  } while (record.result == RESULT_OK && record.progress != 100);
  StopOperation(id, &record);
  return record;
}

#endif  // ZUVA_BENCH_RUN_OPERATION_H_
