#include "dfufiles/dfu_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dfufiles/dfu_crc.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32At(const Bytes& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

void PutU32At(Bytes& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Stores the checksum of everything before the last four bytes in them.
void FixCrc(Bytes& bytes) {
  PutU32At(bytes, bytes.size() - 4, UpdateDfuCrc(DFU_CRC_INITIAL, bytes.data(), bytes.size() - 4));
}

class DfuFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    directory_ = std::filesystem::temp_directory_path() /
                 (std::string("zuva_dfu_file_test_") + info->name() + "_" +
                  std::to_string(std::random_device{}()));
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override {
    DfuFileDestroyAll();
    ImageDestroyAll();
    std::filesystem::remove_all(directory_);
  }

  std::string PathOf(const char* name) const { return (directory_ / name).string(); }

  static Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  static ImageHandle MakeImage(uint8_t alternate, const char* name,
                               const std::vector<std::pair<uint32_t, Bytes>>& parts) {
    ImageHandle image = nullptr;
    EXPECT_EQ(ImageCreate(&image), RESULT_OK);
    image->alternateSetting = alternate;
    if (name != nullptr) {
      EXPECT_EQ(ImageSetName(image, name), RESULT_OK);
    }
    uint32_t index = 0;
    for (auto part : parts) {
      ImageElement element{part.first, static_cast<uint32_t>(part.second.size()), part.second.data()};
      EXPECT_EQ(ImageSetElement(image, index++, 1, &element), RESULT_OK);
    }
    return image;
  }

  // Writes the images as the targets of a new file and closes it.
  std::string WriteFile(const char* name, const std::vector<ImageHandle>& images) {
    const std::string path = PathOf(name);
    FileHandle file = nullptr;
    EXPECT_EQ(DfuFileCreate(path.c_str(), &file), RESULT_OK);
    for (ImageHandle image : images) EXPECT_EQ(DfuFileAppendImage(file, image), RESULT_OK);
    EXPECT_EQ(DfuFileClose(file), RESULT_OK);
    return path;
  }

  std::filesystem::path directory_;
};

TEST(DfuCrc, IsTheComplementOfTheCommonCrc32) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(UpdateDfuCrc(DFU_CRC_INITIAL, abc, 3), 0xCADBBE3Du);
  EXPECT_EQ(UpdateDfuCrc(DFU_CRC_INITIAL, abc, 0), DFU_CRC_INITIAL);
  // Chaining over pieces gives the same value as one pass.
  EXPECT_EQ(UpdateDfuCrc(UpdateDfuCrc(DFU_CRC_INITIAL, abc, 1), abc + 1, 2), 0xCADBBE3Du);
}

TEST_F(DfuFileTest, NewFileIsTheEmptyContainer) {
  const std::string path = WriteFile("empty.dfu", {});
  const Bytes expected = {0x44, 0x66, 0x75, 0x53, 0x65, 0x01, 0x06, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x22, 0x11, 0xDF, 0x83, 0x04, 0x1A, 0x01, 0x55, 0x46, 0x44,
                          0x10, 0x22, 0x4D, 0x62, 0x10};
  EXPECT_EQ(ReadAll(path), expected);

  FileHandle file = nullptr;
  uint8_t targets = 99;
  ASSERT_EQ(DfuFileOpen(path.c_str(), &file, &targets), RESULT_OK);
  EXPECT_EQ(targets, 0);
  EXPECT_EQ(file->vendorId, 0x0483);
  EXPECT_EQ(file->productId, 0xDF11);
  EXPECT_EQ(file->deviceVersion, 0x2200);
  ImageHandle image = nullptr;
  EXPECT_EQ(DfuFileReadImage(file, 0, &image), FILE_ERR_BAD_CONTENT);
  EXPECT_EQ(image, nullptr);
}

TEST_F(DfuFileTest, ConvertedRawImageHasTheExpectedSizes) {
  ImageHandle image = MakeImage(0, "Internal Flash", {{0x08000000, Bytes(524288, 0x5A)}});
  const Bytes bytes = ReadAll(WriteFile("raw.dfu", {image}));
  ASSERT_EQ(bytes.size(), 524597u);
  EXPECT_EQ(U32At(bytes, 6), 524581u);      // image size
  EXPECT_EQ(bytes[10], 1);                  // targets
  EXPECT_EQ(U32At(bytes, 11 + 266), 524296u);  // target size
  EXPECT_EQ(U32At(bytes, 11 + 270), 1u);       // elements
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[11 + 11])), "Internal Flash");
  EXPECT_EQ(U32At(bytes, bytes.size() - 4),
            UpdateDfuCrc(DFU_CRC_INITIAL, bytes.data(), bytes.size() - 4));
}

