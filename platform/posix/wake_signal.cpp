// The wake-up signal and the wait of a thread that also serves device-change
// events: a mutex and a condition variable, woken by the signal or by an event
// queued for the waiting thread.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/device_events.h"
#include "platform/wake_signal.h"

struct WakeSignal::Impl {
  std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
  bool eventQueued = false;  // an event arrived for the thread that waits
};

namespace {

// 0xFFFFFFFF waits without limit, as an infinite wait does on Windows.
constexpr uint32_t PLATFORM_WAIT_FOREVER = 0xFFFFFFFFu;

template <typename Predicate>
bool WaitWithTimeout(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                     uint32_t timeoutMs, Predicate ready) {
  if (timeoutMs == PLATFORM_WAIT_FOREVER) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

WakeSignal::WakeSignal() : impl_(std::make_unique<Impl>()) {}
WakeSignal::~WakeSignal() = default;

void WakeSignal::Set() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->set = true;
  impl_->changed.notify_all();
}

bool WakeSignal::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  if (!WaitWithTimeout(lock, impl_->changed, timeoutMs, [this] { return impl_->set; })) {
    return false;
  }
  impl_->set = false;  // auto-reset: one wait consumes one Set
  return true;
}

void WaitForSignalOrThreadMessages(WakeSignal* signal, uint32_t timeoutMs) {
  // Without a signal of the caller's, a private one serves as the place to
  // sleep; nothing else can set it.
  WakeSignal local;
  WakeSignal::Impl* impl = (signal != nullptr ? signal : &local)->impl_.get();
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->eventQueued = false;
  }
  // The waker goes in before the queue is looked at, so an event posted after
  // the look still wakes us; it only takes the signal's mutex, never the
  // queues' lock, so the two locks are always taken in the same order.
  SetThreadDeviceChangeWaker([impl] {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->eventQueued = true;
    impl->changed.notify_all();
  });
  if (!HasQueuedDeviceChanges()) {
    std::unique_lock<std::mutex> lock(impl->mutex);
    const bool woken = WaitWithTimeout(lock, impl->changed, timeoutMs,
                                       [impl] { return impl->set || impl->eventQueued; });
    if (woken && impl->set) impl->set = false;
  }
  SetThreadDeviceChangeWaker(nullptr);
}
