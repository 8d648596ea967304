// A signal one thread sets to wake another, and the wait of a thread that
// also serves its window messages and device-change events.
#ifndef ZUVA_PLATFORM_WAKE_SIGNAL_H_
#define ZUVA_PLATFORM_WAKE_SIGNAL_H_

#include <cstdint>
#include <memory>

// An auto-reset signal that one thread sets and another waits for.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;
  void Set();
  // Waits until the signal is set (and resets it) or the time-out passes.
  bool Wait(uint32_t timeoutMs);

 private:
  // The wait below sleeps on the signal's own event or condition variable,
  // which only the platform's implementation knows.
  friend void WaitForSignalOrThreadMessages(WakeSignal* signal, uint32_t timeoutMs);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Blocks the calling thread until the signal is set, a window message or a
// device-change event is queued for the thread, or the time-out passes. A
// null signal waits for the thread's messages and events alone.
void WaitForSignalOrThreadMessages(WakeSignal* signal, uint32_t timeoutMs);

#endif  // ZUVA_PLATFORM_WAKE_SIGNAL_H_
