#include "tool/json_line.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0.
size_t Utf8Length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2, minimum = 0x80;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3, minimum = 0x800;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4, minimum = 0x10000;
  else
    return 0;
  if (at + length > text.size()) return 0;
  uint32_t code = lead & (0x3F >> (length - 1));
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      const size_t length = Utf8Length(text, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
  }
  return out + "\"";
}

void CJsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_ += ',';
  body_ += JsonQuote(key);
  body_ += ':';
}

CJsonObject& CJsonObject::Text(std::string_view key, std::string_view value) {
  Key(key);
  body_ += JsonQuote(value);
  return *this;
}

CJsonObject& CJsonObject::Number(std::string_view key, uint64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

CJsonObject& CJsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

CJsonObject& CJsonObject::Raw(std::string_view key, std::string_view json) {
  Key(key);
  body_.append(json);
  return *this;
}
