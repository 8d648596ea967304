// String descriptors are UTF-16LE; the console shows the thread's ANSI code
// page, where characters without a mapping become '?'.
#include <windows.h>

#include "platform/platform.h"

std::string Utf16ToConsoleText(const uint16_t* units, size_t count) {
  // String descriptors are at most 126 units; anything near INT_MAX is not
  // text this system handles.
  if (units == nullptr || count == 0 || count > 0x7FFFFFFF) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(units);
  const int wideCount = static_cast<int>(count);
  const int size =
      WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideCount, nullptr, 0, "?", nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, wide, wideCount, text.data(), size, "?", nullptr);
  return text;
}
