#include "tool/read_back_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dfufiles/firmware_test_support.h"

namespace {

std::vector<uint8_t> Bytes(const ImageElement& element) {
  return std::vector<uint8_t>(element.data, element.data + element.size);
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_EQ(ReadWholeFile(path, &bytes, &error), RESULT_OK) << error;
  return bytes;
}

const uint8_t LOW[] = {1, 2};
const uint8_t HIGH[] = {6, 7};
const uint8_t PLAIN[] = {9, 8, 7};

// What a DfuSe read of 0x08000000..+8 answered: two runs with a gap.
ReadBack DfuSeRead() {
  return {true, 2, "Internal Flash", 0x08000000, 8,
          {RecordOver(0x08000000, LOW), RecordOver(0x08000005, HIGH)}};
}

ReadBack PlainRead() { return {false, 0, "", 0, 3, {RecordOver(0, PLAIN)}}; }

struct FileCase {
  const char* name;
  const char* file;
  ReadBack read;
  FirmwareFormat format;
  std::vector<uint8_t> raw;  // kRaw and kPlainDfu
};

class ReadBackFileTest : public testing::TestWithParam<FileCase> {};

// What was written reads back as the format the name asked for, the device's
// identity in a suffix.
TEST_P(ReadBackFileTest, ReadsBackAsTheFormatItsNameAsksFor) {
  const FileCase& c = GetParam();
  DfuDeviceInfo device;
  device.vendorId = 0x1209;
  device.productId = 0x70B1;
  device.deviceVersion = 0x0102;
  const std::string path = (std::filesystem::path(testing::TempDir()) / c.file).string();
  CWholeFileWriter output;
  std::string error;
  ASSERT_EQ(output.Begin(path, &error), RESULT_OK) << error;
  ASSERT_TRUE(FinishReadBackFile(path, device, c.read, &output, &error)) << error;

  FirmwareFile file;
  ASSERT_EQ(LoadFirmwareFile(path, &file, &error), RESULT_OK) << error;
  std::filesystem::remove(path);
  ASSERT_EQ(file.format, c.format);
  const DfuSuffix* suffix = nullptr;
  switch (c.format) {
    case FirmwareFormat::kDfuSe:
      ASSERT_EQ(file.dfuse.targets.size(), 1u);
      EXPECT_EQ(file.dfuse.targets[0].alternateSetting, 2);
      EXPECT_STREQ(file.dfuse.targets[0].name, "Internal Flash");
      // One element over the whole range, 0xFF where the device gave nothing.
      ASSERT_EQ(file.dfuse.targets[0].ElementCount(), 1u);
      EXPECT_EQ(Bytes(*file.dfuse.targets[0].ElementAt(0)),
                (std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 0xFF, 6, 7, 0xFF}));
      EXPECT_EQ(file.dfuse.suffix.dfuVersion, DFU_SUFFIX_DFUSE_VERSION);
      suffix = &file.dfuse.suffix;
      break;
    case FirmwareFormat::kPlainDfu:
      EXPECT_EQ(file.suffix.dfuVersion, DFU_SUFFIX_PLAIN_VERSION);
      suffix = &file.suffix;
      break;
    case FirmwareFormat::kIntelHex: {
      CImage read;
      read.AppendJoined(c.read.elements);
      EXPECT_EQ(Runs(file.image.data), Runs(read));
      break;
    }
    default:
      break;
  }
  if (!c.raw.empty()) {
    EXPECT_EQ(file.raw, c.raw);
  }
  if (suffix != nullptr) {
    EXPECT_TRUE(suffix->CrcMatches());
    EXPECT_EQ(suffix->vendorId, 0x1209);
    EXPECT_EQ(suffix->productId, 0x70B1);
    EXPECT_EQ(suffix->deviceVersion, 0x0102);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadBackFileTest,
    testing::Values(
        FileCase{"DfuSeDeviceGivesADfuSeFile", "a.dfu", DfuSeRead(), FirmwareFormat::kDfuSe, {}},
        FileCase{"PlainDeviceGivesAPlainDfuFile", "b.DFU", PlainRead(), FirmwareFormat::kPlainDfu,
                 {9, 8, 7}},
        FileCase{"HexKeepsTheAddresses", "c.hex", DfuSeRead(), FirmwareFormat::kIntelHex, {}},
        FileCase{"PlainHexStartsAtZero", "d.hex", PlainRead(), FirmwareFormat::kIntelHex, {}},
        FileCase{"BinFillsTheGapsOfTheRange", "e.bin", DfuSeRead(), FirmwareFormat::kRaw,
                 {1, 2, 0xFF, 0xFF, 0xFF, 6, 7, 0xFF}},
        FileCase{"AnyOtherNameIsRaw", "f.img", PlainRead(), FirmwareFormat::kRaw, {9, 8, 7}}),
    [](const testing::TestParamInfo<FileCase>& info) { return info.param.name; });

// A range written in pieces as it is read (lengths of whole HEX records, as
// the read's pieces are) makes the file that the whole range written at
// once makes, in every format: the sizes in a .dfu file's head, its
// checksum, and a HEX file's address records in a piece that crosses a
// 64 KiB boundary.
TEST(ReadBackWriterTest, PiecesMakeTheFileTheWholeRangeMakes) {
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
  const uint32_t start = 0x0800FFE0;
  const ReadBack whole{true, 1, "Flash", start, 100, {RecordOver(start, data)}};
  DfuDeviceInfo device;
  device.vendorId = 0x1209;
  for (const char* name : {"p.dfu", "p.hex", "p.bin"}) {
    const std::string path = (std::filesystem::path(testing::TempDir()) / name).string();
    std::string error;
    CWholeFileWriter once;
    ASSERT_EQ(once.Begin(path, &error), RESULT_OK) << error;
    ASSERT_TRUE(FinishReadBackFile(path, device, whole, &once, &error)) << error;
    const std::vector<uint8_t> expected = FileBytes(path);

    CWholeFileWriter output;
    ASSERT_EQ(output.Begin(path, &error), RESULT_OK) << error;
    CReadBackWriter writer;
    ASSERT_TRUE(writer.Begin(path, device, whole, &output, &error)) << error;
    for (const auto& [from, to] : {std::pair{0u, 16u}, std::pair{16u, 64u}, std::pair{64u, 100u}}) {
      const ImageElement piece = RecordOver(start + from, std::span(data).subspan(from, to - from));
      ASSERT_TRUE(writer.Add({&piece, 1}, start + from, to - from, &error)) << error;
    }
    ASSERT_TRUE(writer.Finish(&error)) << error;
    EXPECT_EQ(FileBytes(path), expected) << name;
    std::filesystem::remove(path);
  }
}

// A .dfu file has 32-bit sizes: a range it cannot hold is refused before
// anything is read.
TEST(ReadBackWriterTest, DfuSeFileBeyondFourGibIsRefusedAtTheStart) {
  const std::string path = (std::filesystem::path(testing::TempDir()) / "big.dfu").string();
  std::string error;
  CWholeFileWriter output;
  ASSERT_EQ(output.Begin(path, &error), RESULT_OK) << error;
  CReadBackWriter writer;
  EXPECT_FALSE(writer.Begin(path, DfuDeviceInfo{}, {true, 0, "Flash", 0, UINT32_MAX, {}}, &output, &error));
  EXPECT_NE(error.find("do not fit"), std::string::npos) << error;
}

}  // namespace
