// The Win32 entry points behind the process's timer resolution and the
// worker's short waits, gathered in one table so that a test can stand in for
// them inside its own process. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_TIMER_API_H_
#define ZUVA_PLATFORM_WIN32_TIMER_API_H_

#include <windows.h>
#include <mmsystem.h>

struct TimerApi {
  // winmm.dll; null when the library is missing.
  UINT(WINAPI* beginPeriod)(UINT periodMs);
  UINT(WINAPI* endPeriod)(UINT periodMs);
  // kernel32.dll from Windows 8 on; null before.
  BOOL(WINAPI* setProcessInformation)(HANDLE process, PROCESS_INFORMATION_CLASS informationClass,
                                      LPVOID information, DWORD size);
  // ntdll.dll: the coarsest, finest and current resolution in force for the
  // whole system, in 100 ns units; null when missing.
  LONG(NTAPI* queryTimerResolution)(ULONG* coarsest, ULONG* finest, ULONG* current);
  decltype(&::QueryPerformanceCounter) queryPerformanceCounter;
  decltype(&::QueryPerformanceFrequency) queryPerformanceFrequency;
  decltype(&::SleepConditionVariableSRW) sleepConditionVariable;
};

// The table in use; the operating system's entry points until replaced.
TimerApi& ActiveTimerApi();

// The operating system's own entry points.
TimerApi SystemTimerApi();

// The whole milliseconds a relative wait must ask for so that it does not end
// before `remainingTicks` of a counter running at `ticksPerSecond` have
// passed: rounded up, at least 1, at most INFINITE - 1.
DWORD WaitMillisecondsFor(LONGLONG remainingTicks, LONGLONG ticksPerSecond);

#endif  // ZUVA_PLATFORM_WIN32_TIMER_API_H_
