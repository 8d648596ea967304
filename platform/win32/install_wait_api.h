// The Win32 entry point behind the wait for pending device installations, in
// a table so that a test can stand in for it. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_INSTALL_WAIT_API_H_
#define ZUVA_PLATFORM_WIN32_INSTALL_WAIT_API_H_

#include <windows.h>

struct InstallWaitApi {
  // CMP_WaitNoPendingInstallEvents from setupapi.dll; null when missing.
  DWORD(WINAPI* waitNoPendingInstallEvents)(DWORD timeoutMs);
};

// The table in use; the operating system's entry point until replaced.
InstallWaitApi& ActiveInstallWaitApi();

#endif  // ZUVA_PLATFORM_WIN32_INSTALL_WAIT_API_H_
