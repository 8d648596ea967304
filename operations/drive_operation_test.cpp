// The loop that drives an operation to its end: what its observer hears and
// how each of the three ends leaves the operation.
#include "operations/drive_operation.h"

#include <gtest/gtest.h>

#include <vector>

#include "operations/engine_test_support.h"

namespace {

using DriveOperationTest = SimEngineTest;

// Hears everything; asks to stop once `stopWhen` held for a running record.
class CListener : public COperationObserver {
 public:
  bool StopRequested() override {
    ++stopQuestions;
    return stopNow;
  }
  void Running(const OperationContext& record) override {
    running.push_back(record.progress);
    if (stopWhen && stopWhen(record)) stopNow = true;
  }
  void Progress(uint8_t percent) override { shown.push_back(percent); }

  std::function<bool(const OperationContext&)> stopWhen;
  bool stopNow = false;
  int stopQuestions = 0;
  std::vector<int> running;
  std::vector<int> shown;
};

TEST_F(DriveOperationTest, ShowsEachNewPercentageOnceAndStopsTheOperationAtTheEnd) {
  Install();
  // 64 blocks: many publications, each percentage reached by several.
  const std::vector<uint8_t> flash = Pattern(64 * 2048, 5);
  ASSERT_TRUE(Device()->WriteMemory(0, 0x08000000, flash));
  auto image = MakeImage({{0x08000000, std::vector<uint8_t>(flash.size())}});
  OperationContext record = Context(OP_CODE_UPLOAD, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&record, &id), RESULT_OK);
  CListener listener;

  EXPECT_EQ(DriveOperation(id, &listener, &record), OperationEnd::kDone);

  EXPECT_EQ(record.result, RESULT_OK);
  EXPECT_EQ(record.progress, 100);
  EXPECT_EQ(RegisteredOperationCount(), 0u);  // stopped and destroyed
  ASSERT_FALSE(listener.shown.empty());
  EXPECT_EQ(listener.shown.back(), 100);
  for (size_t i = 1; i < listener.shown.size(); ++i) {
    EXPECT_LT(listener.shown[i - 1], listener.shown[i]) << "at " << i;
  }
  // Every percentage shown was first seen in a running record, and the
  // observer was asked about a stop before each of them.
  EXPECT_GE(listener.running.size(), listener.shown.size());
  EXPECT_EQ(listener.running.back(), 100);
  EXPECT_EQ(listener.stopQuestions, static_cast<int>(listener.running.size()));
  const ImageElement* element = image->ElementAt(0);
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(element->data, element->data + element->size), flash);
}

TEST_F(DriveOperationTest, StopRequestHaltsTheOperationAndAbortsTheDevice) {
  // Real flash timing: the erase of a 128 KiB sector keeps the device busy
  // for a second, and the stop comes during that wait.
  Install("", [](SimProfile* p) { p->timing = SimTiming::kReal; });
  auto image = MakeImage({{0x08020000, {}}, {0x08040000, {}}, {0x08060000, {}}});
  OperationContext record = Context(OP_CODE_ERASE, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&record, &id), RESULT_OK);
  CListener listener;
  listener.stopWhen = [](const OperationContext& running) {
    return running.deviceStatus.bState == DFU_STATE_DNBUSY && running.phase == PHASE_GETSTATUS;
  };

  EXPECT_EQ(DriveOperation(id, &listener, &record), OperationEnd::kStopped);

  EXPECT_EQ(record.result, RESULT_OK);
  EXPECT_LT(record.progress, 100);
  EXPECT_EQ(RegisteredOperationCount(), 0u);
  const std::vector<std::string> requests = ClassRequests();
  EXPECT_EQ(Only(requests, {"DNLOAD"}).size(), 1u);  // the second erase never started
  EXPECT_EQ(requests.back().rfind("ABORT 0 0 0", 0), 0u);
}

TEST_F(DriveOperationTest, PublishedFailureEndsTheDriveEvenWhenAStopIsAskedFor) {
  // Without bitCanUpload the device stalls the upload.
  Install("", [](SimProfile* p) { p->attributes = 0x09; });
  auto image = MakeImage({{0x08000000, std::vector<uint8_t>(2048)}});
  OperationContext record = Context(OP_CODE_UPLOAD, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&record, &id), RESULT_OK);
  // The failure is published before the drive starts.
  OperationContext published = record;
  for (int pass = 0; pass < 600 && published.result == RESULT_OK; ++pass) {
    WaitOperationActivity(id, 50);
    QueryOperation(id, &published);
  }
  ASSERT_NE(published.result, RESULT_OK);
  CListener listener;
  listener.stopNow = true;

  EXPECT_EQ(DriveOperation(id, &listener, &record), OperationEnd::kFailed);

  EXPECT_EQ(record.result, published.result);
  EXPECT_EQ(listener.stopQuestions, 0);
  EXPECT_TRUE(listener.shown.empty());
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

TEST_F(DriveOperationTest, UnknownOperationEndsAtOnceAsAFailure) {
  Install();
  OperationContext record{};
  CListener listener;
  EXPECT_EQ(DriveOperation(4321, &listener, &record), OperationEnd::kFailed);
  EXPECT_EQ(record.result, OP_ERR_BAD_PARAMETER);
  EXPECT_EQ(listener.stopQuestions, 0);
}

}  // namespace
