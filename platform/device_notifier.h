// Arrivals and removals of device interfaces, delivered on the thread that
// asked for them when that thread pumps its messages.
#ifndef ZUVA_PLATFORM_DEVICE_NOTIFIER_H_
#define ZUVA_PLATFORM_DEVICE_NOTIFIER_H_

#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"

enum class DeviceChangeKind { kArrival, kRemoval };

struct DeviceChangeEvent {
  DeviceChangeKind kind;
  Guid interfaceClass;
  std::string path;
};

class DeviceEventSink {
 public:
  virtual ~DeviceEventSink() = default;
  virtual void OnDeviceChange(const DeviceChangeEvent& event) = 0;
};

// Registers a sink for arrivals and removals of interfaces of the given
// classes. The sink belongs to the thread that creates the notifier: events
// reach it only when that thread calls PumpThreadMessages (Windows: a hidden
// window's WM_DEVICECHANGE; virtual devices and libusb hot-plug: a per-thread
// queue drained by the same pump). Destroying the notifier unregisters it.
class DeviceNotifier {
 public:
  virtual ~DeviceNotifier() = default;
  static std::unique_ptr<DeviceNotifier> Create(DeviceEventSink* sink,
                                                const std::vector<Guid>& interfaceClasses);
};

// Queues an event for every notifier of its class, on the notifier's thread.
// Safe from any thread; used by virtual devices and the libusb hot-plug.
void PostDeviceChange(const DeviceChangeEvent& event);

// Dispatches every window message and queued device-change event waiting for
// the calling thread.
void PumpThreadMessages();

#endif  // ZUVA_PLATFORM_DEVICE_NOTIFIER_H_
