// The wake-up signal is an auto-reset event; a thread that also serves window
// messages and device-change events waits for it together with its message
// queue and with its own wake-up event, which a post for the thread sets.
#include <windows.h>

#include "platform/device_events.h"
#include "platform/wake_signal.h"

struct WakeSignal::Impl {
  HANDLE event = nullptr;
};

namespace {

// One per thread that has waited; closed when the thread ends.
class CThreadWakeEvent {
 public:
  CThreadWakeEvent() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~CThreadWakeEvent() {
    if (event_ != nullptr) CloseHandle(event_);
  }
  CThreadWakeEvent(const CThreadWakeEvent&) = delete;
  CThreadWakeEvent& operator=(const CThreadWakeEvent&) = delete;
  HANDLE Get() const { return event_; }

 private:
  HANDLE event_;
};

}  // namespace

WakeSignal::WakeSignal() : impl_(std::make_unique<Impl>()) {
  impl_->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

WakeSignal::~WakeSignal() {
  if (impl_->event != nullptr) CloseHandle(impl_->event);
}

void WakeSignal::Set() { SetEvent(impl_->event); }

bool WakeSignal::Wait(uint32_t timeoutMs) {
  return WaitForSingleObject(impl_->event, timeoutMs) == WAIT_OBJECT_0;
}

void WaitForSignalOrThreadMessages(WakeSignal* signal, uint32_t timeoutMs) {
  thread_local CThreadWakeEvent threadWake;
  HANDLE wake = threadWake.Get();
  HANDLE handles[2];
  DWORD count = 0;
  if (signal != nullptr && signal->impl_->event != nullptr) handles[count++] = signal->impl_->event;
  if (wake != nullptr) {
    ResetEvent(wake);  // a post served by an earlier pump must not end this wait
    handles[count++] = wake;
    // Installed before the queue is looked at, so a post after the look
    // still sets the event.
    SetThreadDeviceChangeWaker([wake] { SetEvent(wake); });
  }
  if (!HasQueuedDeviceChanges()) {
    // MWMO_INPUTAVAILABLE: messages already waiting (seen by an earlier peek
    // but not removed) end the wait too.
    MsgWaitForMultipleObjectsEx(count, count > 0 ? handles : nullptr, timeoutMs, QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  if (wake != nullptr) SetThreadDeviceChangeWaker(nullptr);
}