TEST_F(DfuFileTest, TargetsReadBackAsTheyWereWritten) {
  const std::string longName(254, 'L');
  ImageHandle first = MakeImage(0, longName.c_str(),
                                {{0x08000000, {1, 2, 3}}, {0x08004000, {}}, {0x20000000, {9}}});
  ImageHandle second = MakeImage(1, nullptr, {{0x1FFF7800, {4, 5}}});
  ImageHandle empty = MakeImage(2, "Empty", {});
  const std::string path = WriteFile("two.dfu", {first, second, empty});
  const Bytes bytes = ReadAll(path);
  EXPECT_EQ(bytes[10], 3);
  EXPECT_EQ(U32At(bytes, 6), bytes.size() - 16);

  FileHandle file = nullptr;
  uint8_t targets = 0;
  ASSERT_EQ(DfuFileOpen(path.c_str(), &file, &targets), RESULT_OK);
  ASSERT_EQ(targets, 3);
  // Read out of order: every read scans from the first target.
  for (uint32_t index : {1u, 0u, 2u}) {
    ImageHandle read = nullptr;
    ASSERT_EQ(DfuFileReadImage(file, index, &read), RESULT_OK) << index;
    const CImage* original = index == 0 ? first : index == 1 ? second : empty;
    EXPECT_EQ(read->alternateSetting, original->alternateSetting);
    EXPECT_EQ(read->isNamed, original->isNamed);
    EXPECT_STREQ(read->name, original->name);
    ASSERT_EQ(read->ElementCount(), original->ElementCount());
    for (uint32_t i = 0; i < read->ElementCount(); ++i) {
      const ImageElement* got = read->ElementAt(i);
      const ImageElement* want = original->ElementAt(i);
      EXPECT_EQ(got->address, want->address);
      ASSERT_EQ(got->size, want->size);
      if (got->size != 0) {
        EXPECT_EQ(std::memcmp(got->data, want->data, got->size), 0);
      }
    }
  }
  ImageHandle beyond = nullptr;
  EXPECT_EQ(DfuFileReadImage(file, 3, &beyond), FILE_ERR_BAD_CONTENT);
}

TEST_F(DfuFileTest, NameFieldIsWrittenWithinItsTerminatedLength) {
  const struct {
    const char* label;
    size_t length;      // 0 with named false: unnamed
    bool named;
    size_t written;
  } cases[] = {{"unnamed", 0, false, 0}, {"254", 254, true, 254}, {"255", 255, true, 254},
               {"300", 300, true, 254}};
  for (const auto& c : cases) {
    const std::string name(c.length, 'n');
    ImageHandle image = MakeImage(0, c.named ? name.c_str() : nullptr, {});
    const Bytes bytes = ReadAll(WriteFile("name.dfu", {image}));
    const Bytes field(bytes.begin() + 22, bytes.begin() + 22 + 255);
    Bytes expected(255, 0);
    std::fill(expected.begin(), expected.begin() + static_cast<long>(c.written), 'n');
    EXPECT_EQ(field, expected) << c.label;
    EXPECT_EQ(U32At(bytes, 18), c.named ? 1u : 0u) << c.label;
  }
}

TEST_F(DfuFileTest, NameFieldWithoutTerminatorGivesAll255Bytes) {
  ImageHandle image = MakeImage(0, "x", {});
  const std::string path = WriteFile("noterm.dfu", {image});
  Bytes bytes = ReadAll(path);
  std::fill(bytes.begin() + 22, bytes.begin() + 22 + 255, 'A');
  FixCrc(bytes);
  WriteAll(path, bytes);
  FileHandle file = nullptr;
  ASSERT_EQ(DfuFileOpen(path.c_str(), &file, nullptr), RESULT_OK);
  ImageHandle read = nullptr;
  ASSERT_EQ(DfuFileReadImage(file, 0, &read), RESULT_OK);
  EXPECT_EQ(std::string(read->name), std::string(255, 'A'));
}

