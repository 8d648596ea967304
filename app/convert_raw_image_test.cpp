#include "app/convert_raw_image.h"
#include "app/files_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr size_t kDfuFileSize = 524597;  // prefix, one target, one element, suffix

uint32_t ReadLe32(const std::vector<uint8_t>& bytes, size_t offset) {
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

std::vector<uint8_t> PatternBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(i * 7 + 1);  // never 0xFF at the start
  }
  return bytes;
}

class ConvertRawImageTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           (std::string("zuva_convert_") + info->name() + "_" + std::to_string(Pid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static long Pid();

  std::string PathOf(const char* name) const { return (dir_ / name).string(); }

  // Runs the conversion and returns what it printed.
  static std::string Convert(const char* source, const std::string& dfuPath, const uint8_t* data,
                             uint32_t size, bool* result) {
    testing::internal::CaptureStdout();
    *result = ConvertRawImage(source, dfuPath.c_str(), data, size);
    return testing::internal::GetCapturedStdout();
  }

  // The DfuSe file holds one target "Internal Flash" for alternate setting 0
  // with one element: the 512 KiB window at 0x08000000 starting with `raw`
  // and erased (0xFF) after it.
  static void ExpectWindowFile(const std::string& dfuPath, const std::vector<uint8_t>& raw) {
    const std::vector<uint8_t> file = ReadFileBytes(dfuPath);
    ASSERT_EQ(file.size(), kDfuFileSize);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 5), "DfuSe");
    EXPECT_EQ(file[10], 1) << "target count";
    EXPECT_EQ(std::string(file.begin() + 11, file.begin() + 17), "Target");
    EXPECT_EQ(file[17], 0) << "alternate setting";
    EXPECT_EQ(ReadLe32(file, 18), 1u) << "named";
    EXPECT_STREQ(reinterpret_cast<const char*>(&file[22]), "Internal Flash");
    EXPECT_EQ(ReadLe32(file, 277), 524296u) << "target size";
    EXPECT_EQ(ReadLe32(file, 281), 1u) << "element count";
    EXPECT_EQ(ReadLe32(file, 285), 0x08000000u);
    EXPECT_EQ(ReadLe32(file, 289), 0x80000u);
    const auto data = file.begin() + 293;
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), data));
    EXPECT_TRUE(std::all_of(data + static_cast<long>(raw.size()), data + 0x80000,
                            [](uint8_t b) { return b == 0xFF; }));
  }

  fs::path dir_;
};

}  // namespace

#if defined(_WIN32)
#include <process.h>
long ConvertRawImageTest::Pid() { return _getpid(); }
#else
#include <unistd.h>
long ConvertRawImageTest::Pid() { return getpid(); }
#endif

