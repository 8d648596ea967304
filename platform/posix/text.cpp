// UTF-16LE string descriptors to the Linux console's encoding, UTF-8.
#include "platform/text.h"

namespace {

void AppendUtf8(uint32_t codePoint, std::string* out) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

bool IsHighSurrogate(uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string Utf16ToConsoleText(const uint16_t* units, size_t count) {
  std::string text;
  if (units == nullptr) return text;
  text.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint16_t unit = units[i];
    if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      uint32_t codePoint = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                           (static_cast<uint32_t>(units[i + 1]) - 0xDC00);
      AppendUtf8(codePoint, &text);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      // A lone half of a pair names no character; UTF-8 cannot carry it.
      text.push_back('?');
    } else {
      AppendUtf8(unit, &text);
    }
  }
  return text;
}
