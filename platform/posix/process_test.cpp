#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "platform/platform.h"

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
  EXPECT_EQ(worker, 19);
  EXPECT_EQ(ThreadNice(), before);
}

}  // namespace
