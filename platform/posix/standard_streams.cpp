#include "platform/standard_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

void PlatformEnsureStandardStreams() {
  // open() takes the lowest free number, so going up from 0 fills each gap
  // with its own descriptor.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // Only the gap itself is kept; a number above it fills nothing.
    if (opened >= 0 && opened != fd) close(opened);
  }
}
