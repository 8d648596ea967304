#include "platform/timed_condition.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

// A short wait never ends before its deadline, and a notification from
// another thread ends a long one.
TEST(TimedCondition, AWaitEndsNoEarlierThanItsDeadlineOrWhenNotified) {
  TimedCondition condition;
  {
    std::lock_guard<TimedCondition> guard(condition);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(condition.WaitUntil(start + std::chrono::milliseconds(3)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3));
  }
  bool set = false;
  std::thread notifier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<TimedCondition> guard(condition);
    set = true;
    condition.NotifyAll();
  });
  {
    std::lock_guard<TimedCondition> guard(condition);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!set && condition.WaitUntil(deadline)) {
    }
    EXPECT_TRUE(set);
  }
  notifier.join();
}

}  // namespace
