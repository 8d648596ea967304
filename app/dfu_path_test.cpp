#include "app/dfu_path.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
  const char* input;
  const char* expected;
};

class DfuPathForRawFileTest : public testing::TestWithParam<PathCase> {};

TEST_P(DfuPathForRawFileTest, ReplacesEveryBinAndNeverReturnsTheRawPath) {
  EXPECT_EQ(DfuPathForRawFile(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfuPathForRawFileTest,
    testing::Values(PathCase{"fw.bin", "fw.dfu"}, PathCase{"a.bin.bin", "a.dfu.dfu"},
                    PathCase{"fw.bins", "fw.dfus"},
                    // Directories are not spared: the file lands beside a
                    // renamed directory, which the creation then finds or not.
                    PathCase{"C:\\fw.bin\\image.bin", "C:\\fw.dfu\\image.dfu"},
                    PathCase{"/tmp/x.bin/fw.bin", "/tmp/x.dfu/fw.dfu"},
                    // Scanning resumes after an inserted ".dfu".
                    PathCase{".bin.bin.bin", ".dfu.dfu.dfu"},
                    PathCase{"..bin", "..dfu"},
                    // Case-sensitive: without ".bin" the raw file would be
                    // overwritten, so ".dfu" is appended instead.
                    PathCase{"fw.BIN", "fw.BIN.dfu"}, PathCase{"firmware", "firmware.dfu"},
                    PathCase{"", ".dfu"}));

struct DefaultCase {
  DefaultDfuPathRule rule;
  const char* programPath;
  const char* expected;
};

class DfuPathForDefaultImageTest : public testing::TestWithParam<DefaultCase> {};

TEST_P(DfuPathForDefaultImageTest, FollowsThePlatformRule) {
  EXPECT_EQ(DfuPathForDefaultImage(GetParam().programPath, GetParam().rule), GetParam().expected);
}

constexpr auto kWindows = DefaultDfuPathRule::kReplaceExecutableName;
constexpr auto kLinux = DefaultDfuPathRule::kAppendToExecutableName;

INSTANTIATE_TEST_SUITE_P(
    Cases, DfuPathForDefaultImageTest,
    testing::Values(DefaultCase{kWindows, "C:\\tools\\ZUVA.exe", "C:\\tools\\ZUVA.dfu"},
                    DefaultCase{kWindows, "ZUVA.exe", "ZUVA.dfu"},
                    DefaultCase{kWindows, "C:\\ZUVA.exe\\ZUVA.exe", "C:\\ZUVA.dfu\\ZUVA.dfu"},
                    DefaultCase{kWindows, "zuva.exe", "zuva.exe"},
                    DefaultCase{kWindows, "ZUVA", "ZUVA"},
                    DefaultCase{kLinux, "./ZUVA", "./ZUVA.dfu"},
                    DefaultCase{kLinux, "ZUVA", "ZUVA.dfu"},
                    DefaultCase{kLinux, "/opt/ZUVA/bin/ZUVA", "/opt/ZUVA/bin/ZUVA.dfu"},
                    DefaultCase{kLinux, "/opt/ZUVA/zuva", "/opt/ZUVA/zuva"},
                    DefaultCase{kLinux, "/opt/MYZUVA", "/opt/MYZUVA"},
                    DefaultCase{kLinux, "/opt/ZUVA.exe", "/opt/ZUVA.exe"}));

TEST(ReplaceAllOccurrencesTest, LeavesTextAloneForAnEmptySearch) {
  EXPECT_EQ(ReplaceAllOccurrences("abc", "", "x"), "abc");
}

}  // namespace
