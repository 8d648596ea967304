// The running process's threads and the system around it: a worker's
// priority, the timer resolution and the wait for device installations.
#ifndef ZUVA_PLATFORM_PROCESS_H_
#define ZUVA_PLATFORM_PROCESS_H_

#include <cstdint>
#include <functional>
#include <string>

// The operating system and its version in a line, e.g. "Windows 10.0 build
// 19045 (x64)" or "Linux 6.1.0 x86_64".
std::string PlatformSystemDescription();

// Keeps the libraries the process loads at run time to the system's own
// folder: a library planted beside the program or in the current folder is
// never loaded in its place. Called once by the program before anything else.
void PlatformRestrictLibrarySearch();

// Lowers the calling thread a little below its process (Windows:
// THREAD_PRIORITY_LOWEST, two steps below normal; Linux: nice +2).
void PlatformLowerThreadPriority();

// Lets the calling thread's timed waits end when they are due. Linux delays
// the wake-up of a normal thread's timed wait by up to its timer slack
// (50 µs), for every one of the worker's thousand or so waits for a device's
// poll time-out; the thread's slack becomes the least there is. On Windows a
// wait ends on the timer interrupt, whose period is a setting of the process
// (FineTimerScope below), not of a thread: this call does nothing there.
void PlatformWakeThreadOnTime();

// Asks for the finest timer resolution the process needs for its short waits
// (Windows: 1 ms instead of the 15.625 ms a process that never asks gets
// since Windows 10 2004, kept in force on Windows 11 while the window is
// hidden). True when the request took effect: then it is released by one
// PlatformRestoreTimerResolution. Linux has nothing to raise: false.
bool PlatformRaiseTimerResolution();
void PlatformRestoreTimerResolution();

// The timer resolution in force for the whole system, and the finest there
// is, in microseconds; false when the platform cannot tell.
bool PlatformTimerResolution(uint32_t* currentUs, uint32_t* finestUs);

// Holds the raised timer resolution for as long as it lives: an operation's
// worker keeps one for its whole run, so every way out (done, failed,
// stopped) releases it.
class FineTimerScope {
 public:
  FineTimerScope();
  ~FineTimerScope();
  FineTimerScope(const FineTimerScope&) = delete;
  FineTimerScope& operator=(const FineTimerScope&) = delete;
  // How many scopes live in the process now.
  static uint32_t Held();

 private:
  bool raised_;
};

// The longest single wait for pending device installations: a stop request
// is looked at between two of them.
constexpr uint32_t PLATFORM_INSTALL_WAIT_SLICE_MS = 100;

// Blocks until no device installation is pending, in waits of at most
// PLATFORM_INSTALL_WAIT_SLICE_MS, asking `stopRequested` between two of them
// (an installation, such as the one of the device a firmware brings up, can
// take tens of seconds). True when nothing is pending any more: the system's
// wait said so, or the platform installs no drivers (Linux). False when
// `stopRequested` said yes, and at once when the system lacks the call or its
// wait failed: the caller goes on without the wait.
bool PlatformWaitNoPendingInstallations(const std::function<bool()>& stopRequested);

#endif  // ZUVA_PLATFORM_PROCESS_H_
