// The running process's threads and the system around it: a worker's
// priority and the wait for device installations.
#ifndef ZUVA_PLATFORM_PROCESS_H_
#define ZUVA_PLATFORM_PROCESS_H_

// Lowers the calling thread a little below its process (Windows:
// THREAD_PRIORITY_LOWEST, two steps below normal; Linux: nice +2).
void PlatformLowerThreadPriority();

// Blocks until no device installation is pending. True when nothing is
// pending any more: the system's wait said so, or the platform installs no
// drivers (Linux). False, at once, when the system lacks the call, or when its
// wait failed: the caller goes on without the wait.
bool PlatformWaitNoPendingInstallations();

#endif  // ZUVA_PLATFORM_PROCESS_H_
