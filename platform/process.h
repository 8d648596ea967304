// The running process's threads and the system around it: a worker's
// priority and the wait for device installations.
#ifndef ZUVA_PLATFORM_PROCESS_H_
#define ZUVA_PLATFORM_PROCESS_H_

// Lowers the calling thread a little below its process (Windows:
// THREAD_PRIORITY_LOWEST, two steps below normal; Linux: nice +2).
void PlatformLowerThreadPriority();

// Lets the calling thread's timed waits end when they are due. Linux delays
// the wake-up of a normal thread's timed wait by up to its timer slack
// (50 µs), for every one of the worker's thousand or so waits for a device's
// poll time-out; the thread's slack becomes the least there is. On Windows a
// wait ends on the system's timer tick, a setting of the whole system that
// this call leaves alone.
void PlatformWakeThreadOnTime();

// Blocks until no device installation is pending. True when nothing is
// pending any more: the system's wait said so, or the platform installs no
// drivers (Linux). False, at once, when the system lacks the call, or when its
// wait failed: the caller goes on without the wait.
bool PlatformWaitNoPendingInstallations();

#endif  // ZUVA_PLATFORM_PROCESS_H_
