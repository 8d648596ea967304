#include "operations/st_thread.h"

#include <new>

#include "platform/process.h"
#include "platform/thread_start.h"

CSTThread::CSTThread() = default;

CSTThread::~CSTThread() {
  // A worker that was never halted must not outlive its object; joining it
  // here is the last resort (Halt is the regular way).
  if (worker && worker->joinable()) {
    stopEvent.Set();
    worker->join();
  }
}

bool CSTThread::LaunchWorker() {
  if (worker) return false;
  // The wait list is cleared before the thread exists, so a Halt that comes
  // at any moment after this call returns is never swallowed.
  CAutoResetEvent* extra[OP_MAX_EXTRA_EVENTS] = {};
  const uint32_t count = ExtraWaitEvents(extra);
  stopEvent.Reset();
  if (count <= OP_MAX_EXTRA_EVENTS) {
    for (uint32_t i = 0; i < count; ++i) extra[i]->Reset();
  }
  std::unique_ptr<std::thread> started;
  try {
    started = std::make_unique<std::thread>();
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!PlatformStartThread(started.get(), [this] {
        PlatformLowerThreadPriority();
        PlatformWakeThreadOnTime();
        // Held until the worker returns, whichever way it ends.
        const FineTimerScope fineTimer;
        workerExitCode = WorkerMain();
      })) {
    return false;
  }
  worker = std::move(started);
  return true;
}

uint32_t CSTThread::WorkerMain() {
  CAutoResetEvent* waitList[1 + OP_MAX_EXTRA_EVENTS] = {};
  const uint32_t extraCount = ExtraWaitEvents(waitList + 1);
  if (extraCount > OP_MAX_EXTRA_EVENTS) return OP_EXIT_TOO_MANY_EVENTS;
  waitList[0] = &stopEvent;
  for (;;) {
    const int signalled = CAutoResetEvent::WaitAny(waitList, 1 + extraCount, StepInterval());
    if (signalled == 0) return OP_EXIT_STOPPED;
    if (signalled > 0) {
      if (!OnExtraEvent(static_cast<uint32_t>(signalled - 1))) return OP_EXIT_STOPPED;
      continue;
    }
    bool goOn = false;
    try {
      goOn = Step();
    } catch (const std::exception&) {
      OnStepException();
    }
    if (!goOn) return OP_EXIT_FINISHED;
  }
}

bool CSTThread::Halt(uint32_t* exitCode) {
  if (!worker) return false;
  stopEvent.Set();
  worker->join();
  if (exitCode != nullptr) *exitCode = workerExitCode;
  worker.reset();
  return true;
}

uint32_t CSTThread::ExtraWaitEvents(CAutoResetEvent* /*events*/[OP_MAX_EXTRA_EVENTS]) { return 0; }

bool CSTThread::OnExtraEvent(uint32_t /*index*/) { return true; }

uint32_t CSTThread::StepInterval() { return 0; }
