// The engine's front: launching, polling and stopping, and the registry.
#include "operations/operations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "operations/download_thread.h"
#include "operations/engine_test_support.h"

namespace {

using OperationsTest = SimEngineTest;

TEST_F(OperationsTest, CodeOutsideTheRangeCreatesNothing) {
  Install();
  for (OperationCode code : {-1, OP_CODE_LAST + 1}) {
    OperationContext context = Context(code, nullptr);
    context.result = 0x55;
    context.blockSize = 77;
    OperationId id = 1234;
    EXPECT_EQ(LaunchOperation(&context, &id), OP_ERR_BAD_PARAMETER);
    EXPECT_EQ(id, 1234u);
    EXPECT_EQ(context.result, 0x55u);
    EXPECT_EQ(context.blockSize, 77);
    EXPECT_EQ(RegisteredOperationCount(), 0u);
  }
  EXPECT_TRUE(Recorder()->RequestLog().empty());
}

TEST_F(OperationsTest, DeviceThatDoesNotOpenIsReportedAndNothingRegistered) {
  Install();
  CImage image;
  for (OperationCode code : {OP_CODE_LEAVE_DFU, OP_CODE_UPLOAD, OP_CODE_DOWNLOAD}) {
    OperationContext context = Context(code, &image);
    std::strcpy(context.devicePath, "sim:7");
    OperationId id = 1234;
    EXPECT_EQ(LaunchOperation(&context, &id), DEV_ERR_OPEN_FAILED);
    EXPECT_EQ(context.result, DEV_ERR_OPEN_FAILED);
    EXPECT_EQ(id, 1234u);
    EXPECT_EQ(RegisteredOperationCount(), 0u);
  }
}

TEST_F(OperationsTest, StopHaltsDestroysAndForgetsTheOperation) {
  Install();
  CImage image;
  OperationContext context = Context(OP_CODE_DOWNLOAD, &image);
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
  EXPECT_NE(id, OP_INVALID_ID);
  EXPECT_EQ(context.result, RESULT_OK);
  EXPECT_EQ(context.blockSize, 2048);
  EXPECT_EQ(RegisteredOperationCount(), 1u);

  EXPECT_EQ(StopOperation(id, nullptr), RESULT_OK);
  EXPECT_EQ(RegisteredOperationCount(), 0u);
  EXPECT_EQ(StopOperation(id, nullptr), OP_ERR_BAD_PARAMETER);
  EXPECT_EQ(StopOperation(id + 1000, nullptr), OP_ERR_BAD_PARAMETER);
  OperationContext untouched{};
  untouched.progress = 42;
  QueryOperation(id, &untouched);
  EXPECT_EQ(untouched.progress, 42);
  EXPECT_EQ(WaitOperationActivity(id, 0), OP_ERR_BAD_PARAMETER);
}

TEST_F(OperationsTest, OperationsStoppedInReverseOrderEachRemoveTheirOwnEntry) {
  Install();
  CImage image;
  // Each operation finishes (progress 100) before the next is launched: the
  // device layer serves one thread at a time.
  std::vector<OperationId> ids;
  for (int i = 0; i < 3; ++i) {
    OperationContext context = Context(OP_CODE_UPLOAD, &image);
    OperationId id = OP_INVALID_ID;
    ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
    OperationContext record{};
    do {
      ASSERT_EQ(WaitOperationActivity(id, 100), RESULT_OK);
      QueryOperation(id, &record);
    } while (record.progress != 100);
    ids.push_back(id);
  }
  EXPECT_EQ(std::set<OperationId>(ids.begin(), ids.end()).size(), 3u);
  for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
    OperationContext final{};
    EXPECT_EQ(StopOperation(*it, &final), RESULT_OK);
    EXPECT_EQ(final.progress, 100);
    for (auto earlier = ids.begin(); earlier != it.base() - 1; ++earlier) {
      OperationContext record{};
      QueryOperation(*earlier, &record);
      EXPECT_EQ(record.progress, 100);  // still registered and readable
    }
  }
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

// A program that flashes several devices at once launches, polls and stops
// from a thread per device; the registry is theirs to share.
TEST_F(OperationsTest, ThreadsDriveTheirOwnOperationsOnTheirOwnDevices) {
  std::vector<SimDeviceOptions> devices(2);
  for (uint32_t i = 0; i < devices.size(); ++i) {
    devices[i].firstAttachment = i;
    devices[i].attachmentStep = static_cast<uint32_t>(devices.size());
  }
  std::vector<std::shared_ptr<CSimBackend>> installed;
  std::string error;
  ASSERT_TRUE(SimInstallAll(std::move(devices), &installed, &error)) << error;
  constexpr int kRounds = 5;
  std::vector<int> finished(installed.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < installed.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        auto image = MakeImage({{0x08000000, std::vector<uint8_t>(4096)}});
        OperationContext context{};
        NewOperationContext(OP_CODE_UPLOAD, image.get(), installed[i]->CurrentPath(), &context);
        OperationId id = OP_INVALID_ID;
        if (LaunchOperation(&context, &id) != RESULT_OK) return;
        OperationContext record{};
        do {
          WaitOperationActivity(id, 100);
          QueryOperation(id, &record);
        } while (record.progress != 100 && record.result == RESULT_OK);
        if (StopOperation(id, nullptr) == RESULT_OK && record.result == RESULT_OK) ++finished[i];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(finished, std::vector<int>(installed.size(), kRounds));
  EXPECT_EQ(RegisteredOperationCount(), 0u);
  // Every upload read its two blocks from its own device.
  for (const auto& backend : installed) {
    const std::vector<SimRequestRecord> log = backend->Recorder()->RequestLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const SimRequestRecord& r) { return r.name == "UPLOAD"; }),
              2 * kRounds);
  }
}

