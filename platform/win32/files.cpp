// Files on Windows. Errors are GetLastError values. Every open uses share
// mode 0, so nobody else (this program included) can open the file while it
// is held.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <thread>

#include "platform/files.h"
#include "platform/whole_append.h"

const uint32_t PLATFORM_ERROR_NOT_A_FILE = ERROR_INVALID_PARAMETER;

const uint32_t PLATFORM_ERROR_IN_USE = ERROR_SHARING_VIOLATION;

// GetFileAttributesA rather than the shell's PathFileExistsA, which stops at
// 260 characters whatever the manifest allows.
bool PlatformPathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

// Opened without access rights and sharing everything, so that a file held
// by another program (or by this one) can still be identified.
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(handle, info) != FALSE;
  CloseHandle(handle);
  return known;
}

}  // namespace

std::string PlatformErrorText(uint32_t code) {
  char buffer[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      buffer, sizeof buffer, nullptr);
  std::string words(buffer, length);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  if (!words.empty() && words[0] >= 'A' && words[0] <= 'Z' &&
      !(words.size() > 1 && words[1] >= 'A' && words[1] <= 'Z')) {
    words[0] = static_cast<char>(words[0] - 'A' + 'a');
  }
  return words;
}

bool PlatformSameFile(const std::string& first, const std::string& second) {
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  return FileIdentity(first, &a) && FileIdentity(second, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

struct PlatformFile::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool append = false;  // opened with kAppendShared: every write goes to the end
  uint32_t lastError = 0;
  // A replacement: the path it takes the place of and its own name until then.
  std::string replacing;
  std::string temporary;

  bool Fail(DWORD error) {
    lastError = static_cast<uint32_t>(error);
    return false;
  }
  bool FailFromLastError() { return Fail(GetLastError()); }
};

namespace {

// How long an append waits for its turn before it fails.
constexpr auto APPEND_TURN_WAIT = std::chrono::seconds(5);

// One WriteFile of at most 2 GiB, at the file pointer or, for an appender,
// at the end of the file, wherever another holder has written meanwhile.
bool WriteOnce(HANDLE handle, bool atEnd, const uint8_t* data, size_t count, DWORD* put) {
  const DWORD chunk =
      static_cast<DWORD>(std::min<size_t>(count, std::numeric_limits<DWORD>::max() / 2));
  OVERLAPPED end = {};
  end.Offset = 0xFFFFFFFF;
  end.OffsetHigh = 0xFFFFFFFF;
  *put = 0;
  return WriteFile(handle, data, chunk, put, atEnd ? &end : nullptr) != FALSE;
}

// An append's steps on a file opened with kAppendShared.
class Win32AppendSteps : public WholeAppendSteps {
 public:
  explicit Win32AppendSteps(HANDLE handle) : handle_(handle) {}
  uint32_t Length(uint64_t* length) override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size)) return GetLastError();
    *length = static_cast<uint64_t>(size.QuadPart);
    return 0;
  }
  uint32_t WriteAtEnd(const uint8_t* data, size_t count, size_t* written) override {
    DWORD put = 0;
    const bool wrote = WriteOnce(handle_, true, data, count, &put);
    const DWORD error = wrote ? 0 : GetLastError();
    *written = put;
    if (wrote && put == 0) return ERROR_WRITE_FAULT;
    return error;
  }
  uint32_t CutTo(uint64_t length) override {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end) ? 0
                                                                                     : GetLastError();
  }

 private:
  HANDLE handle_;
};

// The appenders' turn: an exclusive lock of one byte far beyond any data a
// file holds, so that no read or write of the file meets it.
OVERLAPPED AppendTurnByte() {
  OVERLAPPED at = {};
  at.OffsetHigh = 0x7FFFFFFF;
  return at;
}

