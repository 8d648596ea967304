// The engine's front: operations are launched from an OperationContext,
// polled, stopped, and all stopped at the end of the run. ZUVA calls every
// entry point from one thread, the console's; a program that drives several
// devices at once may launch from several threads, each thread querying,
// waiting for and stopping only the operations it launched itself (their
// device-change events reach them through that thread's pump).
// ShutdownOperations comes after every such thread has ended.
#ifndef ZUVA_OPERATIONS_OPERATIONS_H_
#define ZUVA_OPERATIONS_OPERATIONS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/status_code.h"
#include "operations/operation_context.h"

class CDFUThread;

// A record for one operation on the device at devicePath, ready to launch:
// the code, the image, and the interface classes of DFU mode and of the
// application that the engine follows; every other field zero. False, and
// *context untouched, when the path does not fit.
bool NewOperationContext(OperationCode opCode, ImageHandle image, const std::string& devicePath,
                         OperationContext* context);

// Starts the operation that context->opCode names (the first six fields of
// *context describe it). Writes context->result and context->blockSize; on
// RESULT_OK *id names the running operation. OP_ERR_BAD_PARAMETER for a code
// outside 0..OP_CODE_LAST (nothing written), DEV_ERR_OPEN_FAILED or OP_ERR_UNEXPECTED
// when the device cannot be opened or its DFU descriptor read,
// OP_ERR_THREAD_LAUNCH when the worker cannot be started; then nothing is
// registered and *id is unchanged.
StatusCode LaunchOperation(OperationContext* context, OperationId* id);

// Copies the operation's record as it stood after its last publication; an
// unknown id leaves *out as it was.
void QueryOperation(OperationId id, OperationContext* out);

// Halts the operation (waiting for its worker to end; an interrupted transfer
// gets a DFU_ABORT, and the device it opened is closed), copies its final
// record into *out when out is given, and destroys it. OP_ERR_BAD_PARAMETER
// for an unknown id.
StatusCode StopOperation(OperationId id, OperationContext* out);

// Halts and destroys every registered operation, in launch order.
void ShutdownOperations();

// Blocks until the operation publishes a record, a device-change event (or
// window message) is queued for the calling thread, or timeoutMs passes. The
// caller then pumps its messages and queries. OP_ERR_BAD_PARAMETER, at once,
// for an unknown id.
StatusCode WaitOperationActivity(OperationId id, uint32_t timeoutMs);

// Registers a constructed operation and starts its worker; the launcher's
// second half, open to tests. When the worker cannot be started the object is
// destroyed, nothing stays registered, and OP_ERR_THREAD_LAUNCH is returned.
StatusCode RegisterOperation(std::unique_ptr<CDFUThread> operation, OperationId* id);

// How many operations are registered.
size_t RegisteredOperationCount();

#endif  // ZUVA_OPERATIONS_OPERATIONS_H_
