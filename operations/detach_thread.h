// Moves a device between its application and DFU mode: DFU_DETACH for a
// device running its application (it leaves the bus and comes back in DFU
// mode under a new path; one without bitWillDetach only after the USB reset
// that OP_CODE_DETACH_RESET sends), or the DfuSe leave request for a device in DFU mode
// (it manifests and leaves the bus). The device's departure and return are
// followed through device-change events delivered on the launching thread.
#ifndef ZUVA_OPERATIONS_DETACH_THREAD_H_
#define ZUVA_OPERATIONS_DETACH_THREAD_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "operations/dfu_thread.h"
#include "platform/device_notifier.h"

// The waits of the operation. The counts are fixed; tests shorten the times.
struct DetachTiming {
  uint32_t pollIntervalMs;  // between two looks for the removal or the arrival
  uint32_t settleSleepMs;   // each of the 30 pauses after DFU_DETACH
};
constexpr DetachTiming OP_DETACH_TIMING = {50, 100};
// Looks for the removal or the arrival before the wait gives up.
constexpr int32_t OP_DETACH_POLL_LIMIT = 200;
// Pauses after DFU_DETACH, while the device resets.
constexpr uint32_t OP_DETACH_SETTLE_ROUNDS = 30;
// dfuDNBUSY answers in a row after the leave request before giving up; after
// the one re-sent leave request, the second busy answer gives up.
constexpr uint32_t OP_LEAVE_BUSY_LIMIT = 3;

// Timing of the detach operations constructed from now on.
void SetDetachTiming(const DetachTiming& timing);

class CDetachThread : public CDFUThread, public DeviceEventSink {
 public:
  // Must run on the thread that pumps its messages while the operation runs:
  // the device-change events reach the operation there.
  explicit CDetachThread(OperationContext* caller);
  ~CDetachThread() override;

  // As for every DFU operation, but never sends DFU_ABORT.
  bool Halt(uint32_t* exitCode = nullptr) override;
  bool Step() override;
  // While the leave request is in flight its failures are not the
  // operation's: readers see RESULT_OK until the step has decided.
  void PublishContext(const OperationContext& in) override;
  // Removals and arrivals of interfaces of either class, on the launching
  // thread.
  void OnDeviceChange(const DeviceChangeEvent& event) override;
  // The worker also wakes when the sink moves the phase on, so that the step
  // after a removal or an arrival does not wait out a poll interval.
  uint32_t ExtraWaitEvents(CAutoResetEvent* events[OP_MAX_EXTRA_EVENTS]) override;
  bool OnExtraEvent(uint32_t index) override;

 private:
  bool FirstStep(OperationContext* context);
  bool LeaveBusyStep(OperationContext* context);
  bool WaitStep();
  bool ReattachedStep(OperationContext* context);
  // Sends the leave request (block 0, no data) and decides what follows.
  bool SendLeaveRequest(OperationContext* context, bool afterBusy);
  // Publishes the wait for removal, together with a removal (and arrival)
  // that came before it could be published.
  void EnterWaitForRemoval(OperationContext* context);
  // From now on a removal of devicePath counts, even before the wait for it
  // is published: the device may leave the moment the request reaches it.
  void ArmRemoval();
  // The record after the removal of the device (caller holds notifyLock).
  void ApplyRemoval(OperationContext* context);
  // Pauses, but a stop request ends the pause at once (and stays pending for
  // the worker's wait).
  bool PauseUnlessStopped(uint32_t milliseconds);
  // Waits for pending device installations; false when a stop request ended
  // the wait (the request stays set for the worker's wait).
  bool WaitInstallationsUnlessStopped();

  DetachTiming timing;
  // The classes whose arrivals and removals count: DFU mode, application.
  std::vector<Guid> interfaceClasses;
  std::unique_ptr<DeviceNotifier> notifier;

  // Serialises the event sink with the worker's changes of the waiting
  // phases; guards the members below.
  std::mutex notifyLock;
  int32_t waitPolls = 0;
  bool removalArmed = false;
  bool removalSeen = false;
  bool arrivalSeen = false;
  std::string arrivalPath;

  // The first step has run: the markers the record keeps in bState before
  // the device answered are also states a device may answer, so they
  // cannot tell whether the operation has begun.
  bool started = false;      // worker only
  uint32_t busyAnswers = 0;  // worker only
  bool leaveResent = false;  // worker only
  std::atomic<bool> leaveRequestInFlight{false};
  // Set whenever a removal or an arrival has moved the phase.
  CAutoResetEvent phaseMoved;
};

#endif  // ZUVA_OPERATIONS_DETACH_THREAD_H_