TEST_F(OperationsTest, ShutdownHaltsEveryOperationStillRegistered) {
  Install("", [](SimProfile* p) { p->timing = SimTiming::kReal; });
  auto image = MakeImage({{0x08020000, {}}});
  OperationContext context = Context(OP_CODE_ERASE, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
  ShutdownOperations();
  EXPECT_EQ(RegisteredOperationCount(), 0u);
  EXPECT_EQ(StopOperation(id, nullptr), OP_ERR_BAD_PARAMETER);
}

// A download whose worker can never start.
class CStillborn : public CDownloadThread {
 public:
  CStillborn(OperationContext* caller, bool* destroyed) : CDownloadThread(caller), destroyed(destroyed) {}
  ~CStillborn() override { *destroyed = true; }
  bool LaunchWorker() override { return false; }
  bool* destroyed;
};

TEST_F(OperationsTest, WorkerThatCannotStartLeavesNothingRegistered) {
  Install();
  CImage image;
  OperationContext context = Context(OP_CODE_DOWNLOAD, &image);
  bool destroyed = false;
  OperationId id = 1234;
  EXPECT_EQ(RegisterOperation(std::make_unique<CStillborn>(&context, &destroyed), &id), OP_ERR_THREAD_LAUNCH);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(id, 1234u);
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

TEST_F(OperationsTest, ActivityWakesTheConsoleOnlyWhenProgressOrResultChanges) {
  Install();
  // 64 blocks of 2048 bytes: several publications per block, at most 100
  // progress changes.
  auto image = MakeImage({{0x08000000, std::vector<uint8_t>(64 * 2048)}});
  OperationContext context = Context(OP_CODE_UPLOAD, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
  // The time-out is far away: a wake-up that went missing would show as a
  // stalled test, and each return is a wake-up the worker asked for.
  OperationContext record{};
  uint32_t wakeups = 0;
  do {
    ASSERT_EQ(WaitOperationActivity(id, 60000), RESULT_OK);
    QueryOperation(id, &record);
    ++wakeups;
  } while (record.result == RESULT_OK && record.progress != 100);
  EXPECT_EQ(record.result, RESULT_OK);
  EXPECT_GT(record.publishCount, 3u * 64u);
  EXPECT_LE(wakeups, 100u + 2u);  // progress steps, a result, the worker's end
  EXPECT_EQ(StopOperation(id, nullptr), RESULT_OK);
}

}  // namespace
