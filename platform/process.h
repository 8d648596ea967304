// The running process's threads and the system around it: a worker's
// priority and the wait for device installations.
#ifndef ZUVA_PLATFORM_PROCESS_H_
#define ZUVA_PLATFORM_PROCESS_H_

// Lowers the calling thread a little below its process (Windows:
// THREAD_PRIORITY_LOWEST, two steps below normal; Linux: nice +2).
void PlatformLowerThreadPriority();

// Blocks until no device installation is pending. Returns at once where the
// platform has no such notion or the call is missing.
void PlatformWaitNoPendingInstallations();

#endif  // ZUVA_PLATFORM_PROCESS_H_
