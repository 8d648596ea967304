#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "platform/device_notifier.h"
#include "platform/wake_signal.h"

namespace {

constexpr Guid OTHER_INTERFACE_GUID = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

DeviceChangeEvent Arrival(const Guid& interfaceClass, const std::string& path) {
  return {DeviceChangeKind::kArrival, interfaceClass, path};
}

class CRecordingSink : public DeviceEventSink {
 public:
  struct Delivery {
    DeviceChangeEvent event;
    std::thread::id thread;
  };

  void OnDeviceChange(const DeviceChangeEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back({event, std::this_thread::get_id()});
  }

  std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }

  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const Delivery& d : Deliveries()) paths.push_back(d.event.path);
    return paths;
  }

 private:
  std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

// A thread that owns a notifier and pumps only when asked.
class COwnerThread {
 public:
  COwnerThread(DeviceEventSink* sink, std::vector<Guid> classes)
      : thread_([this, sink, classes] { Run(sink, classes); }) {
    created_.get_future().wait();
  }
  ~COwnerThread() {
    Post([] { return false; });
    thread_.join();
  }
  std::thread::id Id() const { return thread_.get_id(); }

  // Runs PumpThreadMessages on the owner and waits until it has returned.
  void Pump() {
    Post([] {
      PumpThreadMessages();
      return true;
    });
  }

 private:
  void Post(std::function<bool()> job) {
    std::promise<void> done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = std::move(job);
      done_ = &done;
    }
    jobReady_.notify_one();
    done.get_future().wait();
  }

  void Run(DeviceEventSink* sink, const std::vector<Guid>& classes) {
    auto notifier = DeviceNotifier::Create(sink, classes);
    created_.set_value();
    for (bool more = true; more;) {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [this] { return job_ != nullptr; });
      auto job = std::move(job_);
      job_ = nullptr;
      std::promise<void>* done = done_;
      lock.unlock();
      more = job();
      if (!more) notifier.reset();
      done->set_value();
    }
  }

  std::promise<void> created_;
  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::function<bool()> job_;
  std::promise<void>* done_ = nullptr;
  std::thread thread_;
};

TEST(DeviceEvents, EventsReachTheSinkOnlyWhenItsOwnThreadPumps) {
  CRecordingSink sink;
  COwnerThread owner(&sink, {DFU_INTERFACE_GUID});

  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "sim:1"));
  PumpThreadMessages();  // not the owner: delivers nothing
  EXPECT_TRUE(sink.Deliveries().empty());

  owner.Pump();
  auto deliveries = sink.Deliveries();
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].thread, owner.Id());
  EXPECT_EQ(deliveries[0].event.kind, DeviceChangeKind::kArrival);
  EXPECT_EQ(deliveries[0].event.interfaceClass, DFU_INTERFACE_GUID);
  EXPECT_EQ(deliveries[0].event.path, "sim:1");

  owner.Pump();  // delivered once only
  EXPECT_EQ(sink.Deliveries().size(), 1u);
}

TEST(DeviceEvents, EachNotifierReceivesTheEventsOfItsClassesInPostingOrder) {
  struct Case {
    std::vector<Guid> classes;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{DFU_INTERFACE_GUID}, {"dfu-arrival", "dfu-removal"}},
      {{APP_INTERFACE_GUID}, {"app-arrival"}},
      {{DFU_INTERFACE_GUID, APP_INTERFACE_GUID}, {"dfu-arrival", "app-arrival", "dfu-removal"}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    CRecordingSink sink;
    CRecordingSink bystander;  // a second notifier on the same thread
    auto notifier = DeviceNotifier::Create(&sink, c.classes);
    auto other = DeviceNotifier::Create(&bystander, {OTHER_INTERFACE_GUID});
    ASSERT_NE(notifier, nullptr);
    PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "dfu-arrival"));
    PostDeviceChange(Arrival(APP_INTERFACE_GUID, "app-arrival"));
    PostDeviceChange({DeviceChangeKind::kRemoval, DFU_INTERFACE_GUID, "dfu-removal"});
    PostDeviceChange(Arrival(OTHER_INTERFACE_GUID, "other"));
    PumpThreadMessages();
    EXPECT_EQ(sink.Paths(), c.expected) << c.classes.size() << " classes";
    EXPECT_EQ(bystander.Paths(), std::vector<std::string>{"other"});
    auto deliveries = sink.Deliveries();
    if (deliveries.size() == 3) {
      EXPECT_EQ(deliveries[2].event.kind, DeviceChangeKind::kRemoval);
    }
  }
}

TEST(DeviceEvents, DestroyingANotifierDropsItsUndeliveredEvents) {
  CRecordingSink first;
  auto notifier = DeviceNotifier::Create(&first, {DFU_INTERFACE_GUID});
  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "before"));
  notifier.reset();

  CRecordingSink second;
  auto next = DeviceNotifier::Create(&second, {DFU_INTERFACE_GUID});
  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "after"));
  PumpThreadMessages();
  EXPECT_TRUE(first.Deliveries().empty());
  EXPECT_EQ(second.Paths(), std::vector<std::string>{"after"});
}

