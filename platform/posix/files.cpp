// Files on POSIX systems. Errors are errno values.
//
// "Without sharing": Windows refuses a second open of a file that is open
// with share mode 0. POSIX has no such mode, so every open takes a
// non-blocking exclusive flock() on the file; a second open by this program
// (in this or another process) or by any process that also takes flock()
// locks then fails with EWOULDBLOCK. Processes that do not lock are not kept
// out: flock() locks are advisory. A shared read takes no lock; a read among
// readers takes a shared flock(), which other such reads share and an
// exclusive holder refuses.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/files.h"
#include "platform/whole_append.h"

const uint32_t PLATFORM_ERROR_NOT_A_FILE = EINVAL;
const uint32_t PLATFORM_ERROR_IN_USE = EWOULDBLOCK;

bool PlatformPathExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::string PlatformErrorText(uint32_t code) {
  char buffer[256] = {};
  // The GNU strerror_r returns its text, which need not be in the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  std::string words = text != nullptr ? text : "";
  if (words.empty() || words.rfind("Unknown error", 0) == 0) return {};
  if (words[0] >= 'A' && words[0] <= 'Z' && !(words.size() > 1 && words[1] >= 'A' && words[1] <= 'Z')) {
    words[0] = static_cast<char>(words[0] - 'A' + 'a');
  }
  return words;
}

bool PlatformSameFile(const std::string& first, const std::string& second) {
  struct stat a;
  struct stat b;
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct PlatformFile::Impl {
  int fd = -1;
  bool append = false;  // opened with kAppendShared
  uint32_t lastError = 0;
  // A replacement: the path it takes the place of, its own name until then,
  // and the file at the path, held locked (-1 when there is none).
  std::string replacing;
  std::string temporary;
  int replacedFd = -1;

  bool Fail(int error) {
    lastError = static_cast<uint32_t>(error);
    return false;
  }
  bool FailFromErrno() { return Fail(errno); }
};

namespace {

// The file a link names, so that replacing through a link replaces that
// file and keeps the link, as writing through it did; else the path itself.
std::string FollowLinks(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string target(resolved);
  std::free(resolved);
  return target;
}

// A name beside `path` that no other file has yet: hidden, and unique per
// process and call.
std::string TemporaryNameBeside(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto now = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  char tail[64];
  std::snprintf(tail, sizeof tail, ".%x.%x.%llx~", static_cast<unsigned>(::getpid()),
                static_cast<unsigned>(counter.fetch_add(1)), now & 0xFFFFFFull);
  return folder + "." + base + tail;
}

// After a rename, the folder's entry reaches the disk only with the folder.
void FlushFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename itself has happened
  ::close(fd);
}

// How long an append waits for its turn before it fails.
constexpr auto APPEND_TURN_WAIT = std::chrono::seconds(5);

// An append's steps on a file opened with O_APPEND.
class PosixAppendSteps : public WholeAppendSteps {
 public:
  explicit PosixAppendSteps(int fd) : fd_(fd) {}
  uint32_t Length(uint64_t* length) override {
    struct stat info;
    if (::fstat(fd_, &info) != 0) return static_cast<uint32_t>(errno);
    *length = static_cast<uint64_t>(info.st_size);
    return 0;
  }
  uint32_t WriteAtEnd(const uint8_t* data, size_t count, size_t* written) override {
    *written = 0;
    for (;;) {
      const ssize_t put = ::write(fd_, data, count);
      if (put >= 0) {
        *written = static_cast<size_t>(put);
        return put == 0 ? EIO : 0;
      }
      if (errno != EINTR) return static_cast<uint32_t>(errno);
    }
  }
  uint32_t CutTo(uint64_t length) override {
    return ::ftruncate(fd_, static_cast<off_t>(length)) == 0 ? 0 : static_cast<uint32_t>(errno);
  }

 private:
  int fd_;
};

// The appenders' turn: an exclusive flock() on the file, which every append
// of this program takes and the open of a holder without sharing holds.
int TakeAppendTurn(int fd) {
  const auto until = std::chrono::steady_clock::now() + APPEND_TURN_WAIT;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (std::chrono::steady_clock::now() >= until) return EWOULDBLOCK;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

PlatformFile::PlatformFile() : impl_(std::make_unique<Impl>()) {}

PlatformFile::~PlatformFile() { Close(); }

// The file at the path is checked and locked as a create would lock it
// (a directory, a device or a file in use is refused before anything is
// made); the new file is then created beside it.
uint32_t PlatformFile::OpenReplacement(const std::string& path) {
  const std::string target = FollowLinks(path);
  struct stat info;
  int error = 0;
  int replacedFd = -1;
  if (::stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      error = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
      error = static_cast<int>(PLATFORM_ERROR_NOT_A_FILE);
    } else {
      replacedFd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
      if (replacedFd < 0 || ::flock(replacedFd, LOCK_EX | LOCK_NB) != 0) error = errno;
    }
  } else if (errno != ENOENT) {
    error = errno;
  }
  std::string temporary;
  int fd = -1;
  while (error == 0 && fd < 0) {
    temporary = TemporaryNameBeside(target);
    fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) error = errno;
  }
  if (error != 0) {
    if (replacedFd >= 0) ::close(replacedFd);
    impl_->Fail(error);
    return impl_->lastError;
  }
  // The new file keeps the permissions of the one it replaces.
  if (replacedFd >= 0) ::fchmod(fd, info.st_mode & 07777);
  impl_->fd = fd;
  impl_->replacing = target;
  impl_->temporary = temporary;
  impl_->replacedFd = replacedFd;
  impl_->lastError = 0;
  return 0;
}

