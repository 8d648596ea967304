#include "tool/option_suggestion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct NearestCase {
  const char* typed;
  const char* nearest;  // empty: no suggestion
};

TEST(NearestWord, FindsLikelyTyposAndNothingForUnrelatedWords) {
  const std::vector<std::string> options = {"--alt", "--address", "--no-verify", "--no-leave",
                                            "--all", "--watch", "--mass", "--changed-only"};
  const NearestCase cases[] = {
      {"--adress", "--address"},        // a letter left out
      {"--addresss", "--address"},      // one too many
      {"--no-verfiy", "--no-verify"},   // two letters swapped: one edit
      {"--changed", "--changed-only"},  // the start of exactly one name
      {"--no", ""},                     // the start of two names
      {"--alll", "--all"},
      {"--wathc", "--watch"},
      {"-v", ""},  // one letter is no typo of any name
      {"--verbose", ""},
      {"--", ""},
  };
  for (const NearestCase& c : cases) EXPECT_EQ(NearestWord(c.typed, options), c.nearest) << c.typed;
  const std::vector<std::string> commands = {"list", "flash", "read", "erase", "leave", "detach"};
  EXPECT_EQ(NearestWord("flsh", commands), "flash");
  EXPECT_EQ(NearestWord("raed", commands), "read");
  EXPECT_EQ(NearestWord("burn", commands), "");
}

TEST(DfuUtilEquivalent, NamesTheCounterpartOfLettersAndLongNames) {
  EXPECT_EQ(DfuUtilEquivalent("-a"), "dfu-util's -a (--alt) is --alt N here");
  EXPECT_EQ(DfuUtilEquivalent("--download=fw.bin"),
            "dfu-util's -D (--download) is the command 'zuvatool flash FILE' here");
  // Letters differ by case: -s is an address, -S a serial number.
  EXPECT_NE(DfuUtilEquivalent("-s").find("--address A"), std::string::npos);
  EXPECT_NE(DfuUtilEquivalent("-S").find("--serial S"), std::string::npos);
  EXPECT_NE(DfuUtilEquivalent("-v").find("has no counterpart"), std::string::npos);
  EXPECT_EQ(DfuUtilEquivalent("-x"), "");
  EXPECT_EQ(DfuUtilEquivalent("--adress"), "");
}

}  // namespace
