// String descriptors are UTF-16LE; the console shows the thread's ANSI code
// page, where characters without a mapping become '?'.
//
// The program's manifest makes UTF-8 the process's code page so that file
// names outside the legacy code page reach the narrow file calls; device
// names keep the code page of the thread's locale, as they always had, which
// the locale itself names.
#include <windows.h>

#include "platform/text.h"

namespace {

UINT ThreadLocaleCodePage() {
  DWORD codePage = 0;
  const int got = GetLocaleInfoA(GetThreadLocale(),
                                 LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                 reinterpret_cast<LPSTR>(&codePage), sizeof codePage);
  // A locale without an ANSI code page (Unicode-only) has 0: the thread's
  // code page is then the process's.
  return got > 0 && codePage != 0 ? codePage : CP_THREAD_ACP;
}

}  // namespace

std::string Utf16ToConsoleText(const uint16_t* units, size_t count) {
  // String descriptors are at most 126 units; anything near INT_MAX is not
  // text this system handles.
  if (units == nullptr || count == 0 || count > 0x7FFFFFFF) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(units);
  const int wideCount = static_cast<int>(count);
  const UINT codePage = ThreadLocaleCodePage();
  const int size = WideCharToMultiByte(codePage, 0, wide, wideCount, nullptr, 0, "?", nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, wide, wideCount, text.data(), size, "?", nullptr);
  return text;
}
