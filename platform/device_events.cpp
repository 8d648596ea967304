// Per-thread queues of device-change events. A notifier belongs to the thread
// that registers it; a post from any thread queues one copy of the event for
// every notifier of its class, on that notifier's thread, and wakes the
// thread. The owner delivers its queue when it pumps, so a sink only ever runs
// on its own thread, exactly as a window procedure would.
#include "platform/device_events.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace {

struct QueuedEvent {
  uint64_t registration;
  DeviceChangeEvent event;
};

struct Registration {
  uint64_t id;
  DeviceEventSink* sink;
  std::vector<Guid> interfaceClasses;
  std::thread::id owner;
};

struct ThreadQueue {
  std::deque<QueuedEvent> events;
  std::function<void()> waker;
  uint64_t delivering = 0;  // registration whose sink runs right now
};

struct Registry {
  std::mutex mutex;
  std::condition_variable deliveryDone;
  uint64_t nextId = 1;
  std::vector<Registration> registrations;
  std::map<std::thread::id, ThreadQueue> queues;
};

Registry& GetRegistry() {
  static Registry registry;
  return registry;
}

bool HasRegistrationOn(const Registry& registry, std::thread::id owner) {
  return std::any_of(registry.registrations.begin(), registry.registrations.end(),
                     [owner](const Registration& r) { return r.owner == owner; });
}

// Keeps the map small: a thread's entry goes once nothing refers to it.
void ForgetIdleQueue(Registry& registry, std::thread::id owner) {
  auto it = registry.queues.find(owner);
  if (it == registry.queues.end()) return;
  const ThreadQueue& queue = it->second;
  if (queue.events.empty() && !queue.waker && queue.delivering == 0 &&
      !HasRegistrationOn(registry, owner)) {
    registry.queues.erase(it);
  }
}

}  // namespace

uint64_t RegisterQueuedNotifier(DeviceEventSink* sink, const std::vector<Guid>& interfaceClasses) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const uint64_t id = registry.nextId++;
  registry.registrations.push_back({id, sink, interfaceClasses, std::this_thread::get_id()});
  return id;
}

void UnregisterQueuedNotifier(uint64_t registration) {
  Registry& registry = GetRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  auto found = std::find_if(registry.registrations.begin(), registry.registrations.end(),
                            [registration](const Registration& r) { return r.id == registration; });
  if (found == registry.registrations.end()) return;
  const std::thread::id owner = found->owner;
  registry.registrations.erase(found);

  auto queueIt = registry.queues.find(owner);
  if (queueIt != registry.queues.end()) {
    std::deque<QueuedEvent>& events = queueIt->second.events;
    events.erase(std::remove_if(events.begin(), events.end(),
                                [registration](const QueuedEvent& e) {
                                  return e.registration == registration;
                                }),
                 events.end());
    // A sink that unregisters itself from inside its own delivery must not
    // wait for itself.
    if (owner != std::this_thread::get_id()) {
      registry.deliveryDone.wait(lock, [&registry, owner, registration] {
        auto it = registry.queues.find(owner);
        return it == registry.queues.end() || it->second.delivering != registration;
      });
    }
  }
  ForgetIdleQueue(registry, owner);
}

void PostDeviceChange(const DeviceChangeEvent& event) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::vector<std::thread::id> woken;
  for (const Registration& r : registry.registrations) {
    if (std::find(r.interfaceClasses.begin(), r.interfaceClasses.end(), event.interfaceClass) ==
        r.interfaceClasses.end()) {
      continue;
    }
    registry.queues[r.owner].events.push_back({r.id, event});
    if (std::find(woken.begin(), woken.end(), r.owner) == woken.end()) woken.push_back(r.owner);
  }
  for (std::thread::id owner : woken) {
    const ThreadQueue& queue = registry.queues[owner];
    if (queue.waker) queue.waker();
  }
}

void DeliverQueuedDeviceChanges() {
  Registry& registry = GetRegistry();
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(registry.mutex);
  auto queueIt = registry.queues.find(self);
  if (queueIt == registry.queues.end()) return;
  ThreadQueue& queue = queueIt->second;  // map nodes stay put; kept while delivering
  // Only what is queued now: a sink that posts again is served by the next
  // pump, so a pump always ends.
  size_t budget = queue.events.size();
  while (budget > 0 && !queue.events.empty()) {
    --budget;
    QueuedEvent next = std::move(queue.events.front());
    queue.events.pop_front();
    auto r = std::find_if(registry.registrations.begin(), registry.registrations.end(),
                          [&next](const Registration& reg) { return reg.id == next.registration; });
    if (r == registry.registrations.end()) continue;
    DeviceEventSink* sink = r->sink;
    queue.delivering = next.registration;
    lock.unlock();
    sink->OnDeviceChange(next.event);
    lock.lock();
    queue.delivering = 0;
    registry.deliveryDone.notify_all();
  }
  ForgetIdleQueue(registry, self);
}

bool HasQueuedDeviceChanges() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.queues.find(std::this_thread::get_id());
  return it != registry.queues.end() && !it->second.events.empty();
}

void SetThreadDeviceChangeWaker(std::function<void()> waker) {
  Registry& registry = GetRegistry();
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (waker) {
    registry.queues[self].waker = std::move(waker);
    return;
  }
  auto it = registry.queues.find(self);
  if (it == registry.queues.end()) return;
  it->second.waker = nullptr;
  ForgetIdleQueue(registry, self);
}
