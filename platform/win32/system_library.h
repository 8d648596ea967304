// Loading the operating system's own libraries at run time. Internal to
// platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_SYSTEM_LIBRARY_H_
#define ZUVA_PLATFORM_WIN32_SYSTEM_LIBRARY_H_

#include <windows.h>

// The flags every run-time load of a system library passes: System32 alone,
// never the program's folder or the current one, where a file of the same
// name could have been planted.
constexpr DWORD SYSTEM_LIBRARY_LOAD_FLAGS = LOAD_LIBRARY_SEARCH_SYSTEM32;

// Loads `name` from System32; null when it is not there. The library stays
// loaded for the process.
HMODULE LoadSystemLibrary(const char* name);

#endif  // ZUVA_PLATFORM_WIN32_SYSTEM_LIBRARY_H_
