// The clock the engine's waits and busy times are measured on. It is the
// steady clock; a fuzzer or a test may put a virtual clock in its place,
// which stands still until a wait moves it on, so that a device announcing
// hours of poll time-out costs nothing to follow.
#ifndef ZUVA_OPERATIONS_ENGINE_CLOCK_H_
#define ZUVA_OPERATIONS_ENGINE_CLOCK_H_

#include <atomic>
#include <chrono>
#include <cstdint>

using EngineClock = std::chrono::steady_clock;

// A clock that moves only when the engine waits: every timed wait that no
// event ends adds its whole time-out at once.
class CVirtualEngineClock {
 public:
  EngineClock::time_point Now() const { return start + std::chrono::milliseconds(elapsedMs.load()); }
  void Advance(uint32_t milliseconds) { elapsedMs += milliseconds; }
  // Milliseconds of waiting since the clock was made.
  uint64_t ElapsedMs() const { return elapsedMs.load(); }

 private:
  const EngineClock::time_point start = EngineClock::now();
  std::atomic<uint64_t> elapsedMs{0};
};

// The engine's time now.
EngineClock::time_point EngineNow();
// Sleeps (or moves the virtual clock on) for `milliseconds`.
void EngineSleep(uint32_t milliseconds);
// The virtual clock in use, or null for the steady clock.
CVirtualEngineClock* VirtualEngineClock();
// Puts a virtual clock in place of the steady clock (null restores it). Set
// while no operation runs; the clock must outlive its use.
void SetVirtualEngineClock(CVirtualEngineClock* clock);

#endif  // ZUVA_OPERATIONS_ENGINE_CLOCK_H_
