#include "operations/poll_schedule.h"

#include <gtest/gtest.h>

namespace {

using Clock = CPollSchedule::Clock;
using std::chrono::milliseconds;

struct WaitCase {
  const char* name;
  uint32_t announcedMs;
  uint32_t elapsedMs;
  uint32_t expectedMs;
  uint32_t wantMs;
};

TEST(EarlyPollWait, StaysBetweenOneMillisecondAndTheAnnouncement) {
  const WaitCase cases[] = {
      {"unknown kind: an eighth of the announcement", 100, 0, 0, 12},
      {"known kind: what it is expected to take", 100, 0, 8, 8},
      {"a long known kind is cut to the announcement", 100, 0, 800, 100},
      {"later answers back off by a sixteenth of the busy time", 1000, 400, 0, 25},
      {"never more often than once a millisecond", 100, 3, 0, 1},
      {"a short announcement is a floor of 1", 3, 0, 0, 1},
      {"an announcement of 0 still waits 1", 0, 0, 0, 1},
      {"never beyond the announcement", 20, 5000, 0, 20},
      {"last time longer than the announcement", 50, 0, 400, 50},
  };
  for (const WaitCase& c : cases) {
    EXPECT_EQ(EarlyPollWait(c.announcedMs, c.elapsedMs, c.expectedMs), c.wantMs) << c.name;
  }
}

TEST(PollSchedule, PlainScheduleWaitsTheAnnouncement) {
  CPollSchedule poll;
  const Clock::time_point t = Clock::now();
  EXPECT_EQ(poll.FirstBusy(0, 100, t), 100u);
  EXPECT_FALSE(poll.LastWaitEarly());
  EXPECT_EQ(poll.StillBusy(100, t + milliseconds(100)), 100u);
  EXPECT_FALSE(poll.LastWaitEarly());
}

TEST(PollSchedule, EarlyScheduleLearnsEachKindOfRequest) {
  CPollSchedule poll;
  poll.SetEarly(true);
  const Clock::time_point t = Clock::now();
  // A kind not seen yet: an eighth of the announcement, found done.
  EXPECT_EQ(poll.FirstBusy(0, 100, t), 12u);
  EXPECT_TRUE(poll.LastWaitEarly());
  poll.Done(t + milliseconds(12));
  // Then what it took; still busy there: a millisecond more, and what it
  // took now is what is expected next.
  EXPECT_EQ(poll.FirstBusy(0, 100, t + milliseconds(20)), 12u);
  EXPECT_EQ(poll.StillBusy(100, t + milliseconds(32)), 1u);
  poll.Done(t + milliseconds(33));
  EXPECT_EQ(poll.FirstBusy(0, 100, t + milliseconds(40)), 13u);
  // Found done at once: the next try comes a sixteenth earlier.
  poll.Done(t + milliseconds(53));
  EXPECT_EQ(poll.FirstBusy(0, 100, t + milliseconds(60)), 12u);
  poll.Done(t + milliseconds(72));
  // An erase has its own record.
  EXPECT_EQ(poll.FirstBusy(0x41, 100, t + milliseconds(80)), 12u);
}

TEST(PollSchedule, CountdownAndRefusalBringBackTheAnnouncement) {
  CPollSchedule poll;
  poll.SetEarly(true);
  const Clock::time_point t = Clock::now();
  // A device that announces what remains is taken at its word once it shows.
  EXPECT_EQ(poll.FirstBusy(0, 16, t), 2u);
  EXPECT_EQ(poll.StillBusy(14, t + milliseconds(2)), 14u);
  EXPECT_FALSE(poll.LastWaitEarly());
  poll.Done(t + milliseconds(16));
  poll.FallBack();
  EXPECT_FALSE(poll.Early());
  EXPECT_EQ(poll.FirstBusy(0, 100, t + milliseconds(20)), 100u);
  EXPECT_FALSE(poll.LastWaitEarly());
}

}  // namespace
