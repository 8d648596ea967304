// The process's timer resolution and the worker's short waits on Windows.
//
// A timed wait ends on the system's timer interrupt. Since Windows 10 2004
// the interrupt's period is a setting of each process: one that never asks
// gets 15.625 ms, so a 2 ms wait for a busy device lasts a whole tick. While
// an operation runs the process asks for 1 ms (timeBeginPeriod), and on
// Windows 11 also keeps that request in force when its window is hidden or
// minimised (SetProcessInformation with the power throttling state). The
// waits themselves are relative time-outs measured with the performance
// counter, never a deadline compared with the calendar clock, which moves in
// whole ticks whatever resolution is in force.
#include <windows.h>

#include <chrono>

#include "platform/process.h"
#include "platform/timed_condition.h"
#include "platform/win32/system_library.h"
#include "platform/win32/timer_api.h"

namespace {

constexpr UINT FINE_TIMER_PERIOD_MS = 1;

template <typename Function>
Function LookUp(HMODULE library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

TimerApi SystemTimerApi() {
  TimerApi api{};
  HMODULE winmm = LoadSystemLibrary("winmm.dll");
  api.beginPeriod = LookUp<decltype(api.beginPeriod)>(winmm, "timeBeginPeriod");
  api.endPeriod = LookUp<decltype(api.endPeriod)>(winmm, "timeEndPeriod");
  if (api.beginPeriod == nullptr || api.endPeriod == nullptr) api.beginPeriod = api.endPeriod = nullptr;
  api.setProcessInformation =
      LookUp<decltype(api.setProcessInformation)>(GetModuleHandleA("kernel32.dll"), "SetProcessInformation");
  api.queryTimerResolution =
      LookUp<decltype(api.queryTimerResolution)>(GetModuleHandleA("ntdll.dll"), "NtQueryTimerResolution");
  api.queryPerformanceCounter = &::QueryPerformanceCounter;
  api.queryPerformanceFrequency = &::QueryPerformanceFrequency;
  api.sleepConditionVariable = &::SleepConditionVariableSRW;
  return api;
}

TimerApi& ActiveTimerApi() {
  static TimerApi api = SystemTimerApi();
  return api;
}

DWORD WaitMillisecondsFor(LONGLONG remainingTicks, LONGLONG ticksPerSecond) {
  if (remainingTicks <= 0 || ticksPerSecond <= 0) return 1;
  // Whole seconds first: the product below stays far from overflowing.
  const LONGLONG seconds = remainingTicks / ticksPerSecond;
  const LONGLONG rest = remainingTicks % ticksPerSecond;
  const LONGLONG restMs = (rest * 1000 + ticksPerSecond - 1) / ticksPerSecond;
  const LONGLONG limit = static_cast<LONGLONG>(INFINITE) - 1;
  if (seconds >= limit / 1000) return static_cast<DWORD>(limit);
  const LONGLONG total = seconds * 1000 + restMs;
  if (total < 1) return 1;
  return static_cast<DWORD>(total < limit ? total : limit);
}

bool PlatformRaiseTimerResolution() {
  TimerApi& api = ActiveTimerApi();
  if (api.setProcessInformation != nullptr) {
    // The control bit with a clear state bit: the timer resolution asked for
    // is always honoured. Older systems refuse the class; nothing changes.
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;
    (void)api.setProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof(state));
  }
  return api.beginPeriod != nullptr && api.beginPeriod(FINE_TIMER_PERIOD_MS) == TIMERR_NOERROR;
}

void PlatformRestoreTimerResolution() {
  TimerApi& api = ActiveTimerApi();
  if (api.endPeriod != nullptr) (void)api.endPeriod(FINE_TIMER_PERIOD_MS);
}

bool PlatformTimerResolution(uint32_t* currentUs, uint32_t* finestUs) {
  TimerApi& api = ActiveTimerApi();
  ULONG coarsest = 0, finest = 0, current = 0;
  if (api.queryTimerResolution == nullptr || api.queryTimerResolution(&coarsest, &finest, &current) < 0) {
    return false;
  }
  *currentUs = static_cast<uint32_t>(current / 10);
  *finestUs = static_cast<uint32_t>(finest / 10);
  return true;
}

struct TimedCondition::Impl {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

TimedCondition::TimedCondition() : impl_(std::make_unique<Impl>()) {}
TimedCondition::~TimedCondition() = default;

void TimedCondition::lock() { AcquireSRWLockExclusive(&impl_->lock); }
void TimedCondition::unlock() { ReleaseSRWLockExclusive(&impl_->lock); }
void TimedCondition::NotifyAll() { WakeAllConditionVariable(&impl_->changed); }

bool TimedCondition::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  TimerApi& api = ActiveTimerApi();
  const auto remaining = deadline - std::chrono::steady_clock::now();
  if (remaining <= std::chrono::steady_clock::duration::zero()) return false;
  LARGE_INTEGER frequency{}, start{};
  api.queryPerformanceFrequency(&frequency);
  api.queryPerformanceCounter(&start);
  // The deadline on the performance counter, from here on the only clock.
  const LONGLONG remainingUs = std::chrono::duration_cast<std::chrono::microseconds>(remaining).count();
  const LONGLONG end = start.QuadPart + (remainingUs / 1000000) * frequency.QuadPart +
                       (remainingUs % 1000000) * frequency.QuadPart / 1000000;
  for (;;) {
    LARGE_INTEGER now{};
    api.queryPerformanceCounter(&now);
    if (now.QuadPart >= end) return false;
    const DWORD waitMs = WaitMillisecondsFor(end - now.QuadPart, frequency.QuadPart);
    if (api.sleepConditionVariable(&impl_->changed, &impl_->lock, waitMs, 0)) return true;
    // A time-out: over unless the counter says the deadline is still ahead
    // (the timer interrupt can end a wait a little before the counter
    // reaches it).
  }
}
