// Starting threads without exceptions. A thread the system refuses (a process
// or thread limit reached, too little address space for its stack) is a
// failure its caller reports as its own status, never an abort.
#ifndef ZUVA_PLATFORM_THREAD_START_H_
#define ZUVA_PLATFORM_THREAD_START_H_

#include <functional>
#include <thread>

// Starts `body` on a new thread held by *thread. False, with *thread left
// without a thread, when it cannot be started.
bool PlatformStartThread(std::thread* thread, std::function<void()> body);

// While set, every start fails as the system would refuse it; lets tests show
// what each caller does without a thread.
void PlatformSetThreadStartsFail(bool fail);

#endif  // ZUVA_PLATFORM_THREAD_START_H_
