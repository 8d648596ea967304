#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/files.h"

namespace {

class PosixFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 (std::string("zuva_posix_files_") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                  std::to_string(std::random_device{}()));
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
    path_ = (directory_ / "f.bin").string();
    std::ofstream(path_, std::ios::binary) << "0123456789";
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::filesystem::path directory_;
  std::string path_;
};

// Opening without sharing: while one PlatformFile holds the file, every
// further open of it fails, whatever the modes.
TEST_F(PosixFileTest, ASecondOpenFailsWhileTheFirstIsHeld) {
  using Mode = PlatformFile::Mode;
  const Mode modes[] = {Mode::kReadExclusive, Mode::kCreateReadWrite, Mode::kOpenReadWrite};
  for (Mode held : modes) {
    for (Mode wanted : modes) {
      std::ofstream(path_, std::ios::binary) << "0123456789";
      PlatformFile first;
      ASSERT_EQ(first.Open(path_, held), 0u);
      PlatformFile second;
      EXPECT_EQ(second.Open(path_, wanted), static_cast<uint32_t>(EWOULDBLOCK));
      EXPECT_FALSE(second.IsOpen());
      // The refused create did not truncate the held file.
      if (held != Mode::kCreateReadWrite) {
        EXPECT_EQ(std::filesystem::file_size(path_), 10u);
      }
      first.Close();
      EXPECT_EQ(second.Open(path_, wanted), 0u);
    }
  }
}

