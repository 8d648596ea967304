// When to ask a busy device for its status again. The plain schedule waits
// the poll time-out the device announced, as the device asks. The early
// schedule serves devices that announce far more than their flash needs: it
// polls before the announcement, first after about what the same kind of
// request took last time, then backing off towards the announcement as the
// busy time goes on, never more often than once a millisecond. A device that
// refuses an early status request is polled on the plain schedule from then
// on.
#ifndef ZUVA_OPERATIONS_POLL_SCHEDULE_H_
#define ZUVA_OPERATIONS_POLL_SCHEDULE_H_

#include <array>
#include <chrono>
#include <cstdint>

// The wait before an early status request, in milliseconds: `announcedMs`
// is the device's poll time-out (at least 1), `elapsedMs` the busy time since
// the first busy answer (0 at that answer), `expectedMs` how long the same
// kind of request is expected to keep the device busy (0 when not known yet).
// Always at least 1 and, for an announcement of 1 or more, at most it.
uint32_t EarlyPollWait(uint32_t announcedMs, uint32_t elapsedMs, uint32_t expectedMs);

class CPollSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // Polls early from now on (or not).
  void SetEarly(bool early) { this->early = early; }
  bool Early() const { return early; }
  // From now on every wait is the announced one, the last one included: a
  // later failed status request is no longer taken for a refused early one.
  void FallBack() {
    early = false;
    lastWaitEarly = false;
  }

  // The device answered busy to the status request right after the request
  // of kind `kind` (a DfuSe command's code, 0 for a data block); returns the
  // wait before the next status request.
  uint32_t FirstBusy(uint8_t kind, uint32_t announcedMs, Clock::time_point now);
  // It answered busy again.
  uint32_t StillBusy(uint32_t announcedMs, Clock::time_point now);
  // It answered that the work is done to the status request sent at `sentAt`.
  void Done(Clock::time_point sentAt);
  // True when the last wait handed out was shorter than the device's
  // announcement: the status request after it comes early.
  bool LastWaitEarly() const { return lastWaitEarly; }

 private:
  uint32_t Hand(uint32_t wait, uint32_t announcedMs);

  bool early = false;
  bool lastWaitEarly = false;
  bool busy = false;
  bool polledBusy = false;  // an early poll of this busy time found it busy
  uint8_t busyKind = 0;
  uint32_t lastAnnouncedMs = 0;
  Clock::time_point busySince{};
  // How long each kind of request is expected to keep the device busy, in
  // microseconds; 0 unknown.
  std::array<uint64_t, 256> tookUs{};
};

#endif  // ZUVA_OPERATIONS_POLL_SCHEDULE_H_
