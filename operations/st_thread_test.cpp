#include "operations/st_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/process.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A worker that counts its steps and finishes after a given number of them.
class CCountingThread : public CSTThread {
 public:
  CCountingThread(int stepsBeforeFinish, uint32_t intervalMs)
      : stepsBeforeFinish(stepsBeforeFinish), intervalMs(intervalMs) {}
  ~CCountingThread() override { Halt(); }

  bool Step() override {
    heldDuringStep = FineTimerScope::Held();
    const int done = ++steps;
    if (throwAtStep == done) throw std::runtime_error("step failed");
    return done < stepsBeforeFinish;
  }
  uint32_t StepInterval() override { return intervalMs; }
  uint32_t ExtraWaitEvents(CAutoResetEvent* events[OP_MAX_EXTRA_EVENTS]) override {
    if (extraCount > OP_MAX_EXTRA_EVENTS) return extraCount;
    for (uint32_t i = 0; i < extraCount; ++i) events[i] = &extra[i];
    return extraCount;
  }
  bool OnExtraEvent(uint32_t index) override {
    handledExtra = static_cast<int>(index);
    return keepRunningOnExtra;
  }
  void SignalStop() { stopEvent.Set(); }

  std::atomic<int> steps{0};
  std::atomic<int> handledExtra{-1};
  std::atomic<uint32_t> heldDuringStep{0};
  int throwAtStep = 0;  // non-zero: that step throws
  int stepsBeforeFinish;
  uint32_t intervalMs;
  uint32_t extraCount = 0;
  bool keepRunningOnExtra = true;
  CAutoResetEvent extra[OP_MAX_EXTRA_EVENTS];
};

void WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(10);
  while (!condition() && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
}

TEST(AutoResetEventTest, WaitTakesTheFirstSignalledEventAndConsumesIt) {
  CAutoResetEvent a, b, c;
  CAutoResetEvent* list[] = {&a, &b, &c};
  EXPECT_EQ(CAutoResetEvent::WaitAny(list, 3, 0), -1);
  c.Set();
  b.Set();
  EXPECT_EQ(CAutoResetEvent::WaitAny(list, 3, 0), 1);
  EXPECT_EQ(CAutoResetEvent::WaitAny(list, 3, 0), 2);
  EXPECT_EQ(CAutoResetEvent::WaitAny(list, 3, 0), -1);
  a.Set();
  a.Reset();
  EXPECT_EQ(CAutoResetEvent::WaitAny(list, 3, 0), -1);
}

TEST(AutoResetEventTest, SetFromAnotherThreadEndsALongWait) {
  CAutoResetEvent a, b;
  CAutoResetEvent* list[] = {&a, &b};
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    b.Set();
  });
  const auto start = steady_clock::now();
  EXPECT_EQ(CAutoResetEvent::WaitAny(list, 2, 60000), 1);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(30));
  setter.join();
}

TEST(STThreadTest, StepThatFinishesEndsTheWorkerWithExitCodeTwo) {
  for (int stepsBeforeFinish : {1, 5}) {
    CCountingThread thread(stepsBeforeFinish, 0);
    ASSERT_TRUE(thread.LaunchWorker());
    WaitUntil([&] { return thread.steps.load() >= stepsBeforeFinish; });
    uint32_t exitCode = 99;
    EXPECT_TRUE(thread.Halt(&exitCode));
    EXPECT_EQ(exitCode, OP_EXIT_FINISHED);
    EXPECT_EQ(thread.steps.load(), stepsBeforeFinish);
  }
}

TEST(STThreadTest, HaltDuringALongWaitEndsTheWorkerAtOnceWithExitCodeOne) {
  CCountingThread thread(1000, 60000);  // first step only after a minute
  ASSERT_TRUE(thread.LaunchWorker());
  const auto start = steady_clock::now();
  uint32_t exitCode = 99;
  EXPECT_TRUE(thread.Halt(&exitCode));
  EXPECT_EQ(exitCode, OP_EXIT_STOPPED);
  EXPECT_EQ(thread.steps.load(), 0);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(30));
}

