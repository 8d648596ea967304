// Leaving DFU mode and detaching into it, against the virtual device: the
// requests, and the removal and arrival events as the launching thread pumps
// them.
#include "operations/detach_thread.h"

#include <gtest/gtest.h>

#include "device/fake_driver_test_support.h"
#include "operations/engine_test_support.h"
#include "platform/device_notifier.h"

namespace {

class DetachTest : public SimEngineTest {
 protected:
  // Leave needs an element to address; the memory map's first sector will do.
  std::unique_ptr<CImage> SectorImage() { return MakeImage({{0x08000000, std::vector<uint8_t>(16, 0xFF)}}); }

  // Queries without pumping until the record satisfies `ready`, so that no
  // device-change event is delivered before.
  OperationContext QueryUntil(OperationId id, const std::function<bool(const OperationContext&)>& ready) {
    OperationContext record{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      QueryOperation(id, &record);
      if (ready(record)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(ready(record));
    return record;
  }
  static bool WaitingForRemoval(const OperationContext& record) { return record.phase == PHASE_WAIT_REMOVAL; }
  // No poll of the wait before the test pumps the notices: a poll would find
  // the device gone from the listing and end the wait without them.
  static void PollOnlyAfterTheNotices() { SetDetachTiming({10000, 1}); }

  // The request numbers of a clean leave: the leave request and its status.
  uint32_t LeaveStatusNumber() {
    Install();
    auto image = SectorImage();
    EXPECT_EQ(Run(Context(OP_CODE_LEAVE_DFU, image.get())).result, RESULT_OK);
    const uint32_t number = RequestNumber("DNLOAD 0 0 0") + 1;
    SimUninstall();
    return number;
  }
  std::string At(const char* fault, uint32_t number) { return std::string(fault) + "@" + std::to_string(number); }
};

const std::vector<std::string> kLeaveSequence = {"GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "GETSTATE 0 0 1",
                                                 "DNLOAD 0 0 0", "GETSTATUS 0 0 6"};

TEST_F(DetachTest, LeaveSendsTheLeaveRequestAndEndsWithTheRemoval) {
  PollOnlyAfterTheNotices();
  Install();
  auto image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
  // The removal is still queued: delivered only once the wait is published.
  const OperationContext waiting = QueryUntil(id, WaitingForRemoval);
  EXPECT_EQ(waiting.result, RESULT_OK);
  EXPECT_STREQ(waiting.devicePath, "sim:0");
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_EQ(final.phase, PHASE_REATTACHED);
  EXPECT_STREQ(final.devicePath, "Tolerant");
  EXPECT_EQ(ClassRequests(), kLeaveSequence);
  EXPECT_FALSE(Device()->Present());
}

TEST_F(DetachTest, RemovalDeliveredBeforeTheWaitIsPublishedStillCounts) {
  Install();
  auto image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  // Hold the worker right after the status that made the device leave.
  auto log = Start<CDetachThread>(&context, &id, [](const OperationContext& r) {
    return r.deviceStatus.bState == DFU_STATE_MANIFEST;
  });
  ASSERT_TRUE(log->WaitUntilHeld());
  PumpThreadMessages();  // the removal reaches the sink now
  log->Release();
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_STREQ(final.devicePath, "Tolerant");
}

TEST_F(DetachTest, StepAfterTheRemovalFollowsAtOnceNotAtTheNextPoll) {
  // A poll interval far longer than RunToEnd waits: only the wake-up on the
  // removal can end the leave in time.
  SetDetachTiming({60000, 1});
  for (bool removalBeforeTheWait : {false, true}) {
    Install();
    auto image = SectorImage();
    OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
    OperationId id = OP_INVALID_ID;
    if (removalBeforeTheWait) {
      auto log = Start<CDetachThread>(&context, &id, [](const OperationContext& r) {
        return r.deviceStatus.bState == DFU_STATE_MANIFEST;
      });
      ASSERT_TRUE(log->WaitUntilHeld());
      PumpThreadMessages();
      log->Release();
    } else {
      ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
      QueryUntil(id, WaitingForRemoval);
    }
    const OperationContext final = RunToEnd(id);
    EXPECT_EQ(final.result, RESULT_OK) << removalBeforeTheWait;
    EXPECT_EQ(final.progress, 100) << removalBeforeTheWait;
    SimUninstall();
  }
}

TEST_F(DetachTest, LeaveAnsweredBusyPollsTheDeviceUntilItManifests) {
  const uint32_t status = LeaveStatusNumber();
  // Busy, then dfuDNLOAD-IDLE: the leave request goes again and succeeds.
  Install(At("status=0x00:4", status));
  auto image = SectorImage();
  OperationContext final = Run(Context(OP_CODE_LEAVE_DFU, image.get()));
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_STREQ(final.devicePath, "Tolerant");
  std::vector<std::string> expected = kLeaveSequence;
  expected.insert(expected.end(), {"GETSTATUS 0 0 6", "GETSTATE 0 0 1", "DNLOAD 0 0 0", "GETSTATUS 0 0 6"});
  EXPECT_EQ(ClassRequests(), expected);
  SimUninstall();

  // Busy, then a manifestation state: the device closes itself and the
  // operation waits for it to go.
  Install(At("status=0x00:4", status) + "," + At("status=0x00:7", status + 1));
  image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
  QueryUntil(id, WaitingForRemoval);
  backend->Unplug();
  final = RunToEnd(id);
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  expected = kLeaveSequence;
  expected.push_back("GETSTATUS 0 0 6");
  EXPECT_EQ(ClassRequests(), expected);
}

TEST_F(DetachTest, FailedPollAfterBusyLeaveRequestLetsTheRemovalDecide) {
  const uint32_t status = LeaveStatusNumber();
  struct Case {
    const char* fault;  // on the poll after the busy answer to the leave request
    StatusCode expected;
  } cases[] = {
      // It manifested and left before answering; the platform announces the
      // removal only after the failed read.
      {"unplug", RESULT_OK},
      // It refuses the poll and stays: the wait for the removal runs out.
      {"stall", OP_ERR_UNEXPECTED},
  };
  for (const Case& c : cases) {
    Install(At("status=0x00:4", status) + "," + At(c.fault, status + 1));
    auto image = SectorImage();
    OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
    OperationId id = OP_INVALID_ID;
    ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
    // No event is pumped yet: the removal notice is still on its way (the
    // wait may already have found the device gone from the listing).
    const OperationContext waiting = QueryUntil(id, [](const OperationContext& r) {
      return r.result != RESULT_OK || r.phase == PHASE_WAIT_REMOVAL || r.phase == PHASE_REATTACHED;
    });
    EXPECT_EQ(waiting.result, RESULT_OK) << c.fault;
    const OperationContext final = RunToEnd(id);
    EXPECT_EQ(final.result, c.expected) << c.fault;
    std::vector<std::string> expected = kLeaveSequence;
    expected.push_back(std::string("GETSTATUS 0 0 6 ") + (c.expected == RESULT_OK ? "gone" : "stall"));
    EXPECT_EQ(ClassRequests(), expected) << c.fault;
    if (c.expected == RESULT_OK) {
      EXPECT_EQ(final.progress, 100);
      EXPECT_STREQ(final.devicePath, "Tolerant");
    }
    SimUninstall();
  }
}

// Only a device that the leave request reached may count as gone because of
// it: one that vanished before (its removal seen or not) fails the leave,
// while one that took the request in and left at once has left.
TEST_F(DetachTest, LeaveCountsOnlyForADeviceTheRequestReached) {
  const uint32_t leave = LeaveStatusNumber() - 1;
  struct Case {
    std::string faults;
    StatusCode expected;
  } cases[] = {
      {At("unplug", leave), OP_ERR_UNEXPECTED},
      {At("unplug", leave + 1), RESULT_OK},
  };
  for (const Case& c : cases) {
    Install(c.faults);
    auto image = SectorImage();
    const OperationContext final = Run(Context(OP_CODE_LEAVE_DFU, image.get()));
    EXPECT_EQ(final.result, c.expected) << c.faults;
    EXPECT_EQ(Only(ClassRequests(), {"DNLOAD"}),
              std::vector<std::string>{std::string("DNLOAD 0 0 0") + (c.expected == RESULT_OK ? "" : " gone")})
        << c.faults;
    SimUninstall();
  }
}

TEST_F(DetachTest, LeaveGivesUpAfterThreeBusyAnswers) {
  const uint32_t status = LeaveStatusNumber();
  Install(At("status=0x00:4", status) + "," + At("status=0x00:4", status + 1) + "," +
          At("status=0x00:4", status + 2));
  auto image = SectorImage();
  const OperationContext final = Run(Context(OP_CODE_LEAVE_DFU, image.get()));
  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  std::vector<std::string> expected = kLeaveSequence;
  // The abort is sent (a device still busy refuses it).
  expected.insert(expected.end(), {"GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0 stall"});
  EXPECT_EQ(ClassRequests(), expected);
}

TEST_F(DetachTest, LeaveRequestIsSentAgainOnlyOnce) {
  const uint32_t status = LeaveStatusNumber();
  // Busy, idle (the request goes again: GETSTATE, DNLOAD, its status busy),
  // then busy or idle once more: either ends the operation.
  for (const char* last : {"status=0x00:4", "status=0x00:5"}) {
    Install(At("status=0x00:4", status) + "," + At("status=0x00:5", status + 1) + "," +
            At("status=0x00:4", status + 4) + "," + At(last, status + 5));
    auto image = SectorImage();
    const OperationContext final = Run(Context(OP_CODE_LEAVE_DFU, image.get()));
    EXPECT_EQ(final.result, OP_ERR_UNEXPECTED) << last;
    EXPECT_EQ(Only(ClassRequests(), {"DNLOAD"}).size(), 2u) << last;
    EXPECT_EQ(ClassRequests().back().rfind("ABORT 0 0 0", 0), 0u) << last;
    SimUninstall();
  }
}

TEST_F(DetachTest, LeaveAnsweredWithTheNotStartedMarkerIsNotBegunAgain) {
  const uint32_t status = LeaveStatusNumber();
  // bState 0xFF (and 0xFE) are the record's own markers before any answer;
  // a device that answers them after the leave request must not start the
  // operation over, which sent the leave request again every poll for ever.
  for (const char* fault : {"status=0x00:0xFF", "status=0x00:0xFE"}) {
    Install(At(fault, status), [](SimProfile* p) { p->attributes = 0x0B; });
    auto image = SectorImage();
    OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
    OperationId id = OP_INVALID_ID;
    ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
    QueryUntil(id, WaitingForRemoval);
    backend->Unplug();
    const OperationContext final = RunToEnd(id);
    EXPECT_EQ(final.result, RESULT_OK) << fault;
    EXPECT_EQ(final.progress, 100) << fault;
    EXPECT_EQ(Only(ClassRequests(), {"DNLOAD"}).size(), 1u) << fault;
    SimUninstall();
  }
}

TEST_F(DetachTest, RefusedLeaveRequestWaitsForTheRemovalAndGivesUpAfterTwoHundredPolls) {
  // A device that cannot download stalls the leave request.
  Install("", [](SimProfile* p) { p->attributes = 0x0A; });
  auto image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CDetachThread>(&context, &id, WaitingForRemoval);
  ASSERT_TRUE(log->WaitUntilHeld());
  // What a reader saw last, after three refused attempts: no error, or the
  // console would stop an operation that still waits for the device.
  OperationContext seen{};
  QueryOperation(id, &seen);
  EXPECT_EQ(seen.result, RESULT_OK);
  EXPECT_EQ(seen.phase, PHASE_CLRSTATUS);
  log->Release();
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(final.phase, PHASE_WAIT_REMOVAL);
  // 200 polls: 200 / 8 + 25; the 199th would read 49.
  EXPECT_EQ(final.progress, 50);
  EXPECT_EQ(Only(ClassRequests(), {"DNLOAD"}).size(), 3u);
}

// A detach whose device leaves and never comes back: arrivals do not reach it.
class CNeverArrives : public CRecording<CDetachThread> {
 public:
  using CRecording<CDetachThread>::CRecording;
  void OnDeviceChange(const DeviceChangeEvent& event) override {
    if (event.kind != DeviceChangeKind::kArrival) CRecording<CDetachThread>::OnDeviceChange(event);
  }
};

// A leave whose removal notice never comes, as on a platform that lost it.
class CDeafToRemovals : public CRecording<CDetachThread> {
 public:
  using CRecording<CDetachThread>::CRecording;
  void OnDeviceChange(const DeviceChangeEvent& event) override {
    if (event.kind != DeviceChangeKind::kRemoval) CRecording<CDetachThread>::OnDeviceChange(event);
  }
};

TEST_F(DetachTest, LeaveWithoutARemovalNoticeEndsOnceTheDeviceIsNoLongerListed) {
  Install();
  auto image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CDetachThread, CDeafToRemovals>(&context, &id);
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_STREQ(final.devicePath, "Tolerant");
  // The listing asks the device nothing.
  EXPECT_EQ(ClassRequests(), kLeaveSequence);
}

TEST_F(DetachTest, LeaveDoesNotTakeAFailedListingForTheDevicesRemoval) {
  Install();
  // Another source whose listing fails: the listing as a whole proves nothing.
  auto failing = std::make_shared<CFakeDriverBackend>();
  failing->SetListingFails(true);
  RegisterDriverBackend(failing);
  auto image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CDetachThread, CDeafToRemovals>(&context, &id);
  const OperationContext final = RunToEnd(id);
  UnregisterDriverBackend(failing.get());

  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(final.phase, PHASE_WAIT_REMOVAL);
}

TEST_F(DetachTest, WaitProgressReadsThirtyFiveAndSixtyAtTheEightiethPoll) {
  // Waiting for a removal that never comes: a refused leave request.
  Install("", [](SimProfile* p) { p->attributes = 0x0A; });
  auto image = SectorImage();
  OperationContext context = Context(OP_CODE_LEAVE_DFU, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CDetachThread>(&context, &id);
  EXPECT_EQ(RunToEnd(id).result, OP_ERR_UNEXPECTED);
  std::vector<int> polls = log->SharedProgress();
  ASSERT_EQ(polls.size(), 200u);
  EXPECT_EQ(polls[78], 34);
  EXPECT_EQ(polls[79], 35);
  SimUninstall();

  // Waiting for an arrival that never comes, after the 30 pauses of the
  // detach and the polls until the removal is seen.
  Install("", [](SimProfile* p) { p->mode = SimMode::kApplication; });
  context = Context(OP_CODE_DETACH, nullptr);
  log = Start<CDetachThread, CNeverArrives>(&context, &id);
  EXPECT_EQ(RunToEnd(id).result, OP_ERR_UNEXPECTED);
  polls = log->SharedProgress();
  const auto arrival = std::find_if(polls.begin(), polls.end(), [](int p) { return p >= 50; });
  ASSERT_GE(polls.end() - arrival, 200);
  EXPECT_EQ(arrival[78], 59);
  EXPECT_EQ(arrival[79], 60);
}

TEST_F(DetachTest, DeviceWithoutTheNeededAttributesIsRefusedBeforeAnyRequest) {
  struct Case {
    uint8_t attributes;
    OperationCode opCode;
  } cases[] = {{0x03, OP_CODE_LEAVE_DFU}, {0x03, OP_CODE_DETACH}, {0x0F, OP_CODE_LEAVE_DFU}};
  for (const Case& c : cases) {
    Install("", [&](SimProfile* p) { p->attributes = c.attributes; });
    auto image = SectorImage();
    const OperationContext final = Run(Context(c.opCode, image.get()));
    EXPECT_EQ(final.result, OP_ERR_UNSUPPORTED_FEATURE) << int(c.attributes);
    EXPECT_TRUE(ClassRequests().empty());
    SimUninstall();
  }
}

TEST_F(DetachTest, DetachFollowsTheDeviceToItsNewPathAndSettlesIt) {
  PollOnlyAfterTheNotices();
  for (bool pumpAtOnce : {false, true}) {
    Install("", [](SimProfile* p) { p->mode = SimMode::kApplication; });
    OperationContext context = Context(OP_CODE_DETACH, nullptr);
    OperationId id = OP_INVALID_ID;
    auto log = Start<CDetachThread>(&context, &id);
    if (!pumpAtOnce) QueryUntil(id, WaitingForRemoval);
    const OperationContext final = RunToEnd(id);

    EXPECT_EQ(final.result, RESULT_OK) << pumpAtOnce;
    EXPECT_EQ(final.progress, 100);
    EXPECT_STREQ(final.devicePath, "sim:1");
    EXPECT_EQ(ClassRequests(), (std::vector<std::string>{"DETACH 5000 0 0", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6"}));
    bool resetting = false;
    for (const OperationContext& r : log->History()) {
      if (r.phase == PHASE_WAIT_ARRIVAL && std::strcmp(r.devicePath, "Resetting") == 0) resetting = true;
    }
    // In the regular order the removal is seen on its own first.
    if (!pumpAtOnce) {
      EXPECT_TRUE(resetting);
    }
    SimUninstall();
  }
}

TEST_F(DetachTest, DetachWithResetResetsOnlyADeviceThatDoesNotDetachByItself) {
  struct Case {
    const char* name;
    uint8_t attributes;
    std::vector<std::string> requests;
  } cases[] = {
      {"WaitsInAppDetach", 0x03, {"DETACH 5000 0 0", "RESET", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6"}},
      {"DetachesByItself", 0x0B, {"DETACH 5000 0 0", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6"}},
  };
  for (const Case& c : cases) {
    Install("", [&](SimProfile* p) {
      p->mode = SimMode::kApplication;
      p->attributes = c.attributes;
    });
    const OperationContext final = Run(Context(OP_CODE_DETACH_RESET, nullptr));
    EXPECT_EQ(final.result, RESULT_OK) << c.name;
    EXPECT_EQ(final.progress, 100) << c.name;
    EXPECT_STREQ(final.devicePath, "sim:1") << c.name;
    EXPECT_TRUE(Device()->InDfuMode()) << c.name;
    EXPECT_EQ(ClassRequests(), c.requests) << c.name;
    SimUninstall();
  }
}

TEST_F(DetachTest, DetachWithResetFailsWhenThePortRefusesTheReset) {
  auto install = [this](const std::string& faults) {
    Install(faults, [](SimProfile* p) {
      p->mode = SimMode::kApplication;
      p->attributes = 0x03;
    });
  };
  install("");
  Run(Context(OP_CODE_DETACH_RESET, nullptr));
  const uint32_t reset = RequestNumber("RESET");
  SimUninstall();

  install("stall@" + std::to_string(reset));
  const OperationContext final = Run(Context(OP_CODE_DETACH_RESET, nullptr));
  EXPECT_EQ(final.result, DEV_ERR_RESET_FAILED);
  EXPECT_FALSE(Device()->InDfuMode());
  EXPECT_STREQ(backend->CurrentPath().c_str(), "sim:0");
}

TEST_F(DetachTest, CompositeDeviceIsDetachedThroughItsDfuInterfacesOwnNumber) {
  Install("", [](SimProfile* p) {
    p->mode = SimMode::kApplication;
    p->extraInterfaces = 2;
  });
  const OperationContext final = Run(Context(OP_CODE_DETACH, nullptr));
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_EQ(ClassRequests(), (std::vector<std::string>{"DETACH 5000 2 0", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6"}));
}

// The sink alone: which events change the record.
TEST_F(DetachTest, OnlyTheRemovalOfTheDeviceAndAnArrivalAfterItChangeTheRecord) {
  Install();
  struct Case {
    const char* name;
    OperationCode opCode;
    uint32_t phase;
    DeviceChangeKind kind;
    std::string path;
    uint32_t expectedPhase;
    std::string expectedPath;
  } cases[] = {
      {"OtherDeviceLeaves", OP_CODE_LEAVE_DFU, PHASE_WAIT_REMOVAL, DeviceChangeKind::kRemoval, "sim:9",
       PHASE_WAIT_REMOVAL, "sim:0"},
      {"LeavesInOtherCase", OP_CODE_LEAVE_DFU, PHASE_WAIT_REMOVAL, DeviceChangeKind::kRemoval, "SIM:0",
       PHASE_REATTACHED, "Tolerant"},
      {"LeavesBeforeAnyRequest", OP_CODE_LEAVE_DFU, PHASE_GETSTATUS, DeviceChangeKind::kRemoval, "sim:0",
       PHASE_GETSTATUS, "sim:0"},
      {"DetachedDeviceLeaves", OP_CODE_DETACH, PHASE_WAIT_REMOVAL, DeviceChangeKind::kRemoval, "sim:0",
       PHASE_WAIT_ARRIVAL, "Resetting"},
      {"ArrivesTooEarly", OP_CODE_DETACH, PHASE_WAIT_REMOVAL, DeviceChangeKind::kArrival, "sim:1",
       PHASE_WAIT_REMOVAL, "sim:0"},
      {"Arrives", OP_CODE_DETACH, PHASE_WAIT_ARRIVAL, DeviceChangeKind::kArrival, "sim:1", PHASE_REATTACHED,
       "sim:1"},
      {"ArrivesWithAnOverlongName", OP_CODE_DETACH, PHASE_WAIT_ARRIVAL, DeviceChangeKind::kArrival,
       std::string(OP_DEVICE_PATH_CAPACITY, 'x'), PHASE_WAIT_ARRIVAL, "sim:0"},
  };
  for (const Case& c : cases) {
    OperationContext context = Context(c.opCode, nullptr);
    CDetachThread operation(&context);
    ASSERT_EQ(context.result, RESULT_OK);
    OperationContext record;
    operation.ReadContext(&record);
    record.phase = c.phase;
    operation.PublishContext(record);
    operation.OnDeviceChange({c.kind, DFU_INTERFACE_GUID, c.path});
    operation.ReadContext(&record);
    EXPECT_EQ(record.phase, c.expectedPhase) << c.name;
    EXPECT_EQ(record.devicePath, c.expectedPath) << c.name;
  }
}

}  // namespace
