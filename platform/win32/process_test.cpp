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

// With nothing being installed the wait ends and says so wherever the system
// offers the call (a wrong name or signature in the look-up shows as false or
// a crash); without the call it ends at once, saying it could not wait. A
// second call reuses the looked-up entry.
TEST(Win32Process, TheInstallationWaitReportsNothingPendingWhereTheSystemCanTell) {
  HMODULE setupLibrary = LoadLibraryA("setupapi.dll");
  const bool systemHasTheWait =
      setupLibrary != nullptr &&
      GetProcAddress(setupLibrary, "CMP_WaitNoPendingInstallEvents") != nullptr;
  EXPECT_EQ(PlatformWaitNoPendingInstallations(), systemHasTheWait);
  EXPECT_EQ(PlatformWaitNoPendingInstallations(), systemHasTheWait);
  if (setupLibrary != nullptr) FreeLibrary(setupLibrary);
}

}  // namespace