// A sink may post, and may destroy its own notifier, from inside a delivery.
TEST(DeviceEvents, SinksMayPostAndUnregisterWhileBeingDelivered) {
  class CReentrantSink : public DeviceEventSink {
   public:
    std::unique_ptr<DeviceNotifier> notifier;
    std::vector<std::string> seen;
    void OnDeviceChange(const DeviceChangeEvent& event) override {
      seen.push_back(event.path);
      if (event.path == "repost") PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "reposted"));
      if (event.path == "leave") notifier.reset();
    }
  } sink;
  sink.notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});

  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "repost"));
  PumpThreadMessages();  // what a sink posts waits for the next pump
  EXPECT_EQ(sink.seen, std::vector<std::string>{"repost"});
  PumpThreadMessages();
  EXPECT_EQ(sink.seen, (std::vector<std::string>{"repost", "reposted"}));

  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "leave"));
  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "dropped"));
  PumpThreadMessages();
  EXPECT_EQ(sink.notifier, nullptr);
  EXPECT_EQ(sink.seen, (std::vector<std::string>{"repost", "reposted", "leave"}));
}

TEST(DeviceEvents, APostFromAnotherThreadWakesAWaitingOwner) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  WakeSignal signal;
  std::atomic<bool> waiting{false};
  std::thread poster([&waiting] {
    while (!waiting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "sim:late"));
  });
  waiting = true;
  // The limit is far beyond any delay of the post; only a missed wake-up
  // reaches it.
  const auto start = std::chrono::steady_clock::now();
  WaitForSignalOrThreadMessages(&signal, 20000);
  const auto waited = std::chrono::steady_clock::now() - start;
  poster.join();
  EXPECT_LT(waited, std::chrono::seconds(10));
  PumpThreadMessages();
  EXPECT_EQ(sink.Paths(), std::vector<std::string>{"sim:late"});
  // The wake-up did not consume the signal's own state.
  EXPECT_FALSE(signal.Wait(0));
}

TEST(DeviceEvents, AnEventAlreadyQueuedEndsTheWaitAtOnce) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {APP_INTERFACE_GUID});
  PostDeviceChange(Arrival(APP_INTERFACE_GUID, "queued"));
  const auto start = std::chrono::steady_clock::now();
  WaitForSignalOrThreadMessages(nullptr, 20000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  PumpThreadMessages();
  EXPECT_EQ(sink.Paths(), std::vector<std::string>{"queued"});
}

TEST(DeviceEvents, TheSignalEndsTheWaitAndIsConsumed) {
  WakeSignal signal;
  std::thread setter([&signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    signal.Set();
  });
  const auto start = std::chrono::steady_clock::now();
  WaitForSignalOrThreadMessages(&signal, 20000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  setter.join();
  EXPECT_FALSE(signal.Wait(0));  // auto-reset
}

TEST(DeviceEvents, WaitsEndAtTheirTimeOutWhenNothingHappens) {
  WakeSignal signal;
  const auto start = std::chrono::steady_clock::now();
  WaitForSignalOrThreadMessages(&signal, 30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  EXPECT_FALSE(signal.Wait(10));
}

TEST(WakeSignalTest, OneSetReleasesOneWait) {
  WakeSignal signal;
  signal.Set();
  signal.Set();  // not counted: the signal is either set or not
  EXPECT_TRUE(signal.Wait(0));
  EXPECT_FALSE(signal.Wait(0));
  std::thread setter([&signal] { signal.Set(); });
  EXPECT_TRUE(signal.Wait(20000));
  setter.join();
}

#if !defined(_WIN32)  // a Windows notifier's window can only be destroyed by its own thread
// Destroying a notifier from another thread while its owner is inside the
// sink waits for the sink to return, so the sink can be freed afterwards.
TEST(DeviceEvents, UnregisteringFromAnotherThreadWaitsForARunningDelivery) {
  class CBlockingSink : public DeviceEventSink {
   public:
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> returned{false};
    void OnDeviceChange(const DeviceChangeEvent&) override {
      entered.set_value();
      release.get_future().wait();
      returned = true;
    }
  } sink;
  std::unique_ptr<DeviceNotifier> notifier;
  std::promise<void> created;
  std::thread owner([&] {
    notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
    created.set_value();
    WaitForSignalOrThreadMessages(nullptr, 20000);
    PumpThreadMessages();
  });
  created.get_future().wait();
  PostDeviceChange(Arrival(DFU_INTERFACE_GUID, "slow"));
  sink.entered.get_future().wait();

  std::thread releaser([&sink] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    sink.release.set_value();
  });
  notifier.reset();
  EXPECT_TRUE(sink.returned.load());
  releaser.join();
  owner.join();
}
#endif

}  // namespace
