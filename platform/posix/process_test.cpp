#include <gtest/gtest.h>
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

}  // namespace
