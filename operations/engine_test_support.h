// Test support for the engine's integration tests: a fresh virtual device per
// test, operations run to their end the way the console runs them, records
// of every publication, and the device's request log in compact form.
#ifndef ZUVA_OPERATIONS_ENGINE_TEST_SUPPORT_H_
#define ZUVA_OPERATIONS_ENGINE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_manager.h"
#include "operations/detach_thread.h"
#include "operations/operations.h"
#include "platform/device_notifier.h"
#include "sim/sim_environment.h"

// Every record an operation published, and a gate that can hold one
// publication back until the test lets it go. Shared, so that it outlives the
// operation, which StopOperation destroys.
class CPublicationLog {
 public:
  void Record(const OperationContext& in) {
    if (holdWhen && holdWhen(in)) {
      std::unique_lock<std::mutex> guard(mutex);
      held = true;
      changed.notify_all();
      changed.wait(guard, [this] { return released; });
    }
    std::lock_guard<std::mutex> guard(mutex);
    history.push_back(in);
  }
  std::vector<OperationContext> History() {
    std::lock_guard<std::mutex> guard(mutex);
    return history;
  }
  // Progress changed on its own, without a publication (the waits of a
  // detach operation).
  void RecordProgress(uint8_t progress) {
    std::lock_guard<std::mutex> guard(mutex);
    sharedProgress.push_back(progress);
  }
  std::vector<int> SharedProgress() {
    std::lock_guard<std::mutex> guard(mutex);
    return std::vector<int>(sharedProgress.begin(), sharedProgress.end());
  }
  // The distinct progress values in publication order.
  std::vector<int> ProgressSteps() {
    std::vector<int> steps;
    for (const OperationContext& record : History()) {
      if (steps.empty() || steps.back() != record.progress) steps.push_back(record.progress);
    }
    return steps;
  }
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, std::chrono::seconds(20), [this] { return held; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(mutex);
    released = true;
    changed.notify_all();
  }

  // Set before the launch: the first publication for which it is true waits
  // for Release; later ones pass once released.
  std::function<bool(const OperationContext&)> holdWhen;

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<OperationContext> history;
  std::vector<uint8_t> sharedProgress;
  bool held = false;
  bool released = false;
};

// An operation that logs every record it publishes.
template <typename TOperation>
class CRecording : public TOperation {
 public:
  explicit CRecording(OperationContext* caller) : TOperation(caller), log(std::make_shared<CPublicationLog>()) {}

  void PublishContext(const OperationContext& in) override {
    log->Record(in);
    TOperation::PublishContext(in);
  }
  void SetSharedProgress(uint8_t progress) override {
    log->RecordProgress(progress);
    TOperation::SetSharedProgress(progress);
  }

  const std::shared_ptr<CPublicationLog> log;
};

class SimEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDevicesManager();
    SetDetachTiming({1, 1});
  }
  void TearDown() override {
    ShutdownOperations();
    SimUninstall();
    DestroyDevicesManager();
    SetDetachTiming(OP_DETACH_TIMING);
    SetBusyLimit(OP_BUSY_LIMIT_MS);
  }

  // Installs a fresh virtual device: the default profile changed by `edit`,
  // with a fault plan.
  void Install(const std::string& faults = "", const std::function<void(SimProfile*)>& edit = nullptr) {
    SimDeviceOptions options;
    if (edit) edit(&options.profile);
    std::string error;
    ASSERT_TRUE(SimParseFaultPlan(faults, &options.faults, &error)) << error;
    backend = SimInstall(std::move(options), &error);
    ASSERT_NE(backend, nullptr) << error;
  }
  CDfuDevice* Device() { return backend->Device(); }
  CSimRecorder* Recorder() { return backend->Recorder(); }

  // Blanks a range of flash, as an erase would, without any request.
  void Blank(uint32_t address, uint32_t size) {
    ASSERT_TRUE(Device()->WriteMemory(0, address, std::vector<uint8_t>(size, 0xFF)));
  }

  OperationContext Context(OperationCode opCode, CImage* image) {
    OperationContext context{};
    EXPECT_TRUE(NewOperationContext(opCode, image, backend->CurrentPath(), &context));
    context.skipBlankBlocks = opCode == OP_CODE_DOWNLOAD ? 1 : 0;
    return context;
  }

  // Polls as the console does until the operation reports an error or a
  // progress of 100 (or `until` holds, or `limit` passes), then stops it;
  // the final record.
  OperationContext RunToEnd(OperationId id, const std::function<bool(const OperationContext&)>& until = nullptr,
                            std::chrono::seconds limit = std::chrono::seconds(30)) {
    OperationContext record{};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      WaitOperationActivity(id, 20);
      QueryOperation(id, &record);
      if (record.result != RESULT_OK) break;
      PumpThreadMessages();
      if (record.progress == 100 || (until && until(record))) break;
    }
    OperationContext final{};
    EXPECT_EQ(StopOperation(id, &final), RESULT_OK);
    return final;
  }

  // Launches through the registry and runs to the end.
  OperationContext Run(OperationContext context) {
    OperationId id = OP_INVALID_ID;
    const StatusCode launched = LaunchOperation(&context, &id);
    EXPECT_EQ(launched, RESULT_OK);
    if (launched != RESULT_OK) return context;
    return RunToEnd(id);
  }

  // Launches a recording operation of type T (or the recording type R built
  // on it); its log outlives it.
  template <typename T, typename R = CRecording<T>>
  std::shared_ptr<CPublicationLog> Start(OperationContext* context, OperationId* id,
                                         std::function<bool(const OperationContext&)> holdWhen = nullptr) {
    auto operation = std::make_unique<R>(context);
    std::shared_ptr<CPublicationLog> log = operation->log;
    log->holdWhen = std::move(holdWhen);
    EXPECT_EQ(RegisterOperation(std::move(operation), id), RESULT_OK);
    return log;
  }

  // Class requests (and USB resets) from log entry `from` on, as "NAME
  // wValue wIndex wLength", with " stall" or " gone" for requests that
  // failed.
  std::vector<std::string> ClassRequests(size_t from = 0) {
    static const char* const kClass[] = {"DETACH", "DNLOAD",   "UPLOAD", "GETSTATUS",
                                         "CLRSTATUS", "GETSTATE", "ABORT", "RESET"};
    std::vector<std::string> out;
    const std::vector<SimRequestRecord> log = Recorder()->RequestLog();
    for (size_t i = from; i < log.size(); ++i) {
      const SimRequestRecord& r = log[i];
      if (std::find(std::begin(kClass), std::end(kClass), r.name) == std::end(kClass)) continue;
      std::string text = r.name;
      for (uint32_t arg : r.args) text += " " + std::to_string(arg);
      if (r.outcome == SimOutcome::kStall) text += " stall";
      if (r.outcome == SimOutcome::kGone) text += " gone";
      out.push_back(text);
    }
    return out;
  }
  // Only the requests whose text begins with one of the prefixes.
  std::vector<std::string> Only(const std::vector<std::string>& requests, std::vector<std::string> prefixes) {
    std::vector<std::string> out;
    for (const std::string& r : requests) {
      for (const std::string& p : prefixes) {
        if (r.rfind(p, 0) == 0) {
          out.push_back(r);
          break;
        }
      }
    }
    return out;
  }
  // The addresses that the logged set-address-pointer commands name, in order.
  std::vector<uint32_t> SetAddressPointers() {
    std::vector<uint32_t> out;
    for (const SimRequestRecord& r : Recorder()->RequestLog()) {
      if (r.name != "DNLOAD" || r.args.empty() || r.args[0] != 0 || r.data.size() != 5 || r.data[0] != 0x21) continue;
      out.push_back(r.data[1] | r.data[2] << 8 | r.data[3] << 16 | uint32_t{r.data[4]} << 24);
    }
    return out;
  }
  // The number (from 1) of the n-th request (from 0) whose text begins with
  // `prefix`, counted over the whole log: where a fault plan must strike.
  uint32_t RequestNumber(const std::string& prefix, size_t n = 0) {
    const std::vector<SimRequestRecord> log = Recorder()->RequestLog();
    for (const SimRequestRecord& r : log) {
      std::string text = r.name;
      for (uint32_t arg : r.args) text += " " + std::to_string(arg);
      if (text.rfind(prefix, 0) == 0 && n-- == 0) return r.number;
    }
    ADD_FAILURE() << "no request " << prefix;
    return 0;
  }
  std::vector<uint8_t> Memory(uint32_t address, size_t size) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(Device()->ReadMemory(0, address, size, &bytes));
    return bytes;
  }

  std::shared_ptr<CSimBackend> backend;
};

// An image with the given elements.
inline std::unique_ptr<CImage> MakeImage(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& elements) {
  auto image = std::make_unique<CImage>();
  for (const auto& [address, bytes] : elements) {
    std::vector<uint8_t> copy = bytes;
    ImageElement element{address, static_cast<uint32_t>(copy.size()), copy.data()};
    image->SetElement(image->ElementCount(), 1, element);
  }
  return image;
}

// Bytes that are never all 0xFF in a block: a counting pattern.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 1) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

#endif  // ZUVA_OPERATIONS_ENGINE_TEST_SUPPORT_H_
