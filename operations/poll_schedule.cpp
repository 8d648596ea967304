#include "operations/poll_schedule.h"

#include <algorithm>

namespace {

// The first early wait of a kind of request not seen yet, as a part of the
// announcement; and the share of the busy time so far that the next wait
// adds: the later the answer, the longer the wait, so a long erase costs a
// few requests and overshoots its end by at most a sixteenth.
constexpr uint32_t POLL_FIRST_FRACTION = 8;
constexpr uint32_t POLL_BACKOFF_FRACTION = 16;
// A kind of request that was found done at the first early poll is tried a
// sixteenth earlier next time, so that a device that got faster (or a first
// guess that was too long) is followed down.
constexpr uint64_t POLL_EXPLORE_FRACTION = 16;

uint64_t MicrosBetween(CPollSchedule::Clock::time_point from, CPollSchedule::Clock::time_point to) {
  if (to <= from) return 0;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(to - from).count());
}

uint32_t RoundedMillis(uint64_t micros) {
  return static_cast<uint32_t>(std::min<uint64_t>((micros + 500) / 1000, UINT32_MAX));
}

}  // namespace

uint32_t EarlyPollWait(uint32_t announcedMs, uint32_t elapsedMs, uint32_t expectedMs) {
  uint32_t wait = 0;
  if (elapsedMs != 0) {
    wait = elapsedMs / POLL_BACKOFF_FRACTION;
  } else if (expectedMs != 0) {
    wait = expectedMs;
  } else {
    wait = announcedMs / POLL_FIRST_FRACTION;
  }
  return std::clamp<uint32_t>(wait, 1, std::max<uint32_t>(announcedMs, 1));
}

uint32_t CPollSchedule::Hand(uint32_t wait, uint32_t announcedMs) {
  lastWaitEarly = wait < announcedMs;
  lastAnnouncedMs = announcedMs;
  return wait;
}

uint32_t CPollSchedule::FirstBusy(uint8_t kind, uint32_t announcedMs, Clock::time_point now) {
  busy = true;
  busyKind = kind;
  busySince = now;
  polledBusy = false;
  if (!early) return Hand(announcedMs, announcedMs);
  return Hand(EarlyPollWait(announcedMs, 0, RoundedMillis(tookUs[kind])), announcedMs);
}

uint32_t CPollSchedule::StillBusy(uint32_t announcedMs, Clock::time_point now) {
  polledBusy = true;
  // A device whose announcement shrinks counts down the time that really
  // remains: its word is good, and an early request would only find it busy.
  const bool countsDown = announcedMs < lastAnnouncedMs;
  if (!early || !busy || countsDown) return Hand(announcedMs, announcedMs);
  // At least 1, so that the wait is never taken for the first one.
  const uint32_t elapsed = std::max<uint32_t>(RoundedMillis(MicrosBetween(busySince, now)), 1);
  return Hand(EarlyPollWait(announcedMs, elapsed, 0), announcedMs);
}

void CPollSchedule::Done(Clock::time_point sentAt) {
  if (busy) {
    uint64_t& took = tookUs[busyKind];
    if (took != 0 && !polledBusy) {
      took -= took / POLL_EXPLORE_FRACTION;
    } else {
      took = std::max<uint64_t>(MicrosBetween(busySince, sentAt), 1);
    }
  }
  busy = false;
  lastWaitEarly = false;
}
