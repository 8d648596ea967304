// Thread priority and the wait for pending device installations on Windows.
#include <windows.h>

#include "platform/process.h"

void PlatformLowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

void PlatformWakeThreadOnTime() {}

bool PlatformWaitNoPendingInstallations() {
  // Looked up at run time: the export is missing on some systems, and then
  // the wait is skipped. The library stays loaded for the process.
  using WaitNoPendingInstallEvents = DWORD(WINAPI*)(DWORD);
  static const WaitNoPendingInstallEvents waitNoPendingInstallEvents = [] {
    HMODULE setupLibrary = LoadLibraryA("setupapi.dll");
    if (setupLibrary == nullptr) return WaitNoPendingInstallEvents{nullptr};
    return reinterpret_cast<WaitNoPendingInstallEvents>(
        reinterpret_cast<void*>(GetProcAddress(setupLibrary, "CMP_WaitNoPendingInstallEvents")));
  }();
  return waitNoPendingInstallEvents != nullptr &&
         waitNoPendingInstallEvents(INFINITE) == WAIT_OBJECT_0;
}