TEST_F(PosixFileTest, OpenFailuresGiveErrno) {
  PlatformFile file;
  EXPECT_EQ(file.Open(directory_.string(), PlatformFile::Mode::kReadExclusive),
            static_cast<uint32_t>(EISDIR));
  EXPECT_EQ(file.Open((directory_ / "missing").string(), PlatformFile::Mode::kReadExclusive),
            static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(file.LastError(), static_cast<uint32_t>(ENOENT));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(PlatformPathExists(path_));
  EXPECT_TRUE(PlatformPathExists(directory_.string()));
  EXPECT_FALSE(PlatformPathExists((directory_ / "missing").string()));
}

// Anything but a regular file is refused in every mode, at once: a FIFO
// without a writer must not block the open, and /dev/null must not be
// truncated or taken for an empty file.
TEST_F(PosixFileTest, RefusesEverythingButARegularFileWithoutBlocking) {
  const std::string fifo = (directory_ / "fifo.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  using Mode = PlatformFile::Mode;
  for (const std::string& path : {fifo, std::string("/dev/null"), std::string("/dev/zero")}) {
    for (Mode mode : {Mode::kReadExclusive, Mode::kReadShared, Mode::kOpenReadWrite,
                      Mode::kCreateReadWrite}) {
      PlatformFile file;
      EXPECT_EQ(file.Open(path, mode), PLATFORM_ERROR_NOT_A_FILE) << path;
      EXPECT_FALSE(file.IsOpen());
    }
  }
  EXPECT_EQ(PLATFORM_ERROR_NOT_A_FILE, static_cast<uint32_t>(EINVAL));
}

// Settings files are read by every process that wants them: a shared read
// neither waits for nor keeps out an exclusive holder.
TEST_F(PosixFileTest, ASharedReadTakesNoLock) {
  PlatformFile held;
  ASSERT_EQ(held.Open(path_, PlatformFile::Mode::kOpenReadWrite), 0u);
  PlatformFile reader;
  ASSERT_EQ(reader.Open(path_, PlatformFile::Mode::kReadShared), 0u);
  char buffer[16] = {};
  size_t got = 0;
  ASSERT_TRUE(reader.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "0123456789");
  PlatformFile second;
  EXPECT_EQ(second.Open(path_, PlatformFile::Mode::kReadShared), 0u);
}

// An image read by several flashing processes at once: readers share the
// file, and a holder without sharing and they keep each other out.
TEST_F(PosixFileTest, AReadAmongReadersSharesWithReadersOnly) {
  using Mode = PlatformFile::Mode;
  {
    PlatformFile first;
    PlatformFile second;
    ASSERT_EQ(first.Open(path_, Mode::kReadAmongReaders), 0u);
    EXPECT_EQ(second.Open(path_, Mode::kReadAmongReaders), 0u);
    PlatformFile writer;
    EXPECT_EQ(writer.Open(path_, Mode::kOpenReadWrite), PLATFORM_ERROR_IN_USE);
  }
  PlatformFile writer;
  ASSERT_EQ(writer.Open(path_, Mode::kOpenReadWrite), 0u);
  PlatformFile reader;
  EXPECT_EQ(reader.Open(path_, Mode::kReadAmongReaders), PLATFORM_ERROR_IN_USE);
}

// Appenders share the file and each write lands whole at its end, wherever
// another holder's position was.
TEST_F(PosixFileTest, AppendersShareTheFileAndWriteAtItsEnd) {
  using Mode = PlatformFile::Mode;
  PlatformFile first;
  PlatformFile second;
  ASSERT_EQ(first.Open(path_, Mode::kAppendShared), 0u);
  ASSERT_EQ(second.Open(path_, Mode::kAppendShared), 0u);
  ASSERT_TRUE(first.Write("a\n", 2));
  ASSERT_TRUE(second.Write("bb\n", 3));
  ASSERT_TRUE(first.Write("c\n", 2));
  std::ifstream in(path_, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "0123456789a\nbb\nc\n");
  PlatformFile created;
  EXPECT_EQ(created.Open((directory_ / "new.log").string(), Mode::kAppendShared), 0u);
}

// A real short write: under a file size limit the system takes only the
// start of a line, as on a full disk, and the append cuts it off again, so
// that the next line does not join it.
TEST_F(PosixFileTest, AnAppendTheFileTakesInPartIsCutOff) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    const rlimit limit{14, 14};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    PlatformFile file;
    if (file.Open(path_, PlatformFile::Mode::kAppendShared) != 0) ::_exit(2);
    if (!file.AppendWhole("ab\n", 3)) ::_exit(3);  // 13 bytes: fits
    if (file.AppendWhole("cdef\n", 5)) ::_exit(4);  // one byte would fit
    ::_exit(file.LastError() == EFBIG ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(path_, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "0123456789ab\n");
}

TEST_F(PosixFileTest, ReadWriteSeekAndLength) {
  PlatformFile file;
  ASSERT_EQ(file.Open(path_, PlatformFile::Mode::kCreateReadWrite), 0u);
  uint64_t position = 99;
  ASSERT_TRUE(file.Seek(0, PlatformFile::Origin::kEnd, &position));
  EXPECT_EQ(position, 0u);  // created files start empty
  ASSERT_TRUE(file.Write("abcdef", 6));
  ASSERT_TRUE(file.Seek(-2, PlatformFile::Origin::kCurrent, &position));
  EXPECT_EQ(position, 4u);
  char buffer[8] = {};
  size_t got = 0;
  ASSERT_TRUE(file.Read(buffer, sizeof(buffer), &got));
  EXPECT_EQ(got, 2u);  // a short count at the end is no failure
  EXPECT_EQ(std::string(buffer, got), "ef");
  ASSERT_TRUE(file.SetLength(3));
  ASSERT_TRUE(file.Flush());
  ASSERT_TRUE(file.Seek(0, PlatformFile::Origin::kEnd, &position));
  EXPECT_EQ(position, 3u);
  EXPECT_FALSE(file.Seek(-4, PlatformFile::Origin::kEnd, nullptr));
  EXPECT_EQ(file.LastError(), static_cast<uint32_t>(EINVAL));

  file.Close();
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_EQ(file.LastError(), static_cast<uint32_t>(EBADF));
}

TEST_F(PosixFileTest, AFileOpenedForReadingRefusesWrites) {
  PlatformFile file;
  ASSERT_EQ(file.Open(path_, PlatformFile::Mode::kReadExclusive), 0u);
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_FALSE(file.SetLength(0));
  EXPECT_EQ(std::filesystem::file_size(path_), 10u);
}

// Replacing through a link replaces the file it names and keeps the link,
// as writing through it did; the new file keeps the old one's permissions.
TEST_F(PosixFileTest, AReplacementFollowsALinkAndKeepsThePermissions) {
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  const std::string link = (directory_ / "link.bin").string();
  std::filesystem::create_symlink(path_, link);
  PlatformFile file;
  ASSERT_EQ(file.Open(link, PlatformFile::Mode::kCreateReplacement), 0u);
  ASSERT_TRUE(file.Write("new", 3));
  ASSERT_EQ(file.CommitReplacement(), 0u);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  std::ifstream in(path_, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
  struct stat info;
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

}  // namespace

// A message names the error in words, as the system words it, so that no one
// has to look the number up.
TEST(PlatformErrorTextTest, GivesTheSystemsWordsInLowerCase) {
  EXPECT_EQ(PlatformErrorText(ENOSPC), "no space left on device");
  EXPECT_EQ(PlatformErrorText(EACCES), "permission denied");
  EXPECT_EQ(PlatformErrorText(0x7FFFFFF0u), "");
}
