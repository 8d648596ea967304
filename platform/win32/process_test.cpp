#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "platform/process.h"

namespace {

TEST(Win32Process, LoweringThePriorityAffectsTheCallingThreadOnly) {
  const int before = GetThreadPriority(GetCurrentThread());
  int worker = THREAD_PRIORITY_ERROR_RETURN;
  std::thread([&worker] {
    PlatformLowerThreadPriority();
    worker = GetThreadPriority(GetCurrentThread());
  }).join();
  EXPECT_EQ(worker, THREAD_PRIORITY_LOWEST);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), before);
}

// With nothing being installed the wait ends (whether or not the system
// offers the call); a second call reuses the looked-up entry.
TEST(Win32Process, TheInstallationWaitReturnsWhenNothingIsPending) {
  PlatformWaitNoPendingInstallations();
  PlatformWaitNoPendingInstallations();
}

}  // namespace
