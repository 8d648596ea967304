// Thread priority and the wait for pending device installations on Windows.
#include <windows.h>

#include <string>

#include "platform/process.h"
#include "platform/win32/install_wait_api.h"
#include "platform/win32/system_library.h"

void PlatformRestrictLibrarySearch() {
  // Every later LoadLibrary without search flags of its own (ours, or one a
  // system library makes) looks in System32 alone.
  SetDefaultDllDirectories(SYSTEM_LIBRARY_LOAD_FLAGS);
}

std::string PlatformSystemDescription() {
  // RtlGetVersion tells the version as it is; GetVersionEx answers what the
  // program's manifest declares it knows.
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  using WineVersion = const char*(CDECL*)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  const auto getVersion =
      reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (getVersion == nullptr || getVersion(&version) != 0) return "Windows (version unknown)";
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  const char* machine = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? "x64"
                        : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "ARM64"
                                                                                        : "other";
  std::string text = "Windows " + std::to_string(version.dwMajorVersion) + "." +
                     std::to_string(version.dwMinorVersion) + " build " + std::to_string(version.dwBuildNumber) +
                     " (" + machine + ")";
  // Wine says which Wine it is; Windows has no such export.
  if (const auto wine = reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))) {
    text += ", under Wine " + std::string(wine());
  }
  return text;
}

void PlatformLowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

void PlatformWakeThreadOnTime() {}

InstallWaitApi& ActiveInstallWaitApi() {
  // Looked up at run time: the export is missing on some systems, and then
  // the wait is skipped. The library stays loaded for the process.
  static InstallWaitApi api = [] {
    InstallWaitApi found{};
    if (HMODULE setupLibrary = LoadSystemLibrary("setupapi.dll")) {
      found.waitNoPendingInstallEvents = reinterpret_cast<decltype(found.waitNoPendingInstallEvents)>(
          reinterpret_cast<void*>(GetProcAddress(setupLibrary, "CMP_WaitNoPendingInstallEvents")));
    }
    return found;
  }();
  return api;
}

bool PlatformWaitNoPendingInstallations(const std::function<bool()>& stopRequested) {
  const auto wait = ActiveInstallWaitApi().waitNoPendingInstallEvents;
  if (wait == nullptr) return false;
  for (;;) {
    const DWORD result = wait(PLATFORM_INSTALL_WAIT_SLICE_MS);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_TIMEOUT) return false;
    if (stopRequested && stopRequested()) return false;
  }
}
