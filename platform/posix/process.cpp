// Thread priority and device installation on Linux.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/platform.h"

void PlatformLowerThreadPriority() {
  // On Linux the nice value belongs to the thread (addressed by its id), and
  // raising it needs no privilege. A refusal leaves the thread as it was.
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  (void)setpriority(PRIO_PROCESS, tid, 19);
}

// Linux installs no drivers for a DFU device; there is nothing to wait for.
void PlatformWaitNoPendingInstallations() {}
