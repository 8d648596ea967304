// One JSON object written as one line: the tool's machine-readable output.
#ifndef ZUVA_TOOL_JSON_LINE_H_
#define ZUVA_TOOL_JSON_LINE_H_

#include <cstdint>
#include <string>
#include <string_view>

// Builds {"key":value,...} in the order the fields are added.
class CJsonObject {
 public:
  CJsonObject& Text(std::string_view key, std::string_view value);
  CJsonObject& Number(std::string_view key, uint64_t value);
  CJsonObject& Bool(std::string_view key, bool value);
  // A value that is already JSON (an array or object).
  CJsonObject& Raw(std::string_view key, std::string_view json);
  std::string Str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

// The string as a JSON string literal, quotes included; bytes that are not
// valid UTF-8 become U+FFFD so that the line stays valid JSON.
std::string JsonQuote(std::string_view text);

#endif  // ZUVA_TOOL_JSON_LINE_H_
