#include "operations/auto_reset_event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Waiting on any of several events needs one condition variable that every
// member signals. The engine's events are few and set rarely (a stop request,
// an extra event of an operation), so one lock and one condition variable
// serve them all.
std::mutex& EventsLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable& EventsChanged() {
  static std::condition_variable changed;
  return changed;
}

}  // namespace

void CAutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(EventsLock());
    signalled = true;
  }
  EventsChanged().notify_all();
}

void CAutoResetEvent::Reset() {
  std::lock_guard<std::mutex> guard(EventsLock());
  signalled = false;
}

int CAutoResetEvent::WaitAny(CAutoResetEvent* const* events, size_t count, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> guard(EventsLock());
  auto takeFirstSignalled = [&]() -> int {
    for (size_t i = 0; i < count; ++i) {
      if (events[i]->signalled) {
        events[i]->signalled = false;
        return static_cast<int>(i);
      }
    }
    return -1;
  };
  for (;;) {
    const int index = takeFirstSignalled();
    // A time-out of 0 asks only for a look: a timed wait that has already
    // expired still costs a trip through the scheduler's timers.
    if (index >= 0 || timeoutMs == 0) return index;
    if (EventsChanged().wait_until(guard, deadline) == std::cv_status::timeout) {
      // A Set may have come together with the time-out.
      return takeFirstSignalled();
    }
  }
}
