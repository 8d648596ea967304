#include "dfufiles/dfu_suffix.h"

#include <gtest/gtest.h>

#include "dfufiles/dfu_file.h"
#include "dfufiles/dfuse_content.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/firmware_test_support.h"

namespace {

std::vector<uint8_t> PlainFile(const std::vector<uint8_t>& image, uint16_t dfuVersion) {
  std::vector<uint8_t> bytes = image;
  DfuSuffix suffix;
  suffix.vendorId = 0x1209;
  suffix.productId = 0x70B1;
  suffix.deviceVersion = 0x0102;
  suffix.dfuVersion = dfuVersion;
  AppendDfuSuffix(suffix, &bytes);
  return bytes;
}

TEST(DfuSuffix, ReadsBackItsIdsAndAChecksumThatCoversTheImage) {
  std::vector<uint8_t> bytes = PlainFile({1, 2, 3, 4, 5}, DFU_SUFFIX_PLAIN_VERSION);
  ASSERT_EQ(bytes.size(), 5 + DFU_SUFFIX_SIZE);
  DfuSuffix read;
  ASSERT_TRUE(ReadDfuSuffix(bytes.data(), bytes.size(), &read));
  EXPECT_EQ(read.vendorId, 0x1209);
  EXPECT_EQ(read.productId, 0x70B1);
  EXPECT_EQ(read.deviceVersion, 0x0102);
  EXPECT_EQ(read.dfuVersion, DFU_SUFFIX_PLAIN_VERSION);
  EXPECT_TRUE(read.CrcMatches());
  bytes[2] ^= 0x10;
  ASSERT_TRUE(ReadDfuSuffix(bytes.data(), bytes.size(), &read));
  EXPECT_FALSE(read.CrcMatches());
}

// A plain DFU file is told from raw bytes by its suffix alone, and never
// taken for a DfuSe file or the other way round.
struct DetectCase {
  const char* name;
  std::string fileName;
  std::vector<uint8_t> bytes;
  FirmwareFormat format;
};

std::vector<uint8_t> WithLength(std::vector<uint8_t> bytes, uint8_t length) {
  bytes[bytes.size() - 5] = length;
  return bytes;
}

std::vector<uint8_t> DfuSeFile() {
  DfuSeContent content;
  content.targets.push_back(ImageOf(0, {{0x08000000, {1, 2}}}));
  std::vector<uint8_t> bytes;
  FormatDfuSe(content, &bytes);
  return bytes;
}

class DetectPlainDfu : public testing::TestWithParam<DetectCase> {};

TEST_P(DetectPlainDfu, ByItsSuffix) {
  const DetectCase& c = GetParam();
  EXPECT_EQ(DetectFirmwareFormat(c.fileName, c.bytes.data(), c.bytes.size()), c.format);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectPlainDfu,
    testing::Values(
        DetectCase{"Version100", "fw.dfu", PlainFile({9, 9}, 0x0100), FirmwareFormat::kPlainDfu},
        DetectCase{"Version110", "fw.dfu", PlainFile({9, 9}, 0x0110), FirmwareFormat::kPlainDfu},
        DetectCase{"DfuSeVersionWithoutPrefixIsRaw", "fw.dfu", PlainFile({9, 9}, 0x011A),
                   FirmwareFormat::kRaw},
        DetectCase{"OtherSuffixLengthIsRaw", "fw.dfu", WithLength(PlainFile({9}, 0x0100), 17),
                   FirmwareFormat::kRaw},
        DetectCase{"BinNameIsRaw", "fw.BIN", PlainFile({9}, 0x0100), FirmwareFormat::kRaw},
        DetectCase{"DfuSeFile", "fw.dfu", DfuSeFile(), FirmwareFormat::kDfuSe},
        DetectCase{"ShorterThanASuffix", "x", {'U', 'F', 'D', 16}, FirmwareFormat::kRaw}),
    [](const auto& info) { return std::string(info.param.name); });

// Raw bytes that look like a DFU file which cannot be read as one are marked
// as such, with the reason; other raw bytes are not.
struct UnreadCase {
  const char* name;
  std::string fileName;
  std::vector<uint8_t> bytes;
  const char* reason;  // a word of the reason, or null for none
};

class UnreadSuffix : public testing::TestWithParam<UnreadCase> {};

TEST_P(UnreadSuffix, IsNamedWhenRawBytesLookLikeADfuFile) {
  const UnreadCase& c = GetParam();
  FirmwareFile file;
  std::string error;
  ASSERT_EQ(DecodeFirmware(c.fileName, c.bytes.data(), c.bytes.size(), &file, &error), RESULT_OK);
  ASSERT_EQ(file.format, FirmwareFormat::kRaw);
  if (c.reason == nullptr) {
    EXPECT_EQ(file.unreadSuffix, "");
  } else {
    EXPECT_NE(file.unreadSuffix.find(c.reason), std::string::npos) << file.unreadSuffix;
  }
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadSuffix,
    testing::Values(
        UnreadCase{"DfuSeVersionWithoutPrefix", "fw.img", PlainFile({9, 9}, 0x011A), "0x011A"},
        UnreadCase{"OtherSuffixLength", "fw.img", WithLength(PlainFile({9}, 0x0100), 17), "17"},
        UnreadCase{"CutDfuName", "FW.DFU", Cut(PlainFile({9, 9, 9}, 0x0100), 4), ".dfu"},
        UnreadCase{"DfuNameWithoutSuffix", "fw.dfu", {1, 2, 3}, ".dfu"},
        UnreadCase{"BinNameTakesAnyTail", "fw.bin", PlainFile({9, 9}, 0x011A), nullptr},
        UnreadCase{"OtherNameWithoutSuffix", "fw.img", Cut(PlainFile({9, 9}, 0x0100), 4), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DfuSuffix, DecodingAPlainFileGivesTheImageWithoutItsSuffix) {
  const std::vector<uint8_t> bytes = PlainFile({7, 8, 9}, DFU_SUFFIX_PLAIN_VERSION);
  FirmwareFile file;
  std::string error;
  ASSERT_EQ(DecodeFirmware("fw.dfu", bytes.data(), bytes.size(), &file, &error), RESULT_OK) << error;
  EXPECT_EQ(file.format, FirmwareFormat::kPlainDfu);
  EXPECT_EQ(file.raw, (std::vector<uint8_t>{7, 8, 9}));
  EXPECT_EQ(file.suffix.vendorId, 0x1209);
  EXPECT_TRUE(file.suffix.CrcMatches());

  const std::vector<uint8_t> empty = PlainFile({}, DFU_SUFFIX_PLAIN_VERSION);
  EXPECT_EQ(DecodeFirmware("fw.dfu", empty.data(), empty.size(), &file, &error),
            FILE_ERR_BAD_CONTENT);
}

}  // namespace