uint32_t PlatformFile::CommitReplacement() {
  if (impl_->fd < 0 || impl_->temporary.empty()) {
    impl_->Fail(EBADF);
    return impl_->lastError;
  }
  int error = 0;
  if (::fsync(impl_->fd) != 0) error = errno;
  if (::close(impl_->fd) != 0 && error == 0) error = errno;
  impl_->fd = -1;
  if (error == 0 && ::rename(impl_->temporary.c_str(), impl_->replacing.c_str()) != 0) {
    error = errno;
  }
  if (error == 0) {
    FlushFolderOf(impl_->replacing);
    impl_->temporary.clear();
  }
  Close();  // removes the new file after a failure, and releases the old one
  if (error != 0) impl_->Fail(error);
  return static_cast<uint32_t>(error);
}

uint32_t PlatformFile::Open(const std::string& path, Mode mode) {
  Close();
  if (mode == Mode::kCreateReplacement) return OpenReplacement(path);
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer. It changes
  // nothing for a regular file, the only kind that is kept.
  int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  switch (mode) {
    case Mode::kReadExclusive:
    case Mode::kReadShared:
    case Mode::kReadAmongReaders:
      flags |= O_RDONLY;
      break;
    case Mode::kCreateReadWrite:
      // Truncated only once the lock is held, so that a file another holder
      // has open is never emptied under it.
      flags |= O_RDWR | O_CREAT;
      break;
    case Mode::kOpenReadWrite:
      flags |= O_RDWR;
      break;
    case Mode::kOpenAlwaysReadWrite:
    case Mode::kCreateReplacement:  // opened above
      flags |= O_RDWR | O_CREAT;
      break;
    case Mode::kAppendShared:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
  }
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    impl_->FailFromErrno();
    return impl_->lastError;
  }
  int error = 0;
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;  // a directory opens for reading on Linux; it is no file
  } else if (!S_ISREG(info.st_mode)) {
    // A device or a FIFO has no length and no stable contents: /dev/zero
    // would read as an empty image, /dev/null would swallow a DfuSe file.
    error = static_cast<int>(PLATFORM_ERROR_NOT_A_FILE);
  } else if (mode == Mode::kReadAmongReaders) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) error = errno;
  } else if (mode != Mode::kReadShared && mode != Mode::kAppendShared &&
             ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno;
  } else if (mode == Mode::kCreateReadWrite && ::ftruncate(fd, 0) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::close(fd);
    impl_->Fail(error);
    return impl_->lastError;
  }
  impl_->fd = fd;
  impl_->append = mode == Mode::kAppendShared;
  impl_->lastError = 0;
  return 0;
}

bool PlatformFile::IsOpen() const { return impl_->fd >= 0; }

void PlatformFile::Close() {
  if (impl_->fd >= 0) {
    ::close(impl_->fd);  // releases the lock too
    impl_->fd = -1;
  }
  impl_->append = false;
  if (!impl_->temporary.empty()) {
    ::unlink(impl_->temporary.c_str());
    impl_->temporary.clear();
  }
  if (impl_->replacedFd >= 0) {
    ::close(impl_->replacedFd);
    impl_->replacedFd = -1;
  }
  impl_->replacing.clear();
}

// Loops over partial reads so that a short count means the end of the file.
bool PlatformFile::Read(void* buffer, size_t count, size_t* bytesRead) {
  size_t done = 0;
  if (bytesRead != nullptr) *bytesRead = 0;
  if (impl_->fd < 0) return impl_->Fail(EBADF);
  auto* out = static_cast<uint8_t*>(buffer);
  while (done < count) {
    ssize_t got = ::read(impl_->fd, out + done, count - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return impl_->FailFromErrno();
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  if (bytesRead != nullptr) *bytesRead = done;
  return true;
}

bool PlatformFile::Write(const void* buffer, size_t count) {
  if (impl_->fd < 0) return impl_->Fail(EBADF);
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t put = ::write(impl_->fd, in + done, count - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return impl_->FailFromErrno();
    }
    if (put == 0) return impl_->Fail(EIO);
    done += static_cast<size_t>(put);
  }
  return true;
}

bool PlatformFile::Seek(int64_t offset, Origin origin, uint64_t* newPosition) {
  if (impl_->fd < 0) return impl_->Fail(EBADF);
  int whence = origin == Origin::kBegin ? SEEK_SET : origin == Origin::kCurrent ? SEEK_CUR : SEEK_END;
  off_t position = ::lseek(impl_->fd, static_cast<off_t>(offset), whence);
  if (position < 0) return impl_->FailFromErrno();
  if (newPosition != nullptr) *newPosition = static_cast<uint64_t>(position);
  return true;
}

bool PlatformFile::SetLength(uint64_t length) {
  if (impl_->fd < 0) return impl_->Fail(EBADF);
  if (length > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    return impl_->Fail(EFBIG);
  }
  if (::ftruncate(impl_->fd, static_cast<off_t>(length)) != 0) return impl_->FailFromErrno();
  return true;
}

bool PlatformFile::Flush() {
  if (impl_->fd < 0) return impl_->Fail(EBADF);
  if (::fsync(impl_->fd) != 0) return impl_->FailFromErrno();
  return true;
}

uint32_t PlatformFile::LastError() const { return impl_->lastError; }

bool PlatformFile::AppendWhole(const void* buffer, size_t count) {
  if (impl_->fd < 0 || !impl_->append) return impl_->Fail(EBADF);
  if (const int error = TakeAppendTurn(impl_->fd); error != 0) return impl_->Fail(error);
  PosixAppendSteps steps(impl_->fd);
  const uint32_t error = ::AppendWhole(&steps, buffer, count);
  ::flock(impl_->fd, LOCK_UN);
  if (error != 0) return impl_->Fail(static_cast<int>(error));
  return true;
}
