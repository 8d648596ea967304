#include "platform/win32/system_library.h"

HMODULE LoadSystemLibrary(const char* name) { return LoadLibraryExA(name, nullptr, SYSTEM_LIBRARY_LOAD_FLAGS); }
