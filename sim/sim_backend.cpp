#include "sim/sim_backend.h"

#include <chrono>
#include <new>

#include "platform/device_notifier.h"
#include "platform/thread_start.h"
#include "sim/driver_front.h"

namespace {

class CSimConnection : public DriverConnection {
 public:
  CSimConnection(std::shared_ptr<CSimRecorder> recorder, uint32_t attachment)
      : recorder_(std::move(recorder)), attachment_(attachment) {}

  bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                 uint32_t outputSize, uint32_t* bytesReturned) override {
    // A process short of memory sees a request that fails, as a device that
    // does not answer, rather than an exception in the driver port.
    try {
      std::vector<SimBusChange> changes;
      SimOutcome outcome = SimOutcome::kStall;
      bool completed = SimAnswerDriverRequest(recorder_.get(), attachment_, code, input,
                                              inputSize, output, outputSize, bytesReturned,
                                              &changes, &outcome);
      lastFailure_ = outcome == SimOutcome::kGone    ? UsbTransferOutcome::kGone
                     : outcome == SimOutcome::kStall ? UsbTransferOutcome::kStall
                                                     : UsbTransferOutcome::kFailed;
      // Announced after the device has let go of its lock.
      CSimBackend::Announce(changes);
      return completed;
    } catch (const std::bad_alloc&) {
      if (bytesReturned != nullptr) *bytesReturned = 0;
      lastFailure_ = UsbTransferOutcome::kFailed;
      return false;
    }
  }

  UsbTransferOutcome LastFailure() const override { return lastFailure_; }

  StatusCode Reset() override {
    try {
      std::vector<SimBusChange> changes;
      const SimOutcome outcome = recorder_->BusReset(attachment_, &changes);
      CSimBackend::Announce(changes);
      // As on a real port, a device that is no longer there cannot be told
      // from one that left at the reset.
      return outcome == SimOutcome::kStall ? DEV_ERR_RESET_FAILED : RESULT_OK;
    } catch (const std::bad_alloc&) {
      return DEV_ERR_RESET_FAILED;
    }
  }

 private:
  const std::shared_ptr<CSimRecorder> recorder_;
  const uint32_t attachment_;
  UsbTransferOutcome lastFailure_ = UsbTransferOutcome::kFailed;
};

}  // namespace

CSimBackend::CSimBackend(std::shared_ptr<CSimRecorder> recorder)
    : recorder_(std::move(recorder)) {
  const uint32_t delayMs = Device()->Profile().arriveAfterMs;
  if (delayMs == 0) return;
  const bool started = PlatformStartThread(&arrival_, [this, delayMs] {
    {
      std::unique_lock<std::mutex> lock(arrivalMutex_);
      if (arrivalCancelled_.wait_for(lock, std::chrono::milliseconds(delayMs),
                                     [this] { return cancelled_; })) {
        return;
      }
    }
    std::vector<SimBusChange> changes;
    Device()->Arrive(&changes);
    Announce(changes);
  });
  // Without a thread to wait on, the device is there at once.
  if (!started) {
    std::vector<SimBusChange> changes;
    Device()->Arrive(&changes);
  }
}

CSimBackend::~CSimBackend() {
  if (!arrival_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(arrivalMutex_);
    cancelled_ = true;
  }
  arrivalCancelled_.notify_all();
  arrival_.join();
}

std::string CSimBackend::PathOf(uint32_t attachment) {
  return SIM_PATH_PREFIX + std::to_string(attachment);
}

std::string CSimBackend::CurrentPath() const { return PathOf(Device()->Position().path); }

void CSimBackend::Announce(const std::vector<SimBusChange>& changes) {
  for (const SimBusChange& change : changes) {
    DeviceChangeEvent event;
    event.kind = change.arrival ? DeviceChangeKind::kArrival : DeviceChangeKind::kRemoval;
    event.interfaceClass = change.dfuMode ? DFU_INTERFACE_GUID : APP_INTERFACE_GUID;
    event.path = PathOf(change.path);
    PostDeviceChange(event);
  }
}

std::unique_ptr<DriverConnection> CSimBackend::Open(const std::string& path,
                                                   StatusCode* /*failure*/) {
  CDfuDevice::BusPosition position = Device()->Position();
  if (!position.present || path != PathOf(position.path)) return nullptr;
  return std::make_unique<CSimConnection>(recorder_, position.attachment);
}

bool CSimBackend::Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) {
  CDfuDevice::BusPosition position = Device()->Position();
  if (!position.present) return true;
  const Guid& listedUnder = position.dfuMode ? DFU_INTERFACE_GUID : APP_INTERFACE_GUID;
  if (!(interfaceClass == listedUnder)) return true;
  InterfaceInfo info;
  info.path = PathOf(position.path);
  info.hasDescription = Device()->Profile().hasDescription;
  info.description = Device()->Profile().description;
  interfaces->push_back(std::move(info));
  return true;
}

void CSimBackend::Unplug() {
  std::vector<SimBusChange> changes;
  Device()->Unplug(&changes);
  Announce(changes);
}
