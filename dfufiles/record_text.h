// Pieces shared by the line-oriented firmware formats (Intel HEX,
// S-records): splitting text into lines and hexadecimal digit pairs.
#ifndef ZUVA_DFUFILES_RECORD_TEXT_H_
#define ZUVA_DFUFILES_RECORD_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Walks text line by line; accepts "\n", "\r\n" and "\r" line ends and
// strips trailing spaces and tabs.
class CLineReader {
 public:
  explicit CLineReader(std::string_view text) : text_(text) {}
  // False at the end of the text.
  bool Next(std::string_view* line);
  size_t lineNumber() const { return lineNumber_; }

 private:
  std::string_view text_;
  size_t position_ = 0;
  size_t lineNumber_ = 0;
};

// Decodes an even number of hexadecimal digits; false on any other character
// or an odd count.
bool DecodeHexPairs(std::string_view digits, std::vector<uint8_t>* bytes);

// "line N: reason".
std::string LineError(size_t lineNumber, const std::string& reason);

#endif  // ZUVA_DFUFILES_RECORD_TEXT_H_
