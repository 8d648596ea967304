// Thread priority and device installation on Linux.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/process.h"

namespace {

// The lowest thread priority on Windows is two steps below normal inside the
// process's own class: the worker still gets the processor whenever the
// console thread waits. Nice 19 would instead put it behind every busy
// process of the machine, and a device kept waiting between requests makes
// the whole upgrade slower. A small step keeps the Windows meaning.
constexpr int PLATFORM_WORKER_NICE_STEP = 2;

}  // namespace

void PlatformLowerThreadPriority() {
  // On Linux the nice value belongs to the thread (addressed by its id), and
  // raising it needs no privilege. A refusal leaves the thread as it was.
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, tid);
  if (current == -1 && errno != 0) return;
  (void)setpriority(PRIO_PROCESS, tid, std::min(current + PLATFORM_WORKER_NICE_STEP, 19));
}

void PlatformWakeThreadOnTime() {
  // 0 would mean the default again: 1 ns is the least slack there is. A
  // refusal leaves the default.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// Linux installs no drivers for a DFU device; there is nothing to wait for.
bool PlatformWaitNoPendingInstallations(const std::function<bool()>& /*stopRequested*/) { return true; }

// Linux has no timer resolution to ask for: a thread's timed waits end within
// its timer slack.
bool PlatformRaiseTimerResolution() { return false; }
void PlatformRestoreTimerResolution() {}

bool PlatformTimerResolution(uint32_t* currentUs, uint32_t* finestUs) {
  timespec resolution{};
  if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) return false;
  const auto us = static_cast<uint32_t>(resolution.tv_sec * 1000000 + (resolution.tv_nsec + 999) / 1000);
  *currentUs = us;
  *finestUs = us;
  return true;
}

// The dynamic loader takes no library from the program's folder unless the
// program's run path names it: nothing to restrict.
void PlatformRestrictLibrarySearch() {}

std::string PlatformSystemDescription() {
  utsname name{};
  if (uname(&name) != 0) return "unknown";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}
