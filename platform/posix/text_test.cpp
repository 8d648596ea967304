#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"

namespace {

TEST(Utf16ToConsoleTextTest, ConvertsToUtf8) {
  struct Case {
    const char* what;
    std::vector<uint16_t> units;
    std::string text;
  };
  const Case cases[] = {
      {"ascii", {'@', 'F', ' ', '/'}, "@F /"},
      {"two-byte", {0x00E9}, "\xC3\xA9"},
      {"three-byte", {0x20AC}, "\xE2\x82\xAC"},
      {"pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
      {"lone high at end", {'a', 0xD83D}, "a?"},
      {"lone high before text", {0xD83D, 'b'}, "?b"},
      {"lone low", {0xDE00, 'c'}, "?c"},
      {"two highs then low", {0xD83D, 0xD83D, 0xDE00}, "?\xF0\x9F\x98\x80"},
      {"empty", {}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf16ToConsoleText(c.units.data(), c.units.size()), c.text) << c.what;
  }
  EXPECT_EQ(Utf16ToConsoleText(nullptr, 3), "");
}

}  // namespace
