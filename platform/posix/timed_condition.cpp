// The timed condition on Linux: the standard library's, whose timed wait
// sleeps on the monotonic clock (the worker's timer slack decides how late it
// wakes).
#include "platform/timed_condition.h"

#include <condition_variable>
#include <mutex>

struct TimedCondition::Impl {
  std::mutex mutex;
  std::condition_variable changed;
};

TimedCondition::TimedCondition() : impl_(std::make_unique<Impl>()) {}
TimedCondition::~TimedCondition() = default;

void TimedCondition::lock() { impl_->mutex.lock(); }
void TimedCondition::unlock() { impl_->mutex.unlock(); }
void TimedCondition::NotifyAll() { impl_->changed.notify_all(); }

bool TimedCondition::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  // The caller holds the lock; the guard adopts it and hands it back.
  std::unique_lock<std::mutex> held(impl_->mutex, std::adopt_lock);
  const bool notified = impl_->changed.wait_until(held, deadline) == std::cv_status::no_timeout;
  held.release();
  return notified;
}
