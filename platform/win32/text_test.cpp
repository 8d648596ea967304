#include <gtest/gtest.h>
#include <windows.h>

#include "platform/text.h"

namespace {

std::string Convert(std::u16string text) {
  return Utf16ToConsoleText(reinterpret_cast<const uint16_t*>(text.data()), text.size());
}

TEST(Win32Text, ConvertsToTheThreadCodePageWithQuestionMarksForTheRest) {
  EXPECT_EQ(Convert(u"@Internal Flash  /0x08000000/04*016Kg"),
            "@Internal Flash  /0x08000000/04*016Kg");
  EXPECT_EQ(Convert(u""), "");
  EXPECT_EQ(Utf16ToConsoleText(nullptr, 0), "");
  // Western code page: accented letters map, a CJK character and a symbol
  // do not.
  if (GetACP() != 1252) GTEST_SKIP() << "thread code page " << GetACP();
  EXPECT_EQ(Convert(u"\u00C9t\u00E9"), "\xC9t\xE9");
  EXPECT_EQ(Convert(u"a\u4E2D\u263Ab"), "a??b");
}

}  // namespace
