// An auto-reset event that a worker can wait for together with others, with a
// time-out: the standard library's stand-in for a kernel event object and a
// wait on several of them.
#ifndef ZUVA_OPERATIONS_AUTO_RESET_EVENT_H_
#define ZUVA_OPERATIONS_AUTO_RESET_EVENT_H_

#include <cstddef>
#include <cstdint>

class CAutoResetEvent {
 public:
  CAutoResetEvent() = default;  // created non-signalled
  CAutoResetEvent(const CAutoResetEvent&) = delete;
  CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

  // Signals the event; it stays signalled until one wait consumes it.
  void Set();
  void Reset();

  // Waits until one of the events is signalled, or timeoutMs passes. The
  // first signalled event in list order is consumed and its index returned;
  // a time-out returns -1. A time-out of 0 only tests the events.
  static int WaitAny(CAutoResetEvent* const* events, size_t count, uint32_t timeoutMs);

  // Told the time-out of every wait that sleeps (a time-out above 0 with no
  // event signalled yet), on the waiting thread; null: nobody. For
  // benchmarks that count an operation's short waits; set while no
  // operation runs.
  using SleepObserver = void (*)(uint32_t timeoutMs);
  static void ObserveSleeps(SleepObserver observer);

 private:
  bool signalled = false;  // guarded by the events' shared lock
};

#endif  // ZUVA_OPERATIONS_AUTO_RESET_EVENT_H_
