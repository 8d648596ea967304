#include "platform/whole_append.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/files.h"

namespace {

constexpr uint32_t kDiskFull = 28;

// A file on a disk with `room` bytes left: each write takes at most `piece`
// bytes of what fits; one that finds no room fails. `partThenFail`: a write
// that reaches the end of the room reports the failure at once, with the
// part it took.
class FakeDisk : public WholeAppendSteps {
 public:
  FakeDisk(std::string contents, size_t room, size_t piece, bool partThenFail)
      : contents(std::move(contents)), room_(room), piece_(piece), partThenFail_(partThenFail) {}
  uint32_t Length(uint64_t* length) override {
    *length = contents.size();
    return 0;
  }
  uint32_t WriteAtEnd(const uint8_t* data, size_t count, size_t* written) override {
    *written = 0;
    if (room_ == 0) return kDiskFull;
    const size_t take = std::min({count, piece_, room_});
    contents.append(reinterpret_cast<const char*>(data), take);
    room_ -= take;
    *written = take;
    return partThenFail_ && take < count && room_ == 0 ? kDiskFull : 0;
  }
  uint32_t CutTo(uint64_t length) override {
    room_ += contents.size() - length;
    contents.resize(length);
    return 0;
  }
  std::string contents;

 private:
  size_t room_;
  size_t piece_;
  bool partThenFail_;
};

TEST(WholeAppendTest, TheLineLandsWholeOrTheFileStaysAsItWas) {
  const std::string line = "{\"time\":\"2026-12-11T10:54:00.000Z\"}\n";
  struct Case {
    const char* what;
    size_t room;
    size_t piece;
    bool partThenFail;
    uint32_t error;
  } cases[] = {
      {"room to spare", 1000, 1000, false, 0},
      {"room to spare, taken in short writes", 1000, 7, false, 0},
      {"exactly the room", line.size(), 1000, false, 0},
      {"a short write, then a full disk", 10, 1000, false, kDiskFull},
      {"short writes, then a full disk", 10, 3, false, kDiskFull},
      {"a write that fails with its part", 10, 1000, true, kDiskFull},
      {"one byte too few", line.size() - 1, 1000, false, kDiskFull},
      {"no room at all", 0, 1000, false, kDiskFull},
      {"a write that takes nothing and says nothing", 1000, 0, false, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDisk disk("{\"earlier\":1}\n", c.room, c.piece, c.partThenFail);
    EXPECT_EQ(AppendWhole(&disk, line.data(), line.size()), c.error);
    EXPECT_EQ(disk.contents, "{\"earlier\":1}\n" + (c.error == 0 ? line : ""));
  }
}

// On the system's files: appenders that take turns, beside plain writes of
// another appender, all land at the end; a file opened another way refuses.
TEST(WholeAppendTest, AppendersOfOneFileAllWriteAtItsEnd) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("zuva_whole_append_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(directory);
  const std::string path = (directory / "record.log").string();
  std::ofstream(path, std::ios::binary) << "0123456789";
  {
    PlatformFile first;
    PlatformFile second;
    ASSERT_EQ(first.Open(path, PlatformFile::Mode::kAppendShared), 0u);
    ASSERT_EQ(second.Open(path, PlatformFile::Mode::kAppendShared), 0u);
    EXPECT_TRUE(first.AppendWhole("a\n", 2));
    EXPECT_TRUE(second.AppendWhole("bb\n", 3));
    EXPECT_TRUE(first.Write("c\n", 2));
    EXPECT_TRUE(second.AppendWhole("dd\n", 3));
    PlatformFile other;
    ASSERT_EQ(other.Open((directory / "other.bin").string(), PlatformFile::Mode::kCreateReadWrite),
              0u);
    EXPECT_FALSE(other.AppendWhole("e\n", 2));
  }
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  EXPECT_EQ(text, "0123456789a\nbb\nc\ndd\n");
  std::filesystem::remove_all(directory);
}

}  // namespace