DWORD TakeAppendTurn(HANDLE handle) {
  const auto until = std::chrono::steady_clock::now() + APPEND_TURN_WAIT;
  for (;;) {
    OVERLAPPED at = AppendTurnByte();
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return error;
    if (std::chrono::steady_clock::now() >= until) return error;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void EndAppendTurn(HANDLE handle) {
  OVERLAPPED at = AppendTurnByte();
  UnlockFileEx(handle, 0, 1, 0, &at);
}

// A name beside `path` that no other file has yet, unique per process and
// call.
std::string TemporaryNameBeside(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  char tail[48];
  std::snprintf(tail, sizeof tail, ".%lx.%x.%lx~", static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned>(counter.fetch_add(1)),
                static_cast<unsigned long>(GetTickCount() & 0xFFFFFF));
  return path + tail;
}

}  // namespace

PlatformFile::PlatformFile() : impl_(std::make_unique<Impl>()) {}

// The file at the path must allow what a create would do to it: opening it
// for writing without sharing refuses a directory, a read-only file and a
// file that another holder has open. It is not held: MoveFileEx cannot
// replace a file that is open, this program's own handles included.
uint32_t PlatformFile::OpenReplacement(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    HANDLE old = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (old == INVALID_HANDLE_VALUE) {
      impl_->FailFromLastError();
      return impl_->lastError;
    }
    const DWORD type = GetFileType(old);
    CloseHandle(old);
    if (type != FILE_TYPE_DISK) {
      impl_->Fail(PLATFORM_ERROR_NOT_A_FILE);
      return impl_->lastError;
    }
  }
  for (;;) {
    const std::string temporary = TemporaryNameBeside(path);
    HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      impl_->handle = handle;
      impl_->replacing = path;
      impl_->temporary = temporary;
      impl_->lastError = 0;
      return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      impl_->Fail(error);
      return impl_->lastError;
    }
  }
}

uint32_t PlatformFile::CommitReplacement() {
  if (impl_->handle == INVALID_HANDLE_VALUE || impl_->temporary.empty()) {
    impl_->Fail(ERROR_INVALID_HANDLE);
    return impl_->lastError;
  }
  DWORD error = 0;
  if (!FlushFileBuffers(impl_->handle)) error = GetLastError();
  CloseHandle(impl_->handle);
  impl_->handle = INVALID_HANDLE_VALUE;
  // Write-through: the call returns once the rename is on the disk.
  if (error == 0 && !MoveFileExA(impl_->temporary.c_str(), impl_->replacing.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error == 0) impl_->temporary.clear();
  Close();  // removes the new file after a failure
  if (error != 0) impl_->Fail(error);
  return static_cast<uint32_t>(error);
}

PlatformFile::~PlatformFile() { Close(); }

uint32_t PlatformFile::Open(const std::string& path, Mode mode) {
  Close();
  if (mode == Mode::kCreateReplacement) return OpenReplacement(path);
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  DWORD share = 0;
  switch (mode) {
    case Mode::kReadExclusive:
      break;
    case Mode::kReadShared:
    case Mode::kReadAmongReaders:
      share = FILE_SHARE_READ;
      break;
    case Mode::kCreateReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case Mode::kOpenReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
    case Mode::kCreateReplacement:  // opened above
    case Mode::kOpenAlwaysReadWrite:
      // Others may look, as flock() lets them on Linux; nobody else writes.
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
      share = FILE_SHARE_READ;
      break;
    case Mode::kAppendShared:
      // Write access, so that an append the disk took only in part can be
      // cut off again; each write names the end of the file as its place.
      access = GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
      share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
  }
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory is refused
  // (ERROR_ACCESS_DENIED).
  HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    impl_->FailFromLastError();
    return impl_->lastError;
  }
  // Devices (NUL, CON, \\.\COM1) and pipes open like files; only a file on a
  // disk has a length and contents to keep.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    impl_->Fail(PLATFORM_ERROR_NOT_A_FILE);
    return impl_->lastError;
  }
  impl_->handle = handle;
  impl_->append = mode == Mode::kAppendShared;
  impl_->lastError = 0;
  return 0;
}

bool PlatformFile::IsOpen() const { return impl_->handle != INVALID_HANDLE_VALUE; }

