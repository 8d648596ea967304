#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/process.h"

namespace {

int ThreadNice() {
  return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

TEST(ThreadPriority, LoweringAffectsTheCallingThreadOnly) {
  const int before = ThreadNice();
  int worker = 0;
  std::thread([&worker] {
    PlatformLowerThreadPriority();
    worker = ThreadNice();
  }).join();
  // A small step below the process, not the bottom of the machine.
  EXPECT_EQ(worker, std::min(before + 2, 19));
  EXPECT_EQ(ThreadNice(), before);
}

TEST(ThreadTimers, WakingOnTimeTakesTheSlackOfTheCallingThreadOnly) {
  const int before = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  int worker = 0;
  std::thread([&worker] {
    PlatformWakeThreadOnTime();
    worker = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  }).join();
  EXPECT_EQ(worker, 1);
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), before);
}

}  // namespace
