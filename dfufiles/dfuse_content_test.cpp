#include "dfufiles/dfuse_content.h"

#include <gtest/gtest.h>

#include "dfufiles/dfu_file.h"
#include "dfufiles/firmware_test_support.h"

namespace {

DfuSeContent TwoTargets() {
  DfuSeContent content;
  content.suffix.vendorId = 0x0483;
  content.suffix.productId = 0xDF11;
  content.suffix.deviceVersion = 0x2200;
  content.targets.push_back(
      ImageOf(0, {{0x08000000, {1, 2, 3}}, {0x08004000, {4}}}, "Internal Flash"));
  content.targets.push_back(ImageOf(1, {{0x1FFFC000, {0xAA, 0x55}}}));
  return content;
}

TEST(DfuSeContent, ReadsBackWhatItWrote) {
  std::vector<uint8_t> bytes;
  ASSERT_EQ(FormatDfuSe(TwoTargets(), &bytes), RESULT_OK);
  DfuSeContent read;
  std::string error;
  ASSERT_EQ(ParseDfuSe(bytes.data(), bytes.size(), &read, &error), RESULT_OK) << error;
  EXPECT_TRUE(read.suffix.CrcMatches());
  EXPECT_EQ(read.imageSize, bytes.size() - DFU_SUFFIX_SIZE);
  EXPECT_EQ(read.suffix.vendorId, 0x0483);
  EXPECT_EQ(read.suffix.productId, 0xDF11);
  EXPECT_EQ(read.suffix.deviceVersion, 0x2200);
  EXPECT_EQ(read.suffix.dfuVersion, DFU_SUFFIX_DFUSE_VERSION);
  ASSERT_EQ(read.targets.size(), 2u);
  EXPECT_STREQ(read.targets[0].name, "Internal Flash");
  EXPECT_EQ(Runs(read.targets[0]), Runs(TwoTargets().targets[0]));
  EXPECT_EQ(read.targets[1].alternateSetting, 1);
  EXPECT_EQ(read.targets[1].isNamed, 0);
  EXPECT_EQ(Runs(read.targets[1]), Runs(TwoTargets().targets[1]));
}

// The file layer's own reader accepts what this writer makes.
TEST(DfuSeContent, WrittenFileOpensThroughTheFileLayer) {
  std::vector<uint8_t> bytes;
  ASSERT_EQ(FormatDfuSe(TwoTargets(), &bytes), RESULT_OK);
  const std::string path = testing::TempDir() + "/dfuse_content_test.dfu";
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
  FileHandle file = nullptr;
  uint8_t targets = 0;
  ASSERT_EQ(DfuFileOpen(path.c_str(), &file, &targets), RESULT_OK);
  EXPECT_EQ(targets, 2);
  DfuFileClose(file);
  std::remove(path.c_str());
}

TEST(DfuSeContent, ReportsAChecksumThatDoesNotMatch) {
  std::vector<uint8_t> bytes;
  ASSERT_EQ(FormatDfuSe(TwoTargets(), &bytes), RESULT_OK);
  bytes[DFU_FILE_PREFIX_SIZE + DFU_TARGET_PREFIX_SIZE + 8] ^= 1;  // a data byte
  DfuSeContent read;
  std::string error;
  ASSERT_EQ(ParseDfuSe(bytes.data(), bytes.size(), &read, &error), RESULT_OK) << error;
  EXPECT_FALSE(read.suffix.CrcMatches());
}

struct BrokenCase {
  const char* name;
  size_t offset;  // in the two-target file
  int delta;      // added to the byte there
  const char* reason;
};

class DfuSeBroken : public testing::TestWithParam<BrokenCase> {};

TEST_P(DfuSeBroken, IsRefusedWithItsReason) {
  std::vector<uint8_t> bytes;
  ASSERT_EQ(FormatDfuSe(TwoTargets(), &bytes), RESULT_OK);
  const size_t at =
      GetParam().offset < bytes.size() ? GetParam().offset : bytes.size() - (0 - GetParam().offset);
  bytes[at] = static_cast<uint8_t>(bytes[at] + GetParam().delta);
  DfuSeContent read;
  std::string error;
  EXPECT_EQ(ParseDfuSe(bytes.data(), bytes.size(), &read, &error), FILE_ERR_BAD_CONTENT);
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

constexpr size_t T0 = DFU_FILE_PREFIX_SIZE;
constexpr size_t T0_SIZE = T0 + 266;
constexpr size_t T0_ELEMENTS = T0 + 270;
constexpr size_t E0_SIZE = T0 + DFU_TARGET_PREFIX_SIZE + 4;

INSTANTIATE_TEST_SUITE_P(
    Cases, DfuSeBroken,
    testing::Values(BrokenCase{"Signature", 0, 1, "no DfuSe signature"},
                    BrokenCase{"Version", 5, 1, "version"},
                    BrokenCase{"SuffixSignature", size_t(0) - 8, 1, "no DFU suffix"},
                    BrokenCase{"OneTargetMore", 10, 1, "target 2: truncated prefix"},
                    BrokenCase{"OneTargetLess", 10, -1, "bytes after the last target"},
                    BrokenCase{"TargetSignature", T0 + 1, 1, "target 0: no Target signature"},
                    BrokenCase{"TargetSizeHuge", T0_SIZE + 3, 0x10, "reaches past the suffix"},
                    BrokenCase{"TargetSizeShort", T0_SIZE, -1, "element 1: outside"},
                    BrokenCase{"ElementCountHigh", T0_ELEMENTS, 1, "element 2: outside"},
                    BrokenCase{"ElementCountLow", T0_ELEMENTS, -1, "size disagrees"},
                    BrokenCase{"ElementSizeHuge", E0_SIZE + 3, 0x80, "element 0: outside"}),
    [](const auto& info) { return std::string(info.param.name); });

struct OverlapCase {
  const char* name;
  std::vector<TargetRuns> targets;
  const char* reason;  // nullptr: no overlap
};

class DfuSeOverlap : public testing::TestWithParam<OverlapCase> {};

TEST_P(DfuSeOverlap, IsFoundWithinAndAcrossTargetsOfOneAlternateSetting) {
  DfuSeContent content;
  content.targets = ImagesOf(GetParam().targets);
  std::string error;
  EXPECT_EQ(FindDfuSeOverlap(content, &error), GetParam().reason != nullptr) << error;
  if (GetParam().reason != nullptr) {
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfuSeOverlap,
    testing::Values(
        OverlapCase{"TouchingElements", {{0, {{0x100, {1, 2}}, {0x102, {3}}}}}, nullptr},
        OverlapCase{"SameAddressesOnTwoAlternateSettings",
                    {{0, {{0x100, {1, 2}}}}, {1, {{0x100, {3}}}}},
                    nullptr},
        OverlapCase{"EmptyElementInsideAnother",
                    {{0, {{0x100, {1, 2, 3}}, {0x101, {}}}}}, nullptr},
        OverlapCase{"WithinOneTarget",
                    {{0, {{0x200, {1}}, {0x100, {1, 2, 3}}, {0x102, {4}}}}},
                    "target 0, element 2: data overlaps earlier data for alternate setting 0 at "
                    "0x00000102"},
        OverlapCase{"AcrossTwoTargetsOfOneSetting",
                    {{0, {{0x100, {1, 2}}}}, {1, {{0x100, {5}}}},
                     {0, {{0x101, {3}}}}},
                    "target 2, element 0: data overlaps earlier data for alternate setting 0 at "
                    "0x00000101"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
