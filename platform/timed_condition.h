// A lock and a condition that a thread waits on with a deadline, for the
// short waits between a device's status requests: the wait ends within the
// system's timer resolution of its deadline, whatever the grain of the
// calendar clock (on Windows the standard library's timed wait measures the
// remaining time with a clock that moves in 15.6 ms steps).
#ifndef ZUVA_PLATFORM_TIMED_CONDITION_H_
#define ZUVA_PLATFORM_TIMED_CONDITION_H_

#include <chrono>
#include <memory>

class TimedCondition {
 public:
  TimedCondition();
  ~TimedCondition();
  TimedCondition(const TimedCondition&) = delete;
  TimedCondition& operator=(const TimedCondition&) = delete;

  // The lock (usable with std::lock_guard and std::unique_lock).
  void lock();
  void unlock();

  // Wakes every waiter; called with or without the lock held.
  void NotifyAll();

  // With the lock held: releases it, sleeps until notified or the deadline
  // passes, and takes it again. False when the deadline passed; a wake-up
  // may also come without a notification, so the caller looks again.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // ZUVA_PLATFORM_TIMED_CONDITION_H_
