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

#endif  // ZUVA_TOOL_TOOL_TEXT_H_
