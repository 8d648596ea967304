// The replacement of a file by a new one, on every system.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

class FileReplacementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 (std::string("zuva_replacement_") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                  std::to_string(std::random_device{}()));
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
    path_ = (directory_ / "out.bin").string();
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  void WriteOld() { std::ofstream(path_, std::ios::binary) << "old contents"; }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Every name in the folder: the new file must not be left behind.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  std::filesystem::path directory_;
  std::string path_;
};

TEST_F(FileReplacementTest, ThePathChangesOnlyAtTheCommit) {
  for (bool existed : {true, false}) {
    std::filesystem::remove(path_);
    if (existed) WriteOld();
    PlatformFile file;
    ASSERT_EQ(file.Open(path_, PlatformFile::Mode::kCreateReplacement), 0u);
    ASSERT_TRUE(file.Write("new", 3));
    // Read back through the same file, as the DfuSe writer does for its CRC.
    char back[3] = {};
    size_t got = 0;
    ASSERT_TRUE(file.Seek(0, PlatformFile::Origin::kBegin, nullptr));
    ASSERT_TRUE(file.Read(back, sizeof back, &got));
    EXPECT_EQ(std::string(back, got), "new");
    EXPECT_EQ(std::filesystem::exists(path_), existed);
    if (existed) {
      EXPECT_EQ(Contents(), "old contents");
    }
    EXPECT_EQ(file.CommitReplacement(), 0u);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(Contents(), "new");
    EXPECT_EQ(Names(), std::vector<std::string>{"out.bin"});
  }
}

TEST_F(FileReplacementTest, WithoutACommitTheOldFileStaysAndTheNewOneGoes) {
  WriteOld();
  {
    PlatformFile file;
    ASSERT_EQ(file.Open(path_, PlatformFile::Mode::kCreateReplacement), 0u);
    ASSERT_TRUE(file.Write("partial", 7));
  }  // a run that ends early
  EXPECT_EQ(Contents(), "old contents");
  EXPECT_EQ(Names(), std::vector<std::string>{"out.bin"});
  std::filesystem::remove(path_);
  {
    PlatformFile file;
    ASSERT_EQ(file.Open(path_, PlatformFile::Mode::kCreateReplacement), 0u);
    file.Close();
  }
  EXPECT_TRUE(Names().empty());
}

// The rename itself fails (the path became a folder meanwhile): the new file
// is removed and the error reported.
TEST_F(FileReplacementTest, AFailedCommitRemovesTheNewFile) {
  PlatformFile file;
  ASSERT_EQ(file.Open(path_, PlatformFile::Mode::kCreateReplacement), 0u);
  ASSERT_TRUE(file.Write("new", 3));
  std::filesystem::create_directory(path_);
  EXPECT_NE(file.CommitReplacement(), 0u);
  EXPECT_NE(file.LastError(), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  EXPECT_EQ(Names(), std::vector<std::string>{"out.bin"});
}

// What a create refuses is refused at the open, before anything is made.
TEST_F(FileReplacementTest, APathThatCannotBeCreatedIsRefusedAtTheOpen) {
  PlatformFile file;
  EXPECT_NE(file.Open((directory_ / "missing" / "out.bin").string(),
                      PlatformFile::Mode::kCreateReplacement),
            0u);
  std::filesystem::create_directory(path_);
  EXPECT_NE(file.Open(path_, PlatformFile::Mode::kCreateReplacement), 0u);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(Names(), std::vector<std::string>{"out.bin"});
  EXPECT_NE(file.CommitReplacement(), 0u);  // nothing to commit
}

// Another holder without sharing keeps the path, as it keeps out a create.
TEST_F(FileReplacementTest, AFileHeldWithoutSharingIsNotReplaced) {
  WriteOld();
  PlatformFile holder;
  ASSERT_EQ(holder.Open(path_, PlatformFile::Mode::kReadExclusive), 0u);
  PlatformFile file;
  const uint32_t opened = file.Open(path_, PlatformFile::Mode::kCreateReplacement);
  if (opened == 0) {
    // Windows only finds out at the rename.
    ASSERT_TRUE(file.Write("new", 3));
    EXPECT_NE(file.CommitReplacement(), 0u);
  }
  holder.Close();
  EXPECT_EQ(Contents(), "old contents");
  EXPECT_EQ(Names(), std::vector<std::string>{"out.bin"});
}

}  // namespace
