// A stand-in of the timer entry points, reached through their table: what the
// process asks of the system's timer, and how the short waits measure their
// time.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/timed_condition.h"
#include "platform/win32/timer_api.h"

namespace {

struct CFakeTimer {
  std::vector<std::string> calls;
  UINT beginResult = TIMERR_NOERROR;
  PROCESS_INFORMATION_CLASS throttlingClass = ProcessMemoryPriority;
  PROCESS_POWER_THROTTLING_STATE throttling{};
  DWORD throttlingSize = 0;
  // The performance counter: 1 MHz, moved by the sleeps.
  LONGLONG counter = 5000000;
  std::vector<DWORD> sleeps;
  LONGLONG sleepMovesTicks = -1;  // -1: a sleep moves the counter by its time-out
  bool sleepNotified = false;
};

CFakeTimer* fake = nullptr;

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &system;
    saved = ActiveTimerApi();
    TimerApi& api = ActiveTimerApi();
    api.beginPeriod = [](UINT ms) -> UINT {
      fake->calls.push_back("begin " + std::to_string(ms));
      return fake->beginResult;
    };
    api.endPeriod = [](UINT ms) -> UINT {
      fake->calls.push_back("end " + std::to_string(ms));
      return TIMERR_NOERROR;
    };
    api.setProcessInformation = [](HANDLE process, PROCESS_INFORMATION_CLASS informationClass, LPVOID information,
                                   DWORD size) -> BOOL {
      fake->calls.push_back(process == GetCurrentProcess() ? "throttling" : "throttling of another process");
      fake->throttlingClass = informationClass;
      fake->throttlingSize = size;
      if (size == sizeof(PROCESS_POWER_THROTTLING_STATE)) {
        fake->throttling = *static_cast<PROCESS_POWER_THROTTLING_STATE*>(information);
      }
      return FALSE;  // as a system that does not know the class
    };
    api.queryPerformanceFrequency = [](LARGE_INTEGER* frequency) -> BOOL {
      frequency->QuadPart = 1000000;
      return TRUE;
    };
    api.queryPerformanceCounter = [](LARGE_INTEGER* counter) -> BOOL {
      counter->QuadPart = fake->counter;
      return TRUE;
    };
    api.sleepConditionVariable = [](PCONDITION_VARIABLE, PSRWLOCK, DWORD ms, ULONG) -> BOOL {
      fake->sleeps.push_back(ms);
      fake->counter += fake->sleepMovesTicks >= 0 ? fake->sleepMovesTicks : static_cast<LONGLONG>(ms) * 1000;
      if (fake->sleepNotified) return TRUE;
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    };
  }
  void TearDown() override {
    ActiveTimerApi() = saved;
    fake = nullptr;
  }

  CFakeTimer system;
  TimerApi saved{};
};

TEST_F(TimerTest, AScopeAsksForOneMillisecondWithoutThrottlingAndGivesItBack) {
  {
    FineTimerScope scope;
    EXPECT_EQ(FineTimerScope::Held(), 1u);
    EXPECT_EQ(system.calls, (std::vector<std::string>{"throttling", "begin 1"}));
    EXPECT_EQ(system.throttlingClass, ProcessPowerThrottling);
    EXPECT_EQ(system.throttlingSize, sizeof(PROCESS_POWER_THROTTLING_STATE));
    EXPECT_EQ(system.throttling.Version, static_cast<ULONG>(PROCESS_POWER_THROTTLING_CURRENT_VERSION));
    // Control bit set, state bit clear: the resolution is always honoured.
    EXPECT_EQ(system.throttling.ControlMask, static_cast<ULONG>(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION));
    EXPECT_EQ(system.throttling.StateMask, 0u);
  }
  EXPECT_EQ(FineTimerScope::Held(), 0u);
  EXPECT_EQ(system.calls, (std::vector<std::string>{"throttling", "begin 1", "end 1"}));
}

// A refused request is not given back (the system would count one end too
// many); a system without the calls is left alone.
TEST_F(TimerTest, OnlyAGrantedRequestIsGivenBack) {
  system.beginResult = TIMERR_NOCANDO;
  { FineTimerScope scope; }
  EXPECT_EQ(system.calls, (std::vector<std::string>{"throttling", "begin 1"}));

  system.calls.clear();
  ActiveTimerApi().beginPeriod = nullptr;
  ActiveTimerApi().endPeriod = nullptr;
  ActiveTimerApi().setProcessInformation = nullptr;
  {
    FineTimerScope scope;
    EXPECT_EQ(FineTimerScope::Held(), 1u);
  }
  EXPECT_TRUE(system.calls.empty());
  EXPECT_EQ(FineTimerScope::Held(), 0u);
}

TEST(WaitMilliseconds, RoundsUpSoThatNoWaitEndsEarly) {
  struct Case {
    LONGLONG ticks;
    LONGLONG frequency;
    DWORD ms;
  };
  const Case cases[] = {
      {0, 1000000, 1},          {-5, 1000000, 1},          {1, 1000000, 1},
      {1000, 1000000, 1},       {1001, 1000000, 2},        {2300, 1000000, 3},
      {10000000, 10000000, 1000}, {10000001, 10000000, 1001}, {3, 3, 1000},
      {LONGLONG{1} << 62, 1000000, INFINITE - 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WaitMillisecondsFor(c.ticks, c.frequency), c.ms) << c.ticks << " at " << c.frequency;
  }
}

// The wait sleeps for the time the performance counter says remains, again
// after a time-out that came before it: the calendar clock plays no part.
TEST_F(TimerTest, AShortWaitSleepsUntilThePerformanceCounterReachesItsDeadline) {
  TimedCondition condition;
  system.sleepMovesTicks = 600;  // each sleep ends 0.6 ms after it began
  {
    std::lock_guard<TimedCondition> guard(condition);
    EXPECT_FALSE(condition.WaitUntil(std::chrono::steady_clock::now() + std::chrono::microseconds(2800)));
  }
  // About 2.8 ms in 0.6 ms steps: five sleeps, each for what remained.
  ASSERT_GE(system.sleeps.size(), 4u);
  EXPECT_LE(system.sleeps.size(), 5u);
  EXPECT_EQ(system.sleeps.front(), 3u);
  EXPECT_EQ(system.sleeps.back(), 1u);
  EXPECT_GE(system.counter - 5000000, 2000);

  system.sleeps.clear();
  system.sleepMovesTicks = 100;
  system.sleepNotified = true;
  {
    std::lock_guard<TimedCondition> guard(condition);
    EXPECT_TRUE(condition.WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(5)));
  }
  EXPECT_EQ(system.sleeps.size(), 1u);

  // A deadline already past sleeps not at all.
  system.sleeps.clear();
  {
    std::lock_guard<TimedCondition> guard(condition);
    EXPECT_FALSE(condition.WaitUntil(std::chrono::steady_clock::now() - std::chrono::milliseconds(1)));
  }
  EXPECT_TRUE(system.sleeps.empty());
}

}  // namespace