void PlatformFile::Close() {
  if (impl_->handle != INVALID_HANDLE_VALUE) {
    CloseHandle(impl_->handle);
    impl_->handle = INVALID_HANDLE_VALUE;
  }
  impl_->append = false;
  if (!impl_->temporary.empty()) {
    DeleteFileA(impl_->temporary.c_str());
    impl_->temporary.clear();
  }
  impl_->replacing.clear();
}

// ReadFile takes 32-bit counts: large reads go in pieces, and a short count
// means the end of the file.
bool PlatformFile::Read(void* buffer, size_t count, size_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (impl_->handle == INVALID_HANDLE_VALUE) return impl_->Fail(ERROR_INVALID_HANDLE);
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const DWORD chunk = static_cast<DWORD>(
        std::min<size_t>(count - done, std::numeric_limits<DWORD>::max() / 2));
    DWORD got = 0;
    if (!ReadFile(impl_->handle, out + done, chunk, &got, nullptr)) {
      return impl_->FailFromLastError();
    }
    if (got == 0) break;
    done += got;
  }
  if (bytesRead != nullptr) *bytesRead = done;
  return true;
}

bool PlatformFile::Write(const void* buffer, size_t count) {
  if (impl_->handle == INVALID_HANDLE_VALUE) return impl_->Fail(ERROR_INVALID_HANDLE);
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    DWORD put = 0;
    if (!WriteOnce(impl_->handle, impl_->append, in + done, count - done, &put)) {
      return impl_->FailFromLastError();
    }
    if (put == 0) return impl_->Fail(ERROR_WRITE_FAULT);
    done += put;
  }
  return true;
}

bool PlatformFile::Seek(int64_t offset, Origin origin, uint64_t* newPosition) {
  if (impl_->handle == INVALID_HANDLE_VALUE) return impl_->Fail(ERROR_INVALID_HANDLE);
  const DWORD method = origin == Origin::kBegin     ? FILE_BEGIN
                       : origin == Origin::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(impl_->handle, distance, &position, method)) {
    return impl_->FailFromLastError();
  }
  if (newPosition != nullptr) *newPosition = static_cast<uint64_t>(position.QuadPart);
  return true;
}

// SetEndOfFile cuts at the file pointer; the pointer is put back afterwards
// so that, as with ftruncate, the position does not move.
bool PlatformFile::SetLength(uint64_t length) {
  if (impl_->handle == INVALID_HANDLE_VALUE) return impl_->Fail(ERROR_INVALID_HANDLE);
  if (length > static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max())) {
    return impl_->Fail(ERROR_INVALID_PARAMETER);
  }
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER saved;
  if (!SetFilePointerEx(impl_->handle, zero, &saved, FILE_CURRENT)) {
    return impl_->FailFromLastError();
  }
  LARGE_INTEGER target;
  target.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(impl_->handle, target, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(impl_->handle)) {
    DWORD error = GetLastError();
    SetFilePointerEx(impl_->handle, saved, nullptr, FILE_BEGIN);
    return impl_->Fail(error);
  }
  if (!SetFilePointerEx(impl_->handle, saved, nullptr, FILE_BEGIN)) {
    return impl_->FailFromLastError();
  }
  return true;
}

bool PlatformFile::Flush() {
  if (impl_->handle == INVALID_HANDLE_VALUE) return impl_->Fail(ERROR_INVALID_HANDLE);
  if (!FlushFileBuffers(impl_->handle)) return impl_->FailFromLastError();
  return true;
}

uint32_t PlatformFile::LastError() const { return impl_->lastError; }

bool PlatformFile::AppendWhole(const void* buffer, size_t count) {
  if (impl_->handle == INVALID_HANDLE_VALUE || !impl_->append) {
    return impl_->Fail(ERROR_INVALID_HANDLE);
  }
  if (const DWORD error = TakeAppendTurn(impl_->handle); error != 0) return impl_->Fail(error);
  Win32AppendSteps steps(impl_->handle);
  const uint32_t error = ::AppendWhole(&steps, buffer, count);
  EndAppendTurn(impl_->handle);
  if (error != 0) return impl_->Fail(error);
  return true;
}
