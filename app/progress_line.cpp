#include "app/progress_line.h"

#include <cstdio>
#include <string>

#include "platform/console.h"

namespace {

std::string Backspaces(size_t count) { return std::string(count, '\b'); }

}  // namespace

CProgressLine CProgressLine::Start(const char* label) {
  ConsolePrintf("%s00%%", label);
  return CProgressLine();
}

void CProgressLine::Show(int percent) {
  char value[16];
  const int length = std::snprintf(value, sizeof value, "%02i%%", percent);
  ConsolePrintf("%s%s", Backspaces(shown_).c_str(), value);
  shown_ = length > 0 ? static_cast<size_t>(length) : 0;
}

void CProgressLine::Replace(const char* text) {
  ConsolePrintf("%s%s", Backspaces(shown_).c_str(), text);
  shown_ = 0;
}
