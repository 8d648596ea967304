#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/win32/install_wait_api.h"

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
  EXPECT_EQ(PlatformWaitNoPendingInstallations(nullptr), systemHasTheWait);
  EXPECT_EQ(PlatformWaitNoPendingInstallations([] { return false; }), systemHasTheWait);
  if (setupLibrary != nullptr) FreeLibrary(setupLibrary);
}

// The system's wait, in slices: the answers it gives, one per slice, and
// whether a stop is asked for after each slice that found installations
// still pending.
std::vector<DWORD> gAnswers;
std::vector<DWORD> gSlices;

DWORD WINAPI FakeWait(DWORD timeoutMs) {
  gSlices.push_back(timeoutMs);
  if (gAnswers.empty()) return WAIT_TIMEOUT;
  const DWORD answer = gAnswers.front();
  gAnswers.erase(gAnswers.begin());
  return answer;
}

TEST(Win32Process, TheInstallationWaitGoesInSlicesAndEndsOnAStopRequest) {
  struct Case {
    std::vector<DWORD> answers;
    int stopAfterAsks;  // the stop request says yes at this ask (0: never)
    bool result;
    size_t slices;
  };
  const Case cases[] = {
      {{WAIT_OBJECT_0}, 0, true, 1},
      {{WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0}, 0, true, 3},
      {{WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT}, 3, false, 3},  // stopped
      {{WAIT_TIMEOUT, WAIT_FAILED}, 0, false, 2},
  };
  InstallWaitApi& api = ActiveInstallWaitApi();
  const InstallWaitApi saved = api;
  api.waitNoPendingInstallEvents = &FakeWait;
  for (const Case& c : cases) {
    gAnswers = c.answers;
    gSlices.clear();
    int asks = 0;
    EXPECT_EQ(PlatformWaitNoPendingInstallations([&] { return ++asks == c.stopAfterAsks; }), c.result);
    EXPECT_EQ(gSlices, std::vector<DWORD>(c.slices, PLATFORM_INSTALL_WAIT_SLICE_MS));
  }
  api.waitNoPendingInstallEvents = nullptr;
  EXPECT_FALSE(PlatformWaitNoPendingInstallations(nullptr));
  api = saved;
}

}  // namespace