namespace {

class ConvertRawFileSizeTest : public ConvertRawImageTest,
                               public testing::WithParamInterface<size_t> {};

TEST_P(ConvertRawFileSizeTest, PlacesTheFileAtTheStartOfAnErasedWindow) {
  const std::string source = PathOf("fw.bin");
  const std::string dfu = PathOf("fw.dfu");
  const std::vector<uint8_t> raw = PatternBytes(GetParam());
  WriteFileBytes(source, raw);
  bool ok = false;
  EXPECT_EQ(Convert(source.c_str(), dfu, nullptr, 0, &ok), "Success for '" + source + "' !\n");
  EXPECT_TRUE(ok);
  ExpectWindowFile(dfu, raw);
  EXPECT_EQ(ReadFileBytes(source), raw) << "the raw file is left as it was";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConvertRawFileSizeTest, testing::Values(0, 1, 1000, 0x80000));

TEST_F(ConvertRawImageTest, RefusesARawFileLargerThanTheWindowAndWritesNothing) {
  const std::string source = PathOf("big.bin");
  const std::string dfu = PathOf("big.dfu");
  WriteFileBytes(source, PatternBytes(0x80001));
  bool ok = true;
  EXPECT_EQ(Convert(source.c_str(), dfu, nullptr, 0, &ok),
            "Invalid file size! File is too large to create image.\n");
  EXPECT_FALSE(ok);
  EXPECT_FALSE(fs::exists(dfu));
}

TEST_F(ConvertRawImageTest, ConvertsAnImageInMemoryUnderTheDefaultName) {
  const std::string dfu = PathOf("ZUVA.dfu");
  const std::vector<uint8_t> raw = PatternBytes(135380);
  bool ok = false;
  EXPECT_EQ(Convert(nullptr, dfu, raw.data(), static_cast<uint32_t>(raw.size()), &ok),
            "Success for 'default BIN' !\n");
  EXPECT_TRUE(ok);
  ExpectWindowFile(dfu, raw);
}

TEST_F(ConvertRawImageTest, RefusesAnImageInMemoryLargerThanTheWindow) {
  const std::string dfu = PathOf("ZUVA.dfu");
  const std::vector<uint8_t> raw = PatternBytes(0x80001);
  bool ok = true;
  EXPECT_EQ(Convert(nullptr, dfu, raw.data(), static_cast<uint32_t>(raw.size()), &ok),
            "Invalid file size! File is too large to create image.\n");
  EXPECT_FALSE(ok);
  EXPECT_FALSE(fs::exists(dfu));
}

TEST_F(ConvertRawImageTest, ReplacesAnExistingDfuSeFile) {
  const std::string source = PathOf("fw.bin");
  const std::string dfu = PathOf("fw.dfu");
  WriteFileBytes(source, PatternBytes(16));
  WriteFileBytes(dfu, std::vector<uint8_t>(kDfuFileSize + 1000, 0x00));
  bool ok = false;
  Convert(source.c_str(), dfu, nullptr, 0, &ok);
  EXPECT_TRUE(ok);
  ExpectWindowFile(dfu, PatternBytes(16));
}

// The caller reports a DfuSe file that cannot be created; the conversion
// itself stays silent.
TEST_F(ConvertRawImageTest, FailsSilentlyWhenTheDfuSeFileCannotBeCreated) {
  const std::string source = PathOf("fw.bin");
  WriteFileBytes(source, PatternBytes(16));
  bool ok = true;
  EXPECT_EQ(Convert(source.c_str(), PathOf("missing/fw.dfu"), nullptr, 0, &ok), "");
  EXPECT_FALSE(ok);
}

// A DfuSe path that reaches the raw file through a link would truncate the
// raw image: the conversion refuses it and leaves the raw file as it was.
TEST_F(ConvertRawImageTest, RefusesADfuSePathThatIsTheRawFileItself) {
  const std::string source = PathOf("fw.bin");
  const std::vector<uint8_t> raw = PatternBytes(1000);
  using Link = void (*)(const fs::path&, const fs::path&);
  const struct {
    const char* name;
    Link link;
  } cases[] = {
      {"hard link", [](const fs::path& to, const fs::path& at) { fs::create_hard_link(to, at); }},
#if !defined(_WIN32)
      {"symbolic link", [](const fs::path& to, const fs::path& at) { fs::create_symlink(to, at); }},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dfu = PathOf("fw.dfu");
    fs::remove(dfu);
    WriteFileBytes(source, raw);
    c.link(source, dfu);
    bool ok = true;
    EXPECT_EQ(Convert(source.c_str(), dfu, nullptr, 0, &ok),
              "DFU file \"" + dfu + "\" is the same file as \"" + source + "\"!\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadFileBytes(source), raw);
  }
}

#if defined(_WIN32)
constexpr uint32_t kNoSuchFile = 2;  // ERROR_FILE_NOT_FOUND
constexpr uint32_t kIsDirectory = 5;  // ERROR_ACCESS_DENIED
#else
constexpr uint32_t kNoSuchFile = ENOENT;
constexpr uint32_t kIsDirectory = EISDIR;
#endif

std::string OpenError(uint32_t error, const std::string& path) {
  char text[32];
  std::snprintf(text, sizeof text, "Error %08xh", error);
  return std::string(text) + ": Cannot open file \"" + path + "\"\n";
}

TEST_F(ConvertRawImageTest, ReportsASourceThatCannotBeOpenedWithTheSystemError) {
  const struct {
    std::string source;
    uint32_t error;
  } cases[] = {{PathOf("absent.bin"), kNoSuchFile}, {dir_.string(), kIsDirectory}};
  for (const auto& c : cases) {
    const std::string dfu = PathOf("out.dfu");
    bool ok = true;
    EXPECT_EQ(Convert(c.source.c_str(), dfu, nullptr, 0, &ok), OpenError(c.error, c.source));
    EXPECT_FALSE(ok);
    EXPECT_FALSE(fs::exists(dfu));
  }
}

#if !defined(_WIN32)
// A kernel-generated file opens but has no end to seek to: the failure is
// reported, not taken for an empty image.
TEST_F(ConvertRawImageTest, ReportsASourceThatCannotBeMeasured) {
  const std::string dfu = PathOf("status.dfu");
  bool ok = true;
  char expected[96];
  std::snprintf(expected, sizeof expected, "Error %08xh: Cannot read file \"/proc/self/status\"\n",
                static_cast<unsigned>(EINVAL));
  EXPECT_EQ(Convert("/proc/self/status", dfu, nullptr, 0, &ok), expected);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(fs::exists(dfu));
}

// A full disk in the middle of the element: the old DfuSe file stays whole
// (no partial file that looks like a DfuSe file takes its place) and nothing
// else is left beside it. The file size limit stands in for the full disk.
TEST_F(ConvertRawImageTest, AFailedWriteKeepsTheOldDfuSeFile) {
  const std::string source = PathOf("fw.bin");
  const std::string dfu = PathOf("fw.dfu");
  WriteFileBytes(source, PatternBytes(16));
  const std::vector<uint8_t> old = PatternBytes(2000);
  WriteFileBytes(dfu, old);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 100000;  // far less than the 524,597 bytes of the file
  void (*savedSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  bool ok = true;
  const std::string printed = Convert(source.c_str(), dfu, nullptr, 0, &ok);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedSignal);
  EXPECT_EQ(printed, "Failure for '" + source + "'...\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadFileBytes(dfu), old);
  size_t names = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    (void)entry;
    ++names;
  }
  EXPECT_EQ(names, 2u);
}
#endif

}  // namespace
