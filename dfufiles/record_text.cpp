#include "dfufiles/record_text.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool CLineReader::Next(std::string_view* line) {
  if (position_ >= text_.size()) return false;
  size_t end = position_;
  while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
  std::string_view found = text_.substr(position_, end - position_);
  if (end < text_.size()) {
    if (text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n') ++end;
    ++end;
  }
  position_ = end;
  while (!found.empty() && (found.back() == ' ' || found.back() == '\t')) found.remove_suffix(1);
  *line = found;
  ++lineNumber_;
  return true;
}

bool DecodeHexPairs(std::string_view digits, std::vector<uint8_t>* bytes) {
  if (digits.size() % 2 != 0) return false;
  bytes->clear();
  bytes->reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexValue(digits[i]);
    const int low = HexValue(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

std::string LineError(size_t lineNumber, const std::string& reason) {
  return "line " + std::to_string(lineNumber) + ": " + reason;
}
