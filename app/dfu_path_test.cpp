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

class DfuPathForDefaultImageTest : public testing::TestWithParam<PathCase> {};

TEST_P(DfuPathForDefaultImageTest, NeverReturnsTheProgramsOwnPath) {
  EXPECT_EQ(DfuPathForDefaultImage(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfuPathForDefaultImageTest,
    testing::Values(PathCase{"C:\\tools\\ZUVA.exe", "C:\\tools\\ZUVA.dfu"}, PathCase{"ZUVA.exe", "ZUVA.dfu"},
                    PathCase{"C:\\ZUVA.exe\\ZUVA.exe", "C:\\ZUVA.dfu\\ZUVA.dfu"},
                    // Without "ZUVA.exe" (another case, no extension, started
                    // through PATH) the name gets ".dfu" on either platform.
                    PathCase{"zuva.exe", "zuva.exe.dfu"}, PathCase{"zuva", "zuva.dfu"},
                    PathCase{"ZUVA", "ZUVA.dfu"}, PathCase{"./ZUVA", "./ZUVA.dfu"},
                    PathCase{"/opt/ZUVA/bin/ZUVA", "/opt/ZUVA/bin/ZUVA.dfu"},
                    PathCase{"/opt/ZUVA/zuva", "/opt/ZUVA/zuva.dfu"}, PathCase{"/opt/MYZUVA", "/opt/MYZUVA.dfu"},
                    PathCase{"/opt/ZUVA.exe", "/opt/ZUVA.dfu"}, PathCase{"", ".dfu"}));

TEST(ReplaceAllOccurrencesTest, LeavesTextAloneForAnEmptySearch) {
  EXPECT_EQ(ReplaceAllOccurrences("abc", "", "x"), "abc");
}

}  // namespace
