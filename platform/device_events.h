// Inside the platform layer: the per-thread queues of device-change events
// that back DeviceNotifier, PostDeviceChange and PumpThreadMessages on every
// platform. Virtual devices and the libusb hot-plug post events from any
// thread; each event is delivered on the thread that owns the notifier, when
// that thread pumps.
#ifndef ZUVA_PLATFORM_DEVICE_EVENTS_H_
#define ZUVA_PLATFORM_DEVICE_EVENTS_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/device_notifier.h"

// Registers a sink on the calling thread for the given classes; the result
// identifies the registration (never 0).
uint64_t RegisterQueuedNotifier(DeviceEventSink* sink, const std::vector<Guid>& interfaceClasses);

// Unregisters and drops the registration's undelivered events. When another
// thread is delivering to this sink at that moment, waits until the delivery
// has returned, so the sink can be destroyed right after.
void UnregisterQueuedNotifier(uint64_t registration);

// Delivers, in posting order, every event queued for the calling thread.
// Sinks run without any lock held: they may post, create or destroy notifiers.
void DeliverQueuedDeviceChanges();

// True when an event waits for the calling thread.
bool HasQueuedDeviceChanges();

// Installs the function run whenever an event is queued for the calling
// thread (from the posting thread, under the queues' lock: it must only wake
// the waiter and take no lock of the queues); an empty function removes it.
// A waiting thread installs its waker, then checks HasQueuedDeviceChanges,
// then blocks, and removes the waker before its signal can go away.
void SetThreadDeviceChangeWaker(std::function<void()> waker);

#endif  // ZUVA_PLATFORM_DEVICE_EVENTS_H_
