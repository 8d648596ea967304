#include "operations/operations.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "operations/detach_thread.h"
#include "operations/dfuse_command.h"
#include "operations/download_thread.h"
#include "operations/plain_download_thread.h"
#include "operations/plain_upload_thread.h"
#include "operations/upload_thread.h"
#include "platform/wake_signal.h"

namespace {

// The registry owns its operations, in launch order. Several launching
// threads may share it, so every look at the table holds the lock; an
// operation itself stays where it is while its launcher uses it (only that
// thread stops it), so it is halted and waited for without the lock.
std::vector<std::unique_ptr<CDFUThread>>& Registry() {
  static std::vector<std::unique_ptr<CDFUThread>> registry;
  return registry;
}

std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}

std::vector<std::unique_ptr<CDFUThread>>::iterator FindOperation(OperationId id) {
  auto& registry = Registry();
  return std::find_if(registry.begin(), registry.end(),
                      [id](const std::unique_ptr<CDFUThread>& op) { return op->Id() == id; });
}

// The registered operation, or null; the lock is taken for the look only.
CDFUThread* FindRegistered(OperationId id) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto found = FindOperation(id);
  return found == Registry().end() ? nullptr : found->get();
}

// Identifiers come from a counter: never 0, and never one still registered
// even after the counter has wrapped.
OperationId NextOperationId() {
  static OperationId counter = OP_INVALID_ID;
  do {
    ++counter;
  } while (counter == OP_INVALID_ID || FindOperation(counter) != Registry().end());
  return counter;
}

std::unique_ptr<CDFUThread> CreateOperation(OperationContext* context) {
  switch (context->opCode) {
    case OP_CODE_DETACH:
    case OP_CODE_DETACH_RESET:
    case OP_CODE_LEAVE_DFU:
      return std::make_unique<CDetachThread>(context);
    case OP_CODE_UPLOAD:
      return std::make_unique<CUploadThread>(context);
    case OP_CODE_PLAIN_UPLOAD:
      return std::make_unique<CPlainUploadThread>(context);
    case OP_CODE_PLAIN_DOWNLOAD:
      return std::make_unique<CPlainDownloadThread>(context);
    case OP_CODE_MASS_ERASE:
    case OP_CODE_READ_UNPROTECT:
      return std::make_unique<CDfuseCommandThread>(context);
    default:
      return std::make_unique<CDownloadThread>(context);
  }
}

}  // namespace

bool NewOperationContext(OperationCode opCode, ImageHandle image, const std::string& devicePath,
                         OperationContext* context) {
  if (devicePath.size() >= OP_DEVICE_PATH_CAPACITY) return false;
  *context = OperationContext{};
  context->dfuModeInterfaceClass = DFU_INTERFACE_GUID;
  context->appModeInterfaceClass = APP_INTERFACE_GUID;
  context->opCode = opCode;
  context->image = image;
  std::memcpy(context->devicePath, devicePath.c_str(), devicePath.size() + 1);
  return true;
}

StatusCode LaunchOperation(OperationContext* context, OperationId* id) {
  if (context->opCode < OP_CODE_DETACH || context->opCode > OP_CODE_LAST) return OP_ERR_BAD_PARAMETER;
  std::unique_ptr<CDFUThread> operation;
  try {
    operation = CreateOperation(context);
  } catch (const std::bad_alloc&) {
    context->result = OP_ERR_THREAD_LAUNCH;
    return OP_ERR_THREAD_LAUNCH;
  }
  if (context->result != RESULT_OK) return context->result;
  const StatusCode launched = RegisterOperation(std::move(operation), id);
  if (launched != RESULT_OK) context->result = launched;
  return launched;
}

StatusCode RegisterOperation(std::unique_ptr<CDFUThread> operation, OperationId* id) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto& registry = Registry();
  operation->SetId(NextOperationId());
  CDFUThread* launched = operation.get();
  try {
    registry.push_back(std::move(operation));
  } catch (const std::bad_alloc&) {
    return OP_ERR_THREAD_LAUNCH;
  }
  if (!launched->LaunchWorker()) {
    // An operation without a worker would never change its record: the
    // caller would wait for it for ever.
    registry.pop_back();
    return OP_ERR_THREAD_LAUNCH;
  }
  *id = launched->Id();
  return RESULT_OK;
}

void QueryOperation(OperationId id, OperationContext* out) {
  CDFUThread* operation = FindRegistered(id);
  if (operation != nullptr) operation->ReadContext(out);
}

StatusCode StopOperation(OperationId id, OperationContext* out) {
  CDFUThread* operation = FindRegistered(id);
  if (operation == nullptr) return OP_ERR_BAD_PARAMETER;
  // The halt waits for the worker; other launchers go on meanwhile.
  operation->Halt();
  if (out != nullptr) operation->ReadContext(out);
  std::unique_ptr<CDFUThread> removed;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto found = FindOperation(id);
    removed = std::move(*found);
    Registry().erase(found);
  }
  return RESULT_OK;
}

void ShutdownOperations() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto& registry = Registry();
  for (auto& operation : registry) {
    operation->Halt();
    operation.reset();
  }
  registry.clear();
}

StatusCode WaitOperationActivity(OperationId id, uint32_t timeoutMs) {
  CDFUThread* operation = FindRegistered(id);
  if (operation == nullptr) return OP_ERR_BAD_PARAMETER;
  WaitForSignalOrThreadMessages(operation->ActivitySignal(), timeoutMs);
  return RESULT_OK;
}

size_t RegisteredOperationCount() {
  std::lock_guard<std::mutex> guard(RegistryLock());
  return Registry().size();
}