// Each case spoils one field of a valid one-target file; the CRC is made
// right again unless the case is about the CRC, so that only the field
// under test can be the reason.
TEST_F(DfuFileTest, OpeningChecksPrefixSuffixAndChecksum) {
  ImageHandle image = MakeImage(0, "Internal Flash", {{0x08000000, {1, 2, 3, 4}}});
  const Bytes valid = ReadAll(WriteFile("valid.dfu", {image}));
  const size_t suffix = valid.size() - 16;
  const struct {
    const char* label;
    std::function<void(Bytes&)> spoil;
    bool fixCrc;
    StatusCode expected;
  } cases[] = {
      {"untouched", [](Bytes&) {}, false, RESULT_OK},
      {"image size ignored", [](Bytes& b) { PutU32At(b, 6, 12345); }, true, RESULT_OK},
      {"target count taken as it is", [](Bytes& b) { b[10] = 7; }, true, RESULT_OK},
      {"version", [](Bytes& b) { b[5] = 0x02; }, true, FILE_ERR_BAD_CONTENT},
      {"signature", [](Bytes& b) { b[4] = 'X'; }, true, FILE_ERR_BAD_CONTENT},
      {"DFU release 0x0110", [=](Bytes& b) { b[suffix + 6] = 0x10; b[suffix + 7] = 0x01; }, true,
       FILE_ERR_BAD_CONTENT},
      {"suffix signature", [=](Bytes& b) { b[suffix + 10] = 'X'; }, true, FILE_ERR_BAD_CONTENT},
      {"suffix length", [=](Bytes& b) { b[suffix + 11] = 15; }, true, FILE_ERR_BAD_CONTENT},
      {"checksum one bit off", [](Bytes& b) { b[b.size() - 1] ^= 0x01; }, false, FILE_ERR_BAD_CONTENT},
      {"data one bit off", [](Bytes& b) { b[300] ^= 0x80; }, false, FILE_ERR_BAD_CONTENT},
      {"12 bytes long", [](Bytes& b) { b.resize(12); }, false, FILE_ERR_BAD_CONTENT},
      {"short prefix", [](Bytes& b) { b.resize(10); }, false, FILE_ERR_BAD_CONTENT},
      {"empty", [](Bytes& b) { b.clear(); }, false, FILE_ERR_BAD_CONTENT},
  };
  const std::string path = PathOf("spoiled.dfu");
  for (const auto& c : cases) {
    Bytes bytes = valid;
    c.spoil(bytes);
    if (c.fixCrc) FixCrc(bytes);
    WriteAll(path, bytes);
    FileHandle file = nullptr;
    EXPECT_EQ(DfuFileOpen(path.c_str(), &file, nullptr), c.expected) << c.label;
    if (file != nullptr) {
      EXPECT_EQ(DfuFileClose(file), RESULT_OK) << c.label;
    }
  }
}

// Targets whose content lies: each read must end with a status, never read
// beyond the file or allocate what the file cannot hold.
TEST_F(DfuFileTest, MalformedTargetsGiveAStatus) {
  ImageHandle image = MakeImage(0, nullptr, {{0x08000000, {1, 2, 3, 4}}, {0x08000004, {5}}});
  const Bytes valid = ReadAll(WriteFile("valid.dfu", {image}));
  const size_t target = 11;
  const size_t firstElement = target + 274;
  const struct {
    const char* label;
    std::function<void(Bytes&)> spoil;
    uint32_t index;
    StatusCode expected;
  } cases[] = {
      {"target signature", [=](Bytes& b) { b[target] = 't'; }, 0, FILE_ERR_BAD_CONTENT},
      {"huge element size", [=](Bytes& b) { PutU32At(b, firstElement + 4, 0xFFFFFFFF); }, 0,
       FILE_ERR_IO},
      {"more elements than present", [=](Bytes& b) { PutU32At(b, target + 270, 1000); }, 0,
       FILE_ERR_IO},
      {"huge target size skips off the end", [=](Bytes& b) { PutU32At(b, target + 266, 0x7FFFFFFF); },
       1, FILE_ERR_BAD_CONTENT},
      {"zero target size lands inside the target", [=](Bytes& b) { PutU32At(b, target + 266, 0); }, 1,
       FILE_ERR_BAD_CONTENT},
      {"element count 0 reads no elements", [=](Bytes& b) { PutU32At(b, target + 270, 0); }, 0,
       RESULT_OK},
  };
  const std::string path = PathOf("malformed.dfu");
  for (const auto& c : cases) {
    Bytes bytes = valid;
    c.spoil(bytes);
    FixCrc(bytes);
    WriteAll(path, bytes);
    FileHandle file = nullptr;
    ASSERT_EQ(DfuFileOpen(path.c_str(), &file, nullptr), RESULT_OK) << c.label;
    ImageHandle read = nullptr;
    EXPECT_EQ(DfuFileReadImage(file, c.index, &read), c.expected) << c.label;
    EXPECT_EQ(read != nullptr, c.expected == RESULT_OK) << c.label;
    if (read != nullptr) {
      EXPECT_EQ(read->ElementCount(), 0u) << c.label;
      EXPECT_EQ(ImageDestroy(&read), RESULT_OK);
    }
    EXPECT_EQ(DfuFileClose(file), RESULT_OK);
  }
}