// The worker holds the fine timer resolution for the whole operation and
// gives it back however it ends: finished, failed in a step, stopped in a
// wait, or refused before its first step.
TEST(STThreadTest, TheFineTimerIsHeldWhileTheWorkerRunsAndReleasedHoweverItEnds) {
  enum class Ending { kFinished, kStepThrows, kStopped, kTooManyEvents };
  for (Ending ending : {Ending::kFinished, Ending::kStepThrows, Ending::kStopped, Ending::kTooManyEvents}) {
    SCOPED_TRACE(static_cast<int>(ending));
    ASSERT_EQ(FineTimerScope::Held(), 0u);
    CCountingThread thread(ending == Ending::kFinished ? 2 : 1000, ending == Ending::kStopped ? 1 : 0);
    if (ending == Ending::kStepThrows) thread.throwAtStep = 2;
    if (ending == Ending::kTooManyEvents) thread.extraCount = OP_MAX_EXTRA_EVENTS + 1;
    ASSERT_TRUE(thread.LaunchWorker());
    if (ending != Ending::kTooManyEvents) {
      WaitUntil([&] { return thread.steps.load() >= 2; });
      EXPECT_EQ(thread.heldDuringStep.load(), 1u);
    }
    uint32_t exitCode = 99;
    EXPECT_TRUE(thread.Halt(&exitCode));
    EXPECT_EQ(exitCode, ending == Ending::kStopped         ? OP_EXIT_STOPPED
                        : ending == Ending::kTooManyEvents ? OP_EXIT_TOO_MANY_EVENTS
                                                           : OP_EXIT_FINISHED);
    EXPECT_EQ(FineTimerScope::Held(), 0u);
  }
}

TEST(STThreadTest, SecondLaunchIsRefusedAndLeavesTheRunningWorkerAlone) {
  CCountingThread thread(1000, 1);
  ASSERT_TRUE(thread.LaunchWorker());
  EXPECT_FALSE(thread.LaunchWorker());
  WaitUntil([&] { return thread.steps.load() >= 3; });
  uint32_t exitCode = 99;
  EXPECT_TRUE(thread.Halt(&exitCode));
  EXPECT_EQ(exitCode, OP_EXIT_STOPPED);
  EXPECT_FALSE(thread.Halt());
}

TEST(STThreadTest, HaltWithoutWorkerReturnsFalse) {
  CCountingThread thread(1, 0);
  uint32_t exitCode = 99;
  EXPECT_FALSE(thread.Halt(&exitCode));
  EXPECT_EQ(exitCode, 99u);
}

TEST(STThreadTest, StopSignalledBeforeLaunchIsClearedButStopAfterLaunchIsNeverLost) {
  CCountingThread thread(3, 0);
  thread.SignalStop();  // a stale signal from before the launch
  ASSERT_TRUE(thread.LaunchWorker());
  WaitUntil([&] { return thread.steps.load() >= 3; });
  uint32_t exitCode = 99;
  EXPECT_TRUE(thread.Halt(&exitCode));
  EXPECT_EQ(exitCode, OP_EXIT_FINISHED);

  for (int round = 0; round < 20; ++round) {
    CCountingThread waiting(1000, 60000);
    ASSERT_TRUE(waiting.LaunchWorker());
    EXPECT_TRUE(waiting.Halt(&exitCode));
    EXPECT_EQ(exitCode, OP_EXIT_STOPPED);
  }
}

TEST(STThreadTest, TooManyExtraEventsEndsTheWorkerWithoutAStep) {
  CCountingThread thread(1000, 0);
  thread.extraCount = OP_MAX_EXTRA_EVENTS + 1;
  ASSERT_TRUE(thread.LaunchWorker());
  uint32_t exitCode = 99;
  EXPECT_TRUE(thread.Halt(&exitCode));
  EXPECT_EQ(exitCode, OP_EXIT_TOO_MANY_EVENTS);
  EXPECT_EQ(thread.steps.load(), 0);
}

TEST(STThreadTest, ExtraEventIsHandledAndItsHandlerDecidesWhetherTheWorkerGoesOn) {
  for (bool keepRunning : {true, false}) {
    CCountingThread thread(1000, 60000);
    thread.extraCount = OP_MAX_EXTRA_EVENTS;
    thread.keepRunningOnExtra = keepRunning;
    ASSERT_TRUE(thread.LaunchWorker());
    thread.extra[8].Set();
    WaitUntil([&] { return thread.handledExtra.load() == 8; });
    EXPECT_EQ(thread.handledExtra.load(), 8);
    // A worker that goes on handles the next event; one that ended does not.
    thread.extra[3].Set();
    if (keepRunning) {
      WaitUntil([&] { return thread.handledExtra.load() == 3; });
    } else {
      std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_EQ(thread.handledExtra.load(), keepRunning ? 3 : 8);
    uint32_t exitCode = 99;
    EXPECT_TRUE(thread.Halt(&exitCode));
    EXPECT_EQ(exitCode, OP_EXIT_STOPPED);
    EXPECT_EQ(thread.steps.load(), 0);
  }
}

}  // namespace
