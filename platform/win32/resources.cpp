// The program's own module and the default raw image on Windows: resource
// RCDATA 101 of the executable (resources/zuva.rc).
#include <windows.h>

#include "platform/resources.h"

namespace {
constexpr WORD PLATFORM_DEFAULT_IMAGE_ID = 101;
}  // namespace

bool PlatformHasOwnModule() { return GetModuleHandleA(nullptr) != nullptr; }

bool PlatformLoadDefaultImage(const uint8_t** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  HMODULE module = GetModuleHandleA(nullptr);
  if (module == nullptr) {
    return false;
  }
  HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(PLATFORM_DEFAULT_IMAGE_ID), MAKEINTRESOURCEA(10));
  if (info == nullptr) {
    return false;
  }
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) {
    return false;
  }
  const DWORD length = SizeofResource(module, info);
  // A resource of no bytes is no image; only a non-empty one is locked.
  if (length == 0) {
    return false;
  }
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) {
    return false;
  }
  *data = static_cast<const uint8_t*>(bytes);
  *size = length;
  return true;
}
