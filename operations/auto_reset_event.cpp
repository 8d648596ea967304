#include "operations/auto_reset_event.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "operations/engine_clock.h"
#include "platform/timed_condition.h"

namespace {

// Waiting on any of several events needs one condition variable that every
// member signals. The engine's events are few and set rarely (a stop request,
// an extra event of an operation), so one lock and one condition variable
// serve them all. The platform's timed condition ends the worker's short
// waits (a device's poll time-out of a few milliseconds) when they are due.
std::atomic<CAutoResetEvent::SleepObserver> gSleepObserver{nullptr};

TimedCondition& Events() {
  static TimedCondition events;
  return events;
}

}  // namespace

void CAutoResetEvent::Set() {
  {
    std::lock_guard<TimedCondition> guard(Events());
    signalled = true;
  }
  Events().NotifyAll();
}

void CAutoResetEvent::Reset() {
  std::lock_guard<TimedCondition> guard(Events());
  signalled = false;
}

int CAutoResetEvent::WaitAny(CAutoResetEvent* const* events, size_t count, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::lock_guard<TimedCondition> guard(Events());
  auto takeFirstSignalled = [&]() -> int {
    for (size_t i = 0; i < count; ++i) {
      if (events[i]->signalled) {
        events[i]->signalled = false;
        return static_cast<int>(i);
      }
    }
    return -1;
  };
  bool told = false;
  for (;;) {
    const int index = takeFirstSignalled();
    // A time-out of 0 asks only for a look: a timed wait that has already
    // expired still costs a trip through the scheduler's timers.
    if (index >= 0 || timeoutMs == 0) return index;
    if (!told) {
      told = true;
      if (SleepObserver observer = gSleepObserver.load(std::memory_order_relaxed)) observer(timeoutMs);
    }
    // On a virtual clock the time-out passes at once: the clock moves on by
    // all of it.
    if (CVirtualEngineClock* clock = VirtualEngineClock()) {
      clock->Advance(timeoutMs);
      return -1;
    }
    if (!Events().WaitUntil(deadline)) {
      // A Set may have come together with the time-out.
      return takeFirstSignalled();
    }
  }
}

void CAutoResetEvent::ObserveSleeps(SleepObserver observer) { gSleepObserver.store(observer); }
