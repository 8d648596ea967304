#include "operations/detach_thread.h"

#include <cctype>
#include <cstring>

#include "device/device_listing.h"
#include "platform/process.h"

namespace {

DetachTiming& ConfiguredTiming() {
  static DetachTiming timing = OP_DETACH_TIMING;
  return timing;
}

const char OP_PATH_TOLERANT[] = "Tolerant";
const char OP_PATH_RESETTING[] = "Resetting";

// Interface paths name the same interface whatever the letter case.
bool SamePath(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void SetPath(OperationContext* context, const char* text) {
  std::strncpy(context->devicePath, text, sizeof(context->devicePath) - 1);
  context->devicePath[sizeof(context->devicePath) - 1] = '\0';
}

bool IsWaitPhase(uint32_t phase) { return phase == PHASE_WAIT_REMOVAL || phase == PHASE_WAIT_ARRIVAL; }

// Both detach operations move a device from its application into DFU mode.
bool IsDetach(OperationCode opCode) { return opCode == OP_CODE_DETACH || opCode == OP_CODE_DETACH_RESET; }

}  // namespace

void SetDetachTiming(const DetachTiming& timing) { ConfiguredTiming() = timing; }

CDetachThread::CDetachThread(OperationContext* caller)
    : CDFUThread(caller),
      timing(ConfiguredTiming()),
      interfaceClasses{caller->dfuModeInterfaceClass, caller->appModeInterfaceClass} {
  notifier = DeviceNotifier::Create(this, interfaceClasses);
}

CDetachThread::~CDetachThread() {
  // No event may reach the sink once its members start to go.
  notifier.reset();
}

void CDetachThread::PublishContext(const OperationContext& in) {
  if (!leaveRequestInFlight) {
    CDFUThread::PublishContext(in);
    return;
  }
  OperationContext provisional = in;
  provisional.result = RESULT_OK;
  CDFUThread::PublishContext(provisional);
}

bool CDetachThread::Halt(uint32_t* exitCode) { return HaltAndClose(exitCode, false); }

bool CDetachThread::Step() {
  nextWaitMs = 0;
  OperationContext context;
  ReadContext(&context);
  if (!started) {
    started = true;
    return FirstStep(&context);
  }
  // dfuDNBUSY after the leave request: the device was kept open to be polled.
  if (context.deviceStatus.bState == DFU_STATE_DNBUSY && context.device != DEVICE_INVALID_HANDLE) {
    return LeaveBusyStep(&context);
  }
  if (IsWaitPhase(context.phase)) return WaitStep();
  if (context.phase == PHASE_REATTACHED) return ReattachedStep(&context);
  return Fail(&context, OP_ERR_UNEXPECTED, false);
}

bool CDetachThread::FirstStep(OperationContext* context) {
  context->deviceStatus.bState = STATE_STARTING;
  EnterPhase(context, PHASE_OPEN_DEVICE);
  if (context->devicePath[0] == '\0' || !DevicesManagerExists() ||
      OpenDevice(context->devicePath, &context->device) != RESULT_OK) {
    return Fail(context, DEV_ERR_OPEN_FAILED, false);
  }
  const uint8_t attributes = functionalDescriptor.bmAttributes;
  // A device without bitWillDetach leaves its application only at a USB
  // reset, which only OP_CODE_DETACH_RESET sends.
  const bool willDetach = (attributes & DFU_ATTR_WILL_DETACH) != 0;
  if (!willDetach && context->opCode != OP_CODE_DETACH_RESET) {
    return Fail(context, OP_ERR_UNSUPPORTED_FEATURE, false);
  }

  if (IsDetach(context->opCode)) {
    context->progress = 10;
    EnterPhase(context, PHASE_DETACH);
    ArmRemoval();
    const uint8_t interfaceNumber = static_cast<uint8_t>(dfuInterfaceNumber);
    if ((willDetach ? DfuDetach(&context->device, interfaceNumber)
                    : DfuDetachStaying(&context->device, interfaceNumber)) != RESULT_OK) {
      return Fail(context, OP_ERR_UNEXPECTED, false);
    }
    if (!willDetach) {
      // In appDETACH until the reset, which must come within the detach
      // time-out.
      EnterPhase(context, PHASE_USB_RESET);
      context->resetResult = UsbResetDevice(&context->device);
      if (context->resetResult != RESULT_OK) return Fail(context, context->resetResult, false);
    }
    EnterWaitForRemoval(context);
    // The device resets after the detach; device installations it causes are
    // let through before the first look for its return.
    for (uint32_t i = 0; i < OP_DETACH_SETTLE_ROUNDS; ++i) {
      SetSharedProgress(static_cast<uint8_t>(10 + i / 2));
      if (!WaitInstallationsUnlessStopped() || !PauseUnlessStopped(timing.settleSleepMs)) break;
    }
    return true;
  }

  // A manifestation-tolerant device stays on the bus after the leave request,
  // so no removal would ever end the wait.
  if ((attributes & DFU_ATTR_MANIFESTATION_TOLERANT) != 0) {
    return Fail(context, OP_ERR_UNSUPPORTED_FEATURE, false);
  }
  if (!SettleToIdle(context)) return false;
  context->progress = 15;
  context->elementIndex = 0;
  return SendLeaveRequest(context, false);
}

bool CDetachThread::SendLeaveRequest(OperationContext* context, bool afterBusy) {
  // The DfuSe leave request: DFU_DNLOAD of block 0 without data; the status
  // read after it starts manifestation.
  context->phase = PHASE_DNLOAD;
  context->blockNumber = 0;
  context->blockLength = 0;
  ArmRemoval();
  // A refused leave request is no failure by itself (the removal decides,
  // provided the device was there to refuse it), so a reader must never see
  // the transfer's error: it would stop the operation while it still waits
  // for the device to go.
  leaveRequestInFlight = true;
  const bool sent = SendDownloadBlock(context);
  leaveRequestInFlight = false;
  if (sent && context->device != DEVICE_INVALID_HANDLE && context->deviceStatus.bState == DFU_STATE_DNBUSY) {
    // Still busy before manifesting: keep the device open to poll it.
    context->result = RESULT_OK;
    busyAnswers = 1;
    PublishContext(*context);
    return true;
  }
  if (afterBusy && !(sent && context->device == DEVICE_INVALID_HANDLE)) {
    return Fail(context, OP_ERR_UNEXPECTED, context->device != DEVICE_INVALID_HANDLE);
  }
  if (!sent && !requestReachedDevice) {
    // The device was gone before the request reached it: its removal,
    // whenever it is seen, says nothing about the leave.
    return Fail(context, OP_ERR_UNEXPECTED, false);
  }
  // The first leave request decides nothing by itself: the removal does.
  context->result = RESULT_OK;
  if (context->device != DEVICE_INVALID_HANDLE) {
    CloseDevice(context->device);
    context->device = DEVICE_INVALID_HANDLE;
  }
  EnterWaitForRemoval(context);
  nextWaitMs = timing.pollIntervalMs;
  return true;
}

bool CDetachThread::LeaveBusyStep(OperationContext* context) {
  context->progress = 16;
  EnterPhase(context, PHASE_GETSTATUS);
  DfuStatus status{};
  if (DfuGetStatus(&context->device, &status) != RESULT_OK) {
    // A device that manifests between two polls leaves the bus, often before
    // its answer reaches the host, and the platform may announce the removal
    // well after the failed read. As after the leave request itself, the
    // removal decides: the wait for it succeeds when the device goes, and
    // gives up at its limit when it stays.
    CloseDevice(context->device);
    context->device = DEVICE_INVALID_HANDLE;
    EnterWaitForRemoval(context);
    nextWaitMs = timing.pollIntervalMs;
    return true;
  }
  context->deviceStatus = status;
  if (status.bStatus == 0 && (status.bState == DFU_STATE_MANIFEST || status.bState == DFU_STATE_MANIFEST_WAIT_RESET)) {
    // The status read has closed the device; it leaves the bus now.
    PublishContext(*context);
    EnterWaitForRemoval(context);
    nextWaitMs = timing.pollIntervalMs;
    return true;
  }
  if (status.bStatus == 0 && status.bState == DFU_STATE_DNBUSY) {
    // After the re-sent request the busy answer to it was the one allowed.
    const uint32_t limit = leaveResent ? 2 : OP_LEAVE_BUSY_LIMIT;
    if (++busyAnswers >= limit) return Fail(context, OP_ERR_UNEXPECTED, true);
    if (!WithinBusyLimit()) return Fail(context, OP_ERR_BUSY_TIMEOUT, true);
    PublishContext(*context);
    nextWaitMs = BoundedBusyWait(BusyPollInterval(status));
    return true;
  }
  if (status.bStatus == 0 && (status.bState == DFU_STATE_DNLOAD_IDLE || status.bState == DFU_STATE_DFU_IDLE)) {
    // The leave request goes again once: a device that keeps coming back
    // from busy to idle would otherwise have it sent for ever.
    if (leaveResent) return Fail(context, OP_ERR_UNEXPECTED, true);
    leaveResent = true;
    PublishContext(*context);
    context->progress = 17;
    return SendLeaveRequest(context, true);
  }
  return Fail(context, OP_ERR_UNEXPECTED, true);
}

bool CDetachThread::WaitStep() {
  // A stop request ends the wait; the worker's next wait then sees it.
  if (!WaitInstallationsUnlessStopped()) return true;
  // Looked up outside the lock: the sink must not wait for the listing.
  std::string unlisted;
  {
    OperationContext before;
    ReadContext(&before);
    if (before.phase == PHASE_WAIT_REMOVAL &&
        InterfaceListed(before.devicePath, interfaceClasses) == LISTING_ABSENT) {
      unlisted = before.devicePath;
    }
  }
  std::lock_guard<std::mutex> guard(notifyLock);
  // The phase as it stands now: the sink may have moved it since the step
  // began.
  OperationContext current;
  ReadContext(&current);
  if (!IsWaitPhase(current.phase)) return true;
  if (current.phase == PHASE_WAIT_REMOVAL && !unlisted.empty() && unlisted == current.devicePath) {
    // Gone from the listing, but no removal notice: a platform may deliver
    // it late, or lose it (one whose notifications start on a thread of
    // their own misses a device that leaves before that thread listens).
    // The device has left all the same; the next step follows at once.
    ApplyRemoval(&current);
    PublishContext(current);
    return true;
  }
  waitPolls += 1;
  const int32_t base = current.phase == PHASE_WAIT_REMOVAL ? 25 : 50;
  SetSharedProgress(static_cast<uint8_t>(waitPolls / 8 + base));
  if (waitPolls < OP_DETACH_POLL_LIMIT) {
    nextWaitMs = timing.pollIntervalMs;
    return true;
  }
  current.progress = static_cast<uint8_t>(waitPolls / 8 + base);
  return Fail(&current, OP_ERR_UNEXPECTED, false);
}

bool CDetachThread::ReattachedStep(OperationContext* context) {
  if (!IsDetach(context->opCode)) {
    context->progress = 100;
    PublishContext(*context);
    return false;
  }
  context->progress = 75;
  EnterPhase(context, PHASE_OPEN_DEVICE);
  if (context->devicePath[0] == '\0' || !DevicesManagerExists() ||
      OpenDevice(context->devicePath, &context->device) != RESULT_OK) {
    return Fail(context, DEV_ERR_OPEN_FAILED, false);
  }
  context->progress = 85;
  if (!SettleToIdle(context)) return Fail(context, OP_ERR_UNEXPECTED, false);
  context->progress = 100;
  PublishContext(*context);
  return false;
}

void CDetachThread::ArmRemoval() {
  std::lock_guard<std::mutex> guard(notifyLock);
  removalArmed = true;
}

void CDetachThread::ApplyRemoval(OperationContext* context) {
  if (context->opCode == OP_CODE_LEAVE_DFU) {
    context->phase = PHASE_REATTACHED;
    SetPath(context, OP_PATH_TOLERANT);
  } else {
    context->phase = PHASE_WAIT_ARRIVAL;
    waitPolls = 0;
    SetPath(context, OP_PATH_RESETTING);
  }
}

void CDetachThread::EnterWaitForRemoval(OperationContext* context) {
  std::lock_guard<std::mutex> guard(notifyLock);
  context->phase = PHASE_WAIT_REMOVAL;
  waitPolls = 0;
  if (removalSeen) {
    ApplyRemoval(context);
    if (arrivalSeen && context->phase == PHASE_WAIT_ARRIVAL) {
      context->phase = PHASE_REATTACHED;
      SetPath(context, arrivalPath.c_str());
    }
    phaseMoved.Set();
  }
  removalArmed = false;
  removalSeen = false;
  arrivalSeen = false;
  PublishContext(*context);
}

void CDetachThread::OnDeviceChange(const DeviceChangeEvent& event) {
  std::lock_guard<std::mutex> guard(notifyLock);
  OperationContext context;
  ReadContext(&context);
  if (event.kind == DeviceChangeKind::kRemoval) {
    if (!SamePath(event.path, context.devicePath)) return;
    if (context.phase == PHASE_WAIT_REMOVAL) {
      ApplyRemoval(&context);
      PublishContext(context);
      phaseMoved.Set();
    } else if (removalArmed) {
      removalSeen = true;
    }
    return;
  }
  // A name that does not fit the record cannot be the device's path.
  if (event.path.size() >= OP_DEVICE_PATH_CAPACITY) return;
  if (context.phase == PHASE_WAIT_ARRIVAL) {
    context.phase = PHASE_REATTACHED;
    SetPath(&context, event.path.c_str());
    PublishContext(context);
    phaseMoved.Set();
  } else if (removalSeen && !arrivalSeen) {
    arrivalSeen = true;
    arrivalPath = event.path;
  }
}

uint32_t CDetachThread::ExtraWaitEvents(CAutoResetEvent* events[OP_MAX_EXTRA_EVENTS]) {
  events[0] = &phaseMoved;
  return 1;
}

bool CDetachThread::OnExtraEvent(uint32_t /*index*/) {
  nextWaitMs = 0;
  return true;
}

bool CDetachThread::WaitInstallationsUnlessStopped() {
  bool stopped = false;
  PlatformWaitNoPendingInstallations([this, &stopped] {
    stopped = !PauseUnlessStopped(0);
    return stopped;
  });
  return !stopped;
}

bool CDetachThread::PauseUnlessStopped(uint32_t milliseconds) {
  CAutoResetEvent* list[] = {&stopEvent};
  if (CAutoResetEvent::WaitAny(list, 1, milliseconds) < 0) return true;
  stopEvent.Set();  // left for the worker's wait, which then ends
  return false;
}
