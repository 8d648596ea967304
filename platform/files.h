// Files by path: whether one exists, whether two paths name one file, and an
// open file that reports the operating system's error numbers.
#ifndef ZUVA_PLATFORM_FILES_H_
#define ZUVA_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// True for an existing file or directory.
bool PlatformPathExists(const std::string& path);

// The system's words for one of its error numbers (errno on Linux,
// GetLastError on Windows), starting in lower case, without a final full
// stop; empty when the system has none.
std::string PlatformErrorText(uint32_t code);

// True when both paths exist and name one file, however they reach it (a
// symbolic or hard link, another spelling of the path): the identities are
// compared, not the names (Linux: device and inode; Windows: volume serial
// number and file index).
bool PlatformSameFile(const std::string& first, const std::string& second);

// An open file. Errors are the operating system's error numbers (errno on
// Linux, GetLastError on Windows); 0xFFFFFFFF for a failure found before the
// operating system was asked.
//
// Only regular files open: a directory, a device (/dev/zero, NUL, CON), a
// FIFO or a socket is refused with PLATFORM_ERROR_NOT_A_FILE (a directory
// keeps its own number: EISDIR, ERROR_ACCESS_DENIED), and an open never
// waits for a FIFO's other end.
extern const uint32_t PLATFORM_ERROR_NOT_A_FILE;  // EINVAL, ERROR_INVALID_PARAMETER
// Another holder has the file open without sharing.
extern const uint32_t PLATFORM_ERROR_IN_USE;  // EWOULDBLOCK, ERROR_SHARING_VIOLATION

class PlatformFile {
 public:
  enum class Mode {
    kReadExclusive,     // existing file, read only, no sharing with others
    kCreateReadWrite,   // created or truncated, read and write, no sharing
    kOpenReadWrite,     // existing file, read and write, no sharing
    kReadShared,        // existing file, read only, shared with other readers
    kReadAmongReaders,  // existing file, read only, shared with readers only: a
                        // holder without sharing keeps it out, and it keeps
                        // such a holder out
    kOpenAlwaysReadWrite,  // existing or created, kept as it is, read and write; no
                           // other writer (readers that take no lock may look)
    kCreateReplacement,    // a new, empty file beside the path, read and write,
                           // that takes the path's place at CommitReplacement();
                           // see there
    kAppendShared,  // existing or created, written only at its end, each write
                    // whole at the end even while other holders append too;
                    // shared with readers and other appenders
  };
  enum class Origin { kBegin, kCurrent, kEnd };

  PlatformFile();
  ~PlatformFile();  // closes
  PlatformFile(const PlatformFile&) = delete;
  PlatformFile& operator=(const PlatformFile&) = delete;

  // 0 on success, else the error number.
  uint32_t Open(const std::string& path, Mode mode);
  bool IsOpen() const;
  void Close();

  // Each returns false on failure and keeps the error number in LastError().
  bool Read(void* buffer, size_t count, size_t* bytesRead);
  bool Write(const void* buffer, size_t count);
  bool Seek(int64_t offset, Origin origin, uint64_t* newPosition);
  bool SetLength(uint64_t length);
  bool Flush();
  uint32_t LastError() const;

  // For a file opened with kAppendShared: all of the bytes at the end of the
  // file, or none of them. A write that the disk takes only in part (a full
  // disk, a file size limit) is cut off again (see platform/whole_append.h).
  // The appends of every holder that appends this way, in this process or
  // another, take turns, so that a cut never reaches another's bytes; a
  // turn waited for in vain for a few seconds (a holder that keeps the file
  // locked) fails the append. False with the error number in LastError().
  bool AppendWhole(const void* buffer, size_t count);

  // A file opened with kCreateReplacement is written beside its path (in
  // the same folder, under a name of its own) so that the file at the path
  // changes in one step or not at all: a full disk, a failed write or an
  // interrupted run leaves the old file whole, never a partial one that
  // looks complete. The open fails as a create would when the path is a
  // directory or no regular file, when the file there cannot be written, or
  // when another holder has it open without sharing (it is then held so
  // from the open to the commit where the system allows).
  //
  // CommitReplacement flushes the new file to the disk, closes it and
  // renames it over the path, replacing what was there (a link is followed
  // on POSIX: the file it names is replaced). 0, or the error number; on a
  // failure the new file is removed and the path keeps what it held.
  // Close() (or the destructor) without a commit removes the new file.
  uint32_t CommitReplacement();

 private:
  uint32_t OpenReplacement(const std::string& path);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // ZUVA_PLATFORM_FILES_H_
