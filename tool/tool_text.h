// Small text helpers of the tool's output.
#ifndef ZUVA_TOOL_TOOL_TEXT_H_
#define ZUVA_TOOL_TOOL_TEXT_H_

#include <cstdint>
#include <cstdio>
#include <string>

// "0x" and `digits` upper-case hexadecimal digits.
inline std::string HexText(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Text from a device as the text modes show it: control characters and DEL
// become \xNN (as --json writes \u00NN), so that a device's string cannot
// move the cursor, clear the screen or forge a line of its own.
inline std::string ShownText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

#endif  // ZUVA_TOOL_TOOL_TEXT_H_