TEST_F(DfuFileTest, FailedAppendIsRememberedUntilTheNextRead) {
  ImageHandle image = MakeImage(0, "A", {{0x08000000, {1}}});
  const std::string path = WriteFile("one.dfu", {image});
  const Bytes before = ReadAll(path);
  FileHandle file = nullptr;
  ASSERT_EQ(DfuFileOpen(path.c_str(), &file, nullptr), RESULT_OK);
  // An opened file is read only: the append fails without changing it.
  EXPECT_EQ(DfuFileAppendImage(file, image), FILE_ERR_IO);
  EXPECT_EQ(file->status, FILE_ERR_IO);
  EXPECT_EQ(DfuFileAppendImage(file, image), FILE_ERR_IO);
  ImageHandle read = nullptr;
  EXPECT_EQ(DfuFileReadImage(file, 0, &read), RESULT_OK);
  EXPECT_EQ(file->status, RESULT_OK);
  EXPECT_EQ(DfuFileClose(file), RESULT_OK);
  EXPECT_EQ(ReadAll(path), before);
}

TEST_F(DfuFileTest, AppendRefusesATargetBeyondTheCountField) {
  ImageHandle image = MakeImage(0, nullptr, {});
  FileHandle file = nullptr;
  const std::string path = PathOf("full.dfu");
  ASSERT_EQ(DfuFileCreate(path.c_str(), &file), RESULT_OK);
  file->targetCount = 255;
  EXPECT_EQ(DfuFileAppendImage(file, image), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(file->status, RESULT_OK);
  EXPECT_EQ(DfuFileClose(file), RESULT_OK);  // the open file is not shared
  EXPECT_EQ(ReadAll(path).size(), 27u);
}

TEST_F(DfuFileTest, HandlesAreCheckedAgainstTheRegistries) {
  ImageHandle image = MakeImage(0, nullptr, {});
  FileHandle file = nullptr;
  ASSERT_EQ(DfuFileCreate(PathOf("h.dfu").c_str(), &file), RESULT_OK);
  const FileHandle stranger = reinterpret_cast<FileHandle>(&image);
  ImageHandle out = nullptr;
  EXPECT_EQ(DfuFileClose(stranger), OP_ERR_BAD_PARAMETER);
  EXPECT_EQ(DfuFileClose(nullptr), OP_ERR_BAD_PARAMETER);
  EXPECT_EQ(DfuFileReadImage(stranger, 0, &out), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(DfuFileAppendImage(stranger, image), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(DfuFileAppendImage(file, reinterpret_cast<ImageHandle>(&file)), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(DfuFileClose(file), RESULT_OK);
  EXPECT_EQ(DfuFileClose(file), OP_ERR_BAD_PARAMETER);
}

TEST_F(DfuFileTest, FilesThatCannotBeOpenedGiveTheSystemError) {
  FileHandle file = nullptr;
  // A missing file is error 2 on both systems (ENOENT, ERROR_FILE_NOT_FOUND).
  EXPECT_EQ(DfuFileOpen(PathOf("missing.dfu").c_str(), &file, nullptr), 2u);
  EXPECT_EQ(file, nullptr);
  const StatusCode directory = DfuFileOpen(directory_.string().c_str(), &file, nullptr);
  EXPECT_NE(directory, RESULT_OK);
  EXPECT_LT(directory, 0x10000u);  // an error number, not a layer code
  const StatusCode noFolder = DfuFileCreate(PathOf("no/such/folder.dfu").c_str(), &file);
  EXPECT_NE(noFolder, RESULT_OK);
  EXPECT_LT(noFolder, 0x10000u);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(DfuFileOpen(nullptr, &file, nullptr), FILE_ERR_BAD_PARAMETER);
}

TEST_F(DfuFileTest, AnOpenFileIsNotShared) {
  const std::string path = WriteFile("shared.dfu", {});
  FileHandle first = nullptr;
  ASSERT_EQ(DfuFileOpen(path.c_str(), &first, nullptr), RESULT_OK);
  FileHandle second = nullptr;
  const StatusCode again = DfuFileOpen(path.c_str(), &second, nullptr);
  EXPECT_NE(again, RESULT_OK);
  EXPECT_LT(again, 0x10000u);
  EXPECT_EQ(DfuFileClose(first), RESULT_OK);
  ASSERT_EQ(DfuFileOpen(path.c_str(), &second, nullptr), RESULT_OK);
}

}  // namespace
