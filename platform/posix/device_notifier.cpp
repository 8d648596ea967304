// Device-change notifiers where the only sources of events are the ones that
// post into the per-thread queues (virtual devices, the libusb hot-plug).
#include "platform/device_events.h"
#include "platform/device_notifier.h"

namespace {

class CQueuedDeviceNotifier : public DeviceNotifier {
 public:
  explicit CQueuedDeviceNotifier(uint64_t registration) : registration_(registration) {}
  ~CQueuedDeviceNotifier() override { UnregisterQueuedNotifier(registration_); }

 private:
  uint64_t registration_;
};

}  // namespace

std::unique_ptr<DeviceNotifier> DeviceNotifier::Create(DeviceEventSink* sink,
                                                       const std::vector<Guid>& interfaceClasses) {
  if (sink == nullptr) return nullptr;
  return std::make_unique<CQueuedDeviceNotifier>(RegisterQueuedNotifier(sink, interfaceClasses));
}

void PumpThreadMessages() { DeliverQueuedDeviceChanges(); }
