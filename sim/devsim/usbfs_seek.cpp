// Preloaded into the command that zuva-devsim runs: a usbfs node is a file
// whose position a program may set (libusb seeks to the start of a node it is
// handed before it reads the descriptors), while the emulated bus's nodes are
// pipes, which cannot seek. lseek on such a node becomes a request of the bus
// (DEVSIM_IOCTL_SEEK), which keeps the node's position for that open file;
// on any other file lseek is the C library's own.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "sim/devsim/usbfs_seek.h"

namespace {

using SeekFunction = off_t (*)(int, off_t, int);

off_t Seek(const char* name, int fd, off_t offset, int whence) {
  auto real = reinterpret_cast<SeekFunction>(dlsym(RTLD_NEXT, name));
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  const off_t position = real(fd, offset, whence);
  if (position >= 0 || errno != ESPIPE) return position;
  DevsimSeek seek{static_cast<int64_t>(offset), whence, 0};
  // A pipe that is no node of the bus refuses the request: it stays a pipe.
  if (ioctl(fd, DEVSIM_IOCTL_SEEK, &seek) != 0) {
    errno = ESPIPE;
    return -1;
  }
  return static_cast<off_t>(seek.position);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) off_t lseek(int fd, off_t offset, int whence) noexcept {
  return Seek("lseek", fd, offset, whence);
}

__attribute__((visibility("default"))) off_t lseek64(int fd, off_t offset, int whence) noexcept {
  return Seek("lseek64", fd, offset, whence);
}

}  // extern "C"
