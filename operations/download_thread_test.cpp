// Erase and download against the virtual device, asserted on its request log.
#include "operations/download_thread.h"

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "operations/engine_test_support.h"

namespace {

using DownloadTest = SimEngineTest;

constexpr uint32_t FLASH = 0x08000000;

void UseTransferSize1024(SimProfile* profile) { profile->transferSize = 1024; }

TEST_F(DownloadTest, EraseSendsOneCommandPerElementAndRaisesProgressByElement) {
  Install();
  auto image = MakeImage({{0x08000000, {}}, {0x08004000, {}}, {0x08020000, {}}});
  OperationContext context = Context(OP_CODE_ERASE, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CDownloadThread>(&context, &id);
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  const std::vector<std::string> commands = Only(ClassRequests(), {"DNLOAD"});
  EXPECT_EQ(commands, (std::vector<std::string>{"DNLOAD 0 0 5", "DNLOAD 0 0 5", "DNLOAD 0 0 5"}));
  std::vector<std::vector<uint8_t>> sent;
  for (const SimRequestRecord& r : Recorder()->RequestLog()) {
    if (r.name == "DNLOAD") sent.push_back(r.data);
  }
  EXPECT_EQ(sent, (std::vector<std::vector<uint8_t>>{{0x41, 0x00, 0x00, 0x00, 0x08},
                                                      {0x41, 0x00, 0x40, 0x00, 0x08},
                                                      {0x41, 0x00, 0x00, 0x02, 0x08}}));
  EXPECT_EQ(log->ProgressSteps(), (std::vector<int>{0, 33, 66, 99, 100}));
  EXPECT_EQ(Memory(0x08004000, 0x4000), std::vector<uint8_t>(0x4000, 0xFF));
}

TEST_F(DownloadTest, DownloadSendsTheAddressCommandThenNumberedBlocks) {
  Install("", UseTransferSize1024);
  Blank(FLASH, 0x4000);
  const std::vector<uint8_t> bytes = Pattern(2500);
  auto image = MakeImage({{FLASH, bytes}});
  OperationContext context = Context(OP_CODE_DOWNLOAD, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CDownloadThread>(&context, &id);
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  // Settle to dfuIDLE, the command after a look at the state, each request
  // followed by its status and the poll that finds the device idle again,
  // and the final settle that aborts out of dfuDNLOAD-IDLE.
  const std::vector<std::string> expected = {
      "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",                     // settle
      "GETSTATE 0 0 1",  "DNLOAD 0 0 5", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",
      "DNLOAD 2 0 1024", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",
      "DNLOAD 3 0 1024", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",
      "DNLOAD 4 0 452",  "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",
      "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0", "GETSTATUS 0 0 6"};  // settle
  EXPECT_EQ(ClassRequests(), expected);
  EXPECT_EQ(Recorder()->RequestLog().size() > 0, true);
  for (const SimRequestRecord& r : Recorder()->RequestLog()) {
    if (r.name == "DNLOAD" && r.args[0] == 0) {
      EXPECT_EQ(r.data, (std::vector<uint8_t>{0x21, 0x00, 0x00, 0x00, 0x08}));
    }
  }
  EXPECT_EQ(Memory(FLASH, bytes.size()), bytes);
  EXPECT_EQ(log->ProgressSteps(), (std::vector<int>{0, 33, 66, 100}));
  EXPECT_EQ(final.blockSize, 1024);
}

// A block number has 16 bits and 0 and 1 are commands: an element of more
// than 65,534 blocks goes on from a new address pointer, as a new element
// would.
TEST_F(DownloadTest, ElementBeyondOnePointerIsWrittenInChunks) {
  // 8-byte blocks over the whole 512 KiB internal flash: 65,536 blocks.
  // With blank blocks left out, blank blocks on both sides of the last
  // block a pointer reaches must not carry the numbering past it.
  constexpr uint32_t SIZE = 0x80000;
  for (const bool skipBlank : {false, true}) {
    SCOPED_TRACE(skipBlank ? "blank blocks left out" : "every block sent");
    Install("", [](SimProfile* p) { p->transferSize = 8; });
    Blank(FLASH, SIZE);
    std::vector<uint8_t> bytes(SIZE);
    for (uint32_t i = 0; i < SIZE; ++i) bytes[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16));
    // Blocks 65,528 to 65,534 of the element: the last six the first
    // pointer reaches (wire numbers 65,530 to 65,535) and the first after.
    std::fill(bytes.begin() + 65528 * 8, bytes.begin() + 65535 * 8, 0xFF);
    auto image = MakeImage({{FLASH, bytes}});
    OperationContext context = Context(OP_CODE_DOWNLOAD, image.get());
    context.skipBlankBlocks = skipBlank ? 1 : 0;
    OperationId id = OP_INVALID_ID;
    auto log = Start<CDownloadThread>(&context, &id);
    // Some 200,000 requests: the sanitizer builds need longer than the
    // usual limit.
    const OperationContext final = RunToEnd(id, nullptr, std::chrono::seconds(300));

    ASSERT_EQ(final.result, RESULT_OK);
    EXPECT_EQ(final.progress, 100);
    EXPECT_TRUE(Memory(FLASH, SIZE) == bytes);
    std::vector<std::vector<uint8_t>> commands;
    for (const SimRequestRecord& r : Recorder()->RequestLog()) {
      if (r.name == "DNLOAD" && r.args[0] == 0) commands.push_back(r.data);
    }
    // 0x08000000 + 65,534 x 8 = 0x0807FFF0.
    EXPECT_EQ(commands, (std::vector<std::vector<uint8_t>>{{0x21, 0x00, 0x00, 0x00, 0x08},
                                                           {0x21, 0xF0, 0xFF, 0x07, 0x08}}));
    const std::vector<int> steps = log->ProgressSteps();
    EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
    EXPECT_EQ(steps.back(), 100);
  }
}

// A device that places its blocks by a transfer size larger than a control
// transfer carries gets blocks of 4096, each after its own address pointer:
// block 2 lies at the pointer whatever the device's transfer size.
TEST_F(DownloadTest, TransferSizeAboveTheBlockCapGetsAPointerPerBlock) {
  constexpr uint32_t SIZE = 20000;
  for (const bool skipBlank : {false, true}) {
    SCOPED_TRACE(skipBlank ? "blank blocks left out" : "every block sent");
    Install("", [](SimProfile* p) { p->transferSize = 8192; });
    Blank(FLASH, 0x8000);
    std::vector<uint8_t> bytes = Pattern(SIZE, 5);
    // A blank block in the middle: leaving it out must not move the next.
    std::fill(bytes.begin() + 4096, bytes.begin() + 8192, 0xFF);
    auto image = MakeImage({{FLASH, bytes}});
    OperationContext context = Context(OP_CODE_DOWNLOAD, image.get());
    context.skipBlankBlocks = skipBlank ? 1 : 0;
    OperationId id = OP_INVALID_ID;
    auto log = Start<CDownloadThread>(&context, &id);
    const OperationContext final = RunToEnd(id);

    ASSERT_EQ(final.result, RESULT_OK);
    EXPECT_EQ(final.blockSize, 4096);
    EXPECT_EQ(Memory(FLASH, SIZE), bytes);
    EXPECT_EQ(Only(ClassRequests(), {"DNLOAD 2", "DNLOAD 3"}),
              (std::vector<std::string>{"DNLOAD 2 0 4096", "DNLOAD 2 0 4096", "DNLOAD 2 0 4096", "DNLOAD 2 0 4096",
                                        "DNLOAD 2 0 3616"}));
    EXPECT_EQ(SetAddressPointers(),
              (std::vector<uint32_t>{FLASH, FLASH + 4096, FLASH + 8192, FLASH + 12288, FLASH + 16384}));
    const std::vector<int> steps = log->ProgressSteps();
    EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
    EXPECT_EQ(steps.back(), 100);
  }
}

TEST_F(DownloadTest, BlankBlocksAreLeftOutOnlyWhenAsked) {
  for (uint32_t skip : {1u, 0u}) {
    Install("", UseTransferSize1024);
    Blank(FLASH, 0x4000);
    std::vector<uint8_t> bytes = Pattern(2500);
    std::fill(bytes.begin() + 1024, bytes.begin() + 2048, 0xFF);
    auto image = MakeImage({{FLASH, bytes}});
    OperationContext context = Context(OP_CODE_DOWNLOAD, image.get());
    context.skipBlankBlocks = skip;
    const OperationContext final = Run(context);

    EXPECT_EQ(final.result, RESULT_OK);
    EXPECT_EQ(final.progress, 100);
    const std::vector<std::string> withSkip = {"DNLOAD 0 0 5", "DNLOAD 2 0 1024", "DNLOAD 4 0 452"};
    const std::vector<std::string> withoutSkip = {"DNLOAD 0 0 5", "DNLOAD 2 0 1024", "DNLOAD 3 0 1024",
                                                  "DNLOAD 4 0 452"};
    EXPECT_EQ(Only(ClassRequests(), {"DNLOAD"}), skip != 0 ? withSkip : withoutSkip) << "skip " << skip;
    EXPECT_EQ(Memory(FLASH, bytes.size()), bytes);
    SimUninstall();
  }
}

TEST_F(DownloadTest, ImageWithoutElementsIsDoneAfterSettling) {
  Install();
  CImage image;
  const OperationContext final = Run(Context(OP_CODE_DOWNLOAD, &image));
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_EQ(ClassRequests(), (std::vector<std::string>{"GETSTATUS 0 0 6", "GETSTATUS 0 0 6"}));
}

// The request numbers of a clean download of one 1,024-byte block, found by
// running it once: where the fault plans below strike.
struct CleanRun {
  uint32_t blockDownload;   // DNLOAD of block 2
  uint32_t blockStatus;     // the GETSTATUS right after it (dfuDNBUSY)
  uint32_t blockBusyPoll;   // the busy step's GETSTATUS
  uint32_t commandDownload; // DNLOAD of the set-address command
};

class DownloadFaultTest : public SimEngineTest {
 protected:
  CleanRun Probe() {
    Install("", UseTransferSize1024);
    Blank(FLASH, 0x4000);
    auto image = MakeImage({{FLASH, Pattern(1024)}});
    EXPECT_EQ(Run(Context(OP_CODE_DOWNLOAD, image.get())).result, RESULT_OK);
    CleanRun run{RequestNumber("DNLOAD 2"), 0, 0, RequestNumber("DNLOAD 0")};
    run.blockStatus = run.blockDownload + 1;
    run.blockBusyPoll = run.blockDownload + 2;
    SimUninstall();
    return run;
  }
  OperationContext RunWith(const std::string& faults) {
    Install(faults, UseTransferSize1024);
    Blank(FLASH, 0x4000);
    image = MakeImage({{FLASH, Pattern(1024)}});
    return Run(Context(OP_CODE_DOWNLOAD, image.get()));
  }
  std::string At(const char* fault, uint32_t number) { return std::string(fault) + "@" + std::to_string(number); }

  std::unique_ptr<CImage> image;
};

TEST_F(DownloadFaultTest, BadStatusWhileBusyRepeatsTheBlockAndGivesUpOnTheThird) {
  const CleanRun run = Probe();
  // Each bad status costs: CLRSTATUS, the block again, its status, the next
  // busy poll: the next bad status strikes four requests later.
  const uint32_t k = run.blockBusyPoll;
  for (int bad : {2, 3}) {
    std::string plan = At("status=0x03", k) + "," + At("status=0x03", k + 4);
    if (bad == 3) plan += "," + At("status=0x03", k + 8);
    const OperationContext final = RunWith(plan);
    const std::vector<std::string> requests = ClassRequests();
    EXPECT_EQ(Only(requests, {"DNLOAD 2"}).size(), 3u) << plan;
    EXPECT_EQ(Only(requests, {"CLRSTATUS"}).size(), static_cast<size_t>(bad)) << plan;
    if (bad == 2) {
      EXPECT_EQ(final.result, RESULT_OK);
      EXPECT_EQ(final.progress, 100);
      EXPECT_EQ(Memory(FLASH, 1024), Pattern(1024));
    } else {
      EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
      EXPECT_EQ(requests.back(), "ABORT 0 0 0");
    }
    SimUninstall();
  }
}

TEST_F(DownloadFaultTest, DeviceThatStaysBusyEndsTheOperationWithoutBeingFlooded) {
  const CleanRun run = Probe();
  constexpr uint32_t kLimitMs = 100;
  // Busy for ever with a poll time-out of 0; and busy answers that alternate
  // with bad statuses, each of which resets the other's budget (every fifth
  // request: the busy poll, the bad status, CLRSTATUS, the block, its
  // status).
  std::string alternating;
  for (uint32_t i = 0; i < 2000; ++i) {
    const uint32_t busy = run.blockBusyPoll + 5 * i;
    alternating += At("status=0x00:4", busy) + "," + At("status=0x03", busy + 1) + ",";
  }
  alternating.pop_back();
  for (const std::string& plan : {At("status=0x00:4", run.blockStatus) + "-", alternating}) {
    SetBusyLimit(kLimitMs);
    const OperationContext final = RunWith(plan);
    EXPECT_EQ(final.result, OP_ERR_BUSY_TIMEOUT);
    const std::vector<std::string> requests = ClassRequests();
    EXPECT_EQ(requests.back().rfind("ABORT 0 0 0", 0), 0u);
    // Never more than one status request a millisecond while busy: every
    // busy answer is followed by a wait. (The status requests that check a
    // resent block come without one, and how many of them fit in the limit
    // depends only on how fast the host runs.)
    size_t polls = 0;
    for (const SimRequestRecord& r : Recorder()->RequestLog()) {
      if (r.name == "GETSTATUS" && r.outcome == SimOutcome::kOk && r.state == DFU_STATE_DNBUSY) ++polls;
    }
    EXPECT_GT(polls, 3u);
    EXPECT_LE(polls, kLimitMs + 10);
    SimUninstall();
  }
}

// A device that announces a poll time-out of hours (0xFFFFFF ms) is not
// waited for that long, on either schedule: the wait ends with the busy
// limit. One that is done by then goes on; one that is still busy ends the
// operation.
TEST_F(DownloadFaultTest, AnnouncedWaitOfHoursEndsWithTheBusyLimit) {
  constexpr uint32_t kLimitMs = 300;
  struct Case {
    bool stillBusy;  // the block takes 20 s, far beyond the limit
    uint32_t fastPoll;
    StatusCode result;
  };
  const Case cases[] = {
      {false, 0, RESULT_OK},
      {false, 1, RESULT_OK},
      {true, 0, OP_ERR_BUSY_TIMEOUT},
      {true, 1, OP_ERR_BUSY_TIMEOUT},
  };
  for (const Case& c : cases) {
    SetBusyLimit(kLimitMs);
    Install("", [&c](SimProfile* p) {
      UseTransferSize1024(p);
      p->hasPollTimeout = true;
      p->pollTimeoutMs = 0xFFFFFF;
      if (c.stillBusy) {
        p->timing = SimTiming::kReal;
        p->programUsPerKib = 20000000;
      }
    });
    Blank(FLASH, 0x4000);
    image = MakeImage({{FLASH, Pattern(1024)}});
    OperationContext context = Context(OP_CODE_DOWNLOAD, image.get());
    context.fastPoll = c.fastPoll;
    const auto start = std::chrono::steady_clock::now();
    const OperationContext final = Run(context);
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string name = std::string(c.stillBusy ? "still busy" : "done") + " fastPoll=" +
                             std::to_string(c.fastPoll);
    EXPECT_EQ(final.result, c.result) << name;
    // Two commands and a block, each waited for up to the limit at most.
    EXPECT_LT(took, std::chrono::seconds(10)) << name;
    if (c.result == RESULT_OK) {
      EXPECT_EQ(final.progress, 100) << name;
      EXPECT_EQ(Memory(FLASH, 1024), Pattern(1024)) << name;
    } else {
      // (A device still at work may stall the abort.)
      EXPECT_EQ(ClassRequests().back().rfind("ABORT 0 0 0", 0), 0u) << name;
    }
    SimUninstall();
  }
}

TEST_F(DownloadFaultTest, StalledRequestIsRetriedWithTheSameBytes) {
  const CleanRun run = Probe();
  for (uint32_t stalled : {run.commandDownload, run.blockDownload}) {
    const OperationContext final = RunWith(At("stall", stalled));
    EXPECT_EQ(final.result, RESULT_OK);
    EXPECT_EQ(final.progress, 100);
    std::vector<std::vector<uint8_t>> attempts;
    for (const SimRequestRecord& r : Recorder()->RequestLog()) {
      if (r.name == "DNLOAD" && (r.number == stalled || r.args[0] == (stalled == run.commandDownload ? 0u : 2u))) {
        attempts.push_back(r.data);
      }
    }
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[0], attempts[1]);
    // After the stall: the state is read and the error cleared first.
    const std::vector<std::string> requests = ClassRequests();
    const auto stall = std::find_if(requests.begin(), requests.end(),
                                    [](const std::string& r) { return r.find(" stall") != std::string::npos; });
    ASSERT_NE(stall, requests.end());
    EXPECT_EQ(*(stall + 1), "GETSTATE 0 0 1");
    EXPECT_EQ(*(stall + 2), "CLRSTATUS 0 0 0");
    EXPECT_EQ(Memory(FLASH, 1024), Pattern(1024));
    SimUninstall();
  }
}

TEST_F(DownloadFaultTest, ThreeStallsInARowEndTheOperation) {
  const CleanRun run = Probe();
  // Each attempt of a data block: DNLOAD (stalled), GETSTATE, CLRSTATUS.
  const uint32_t n = run.blockDownload;
  const OperationContext final = RunWith(At("stall", n) + "," + At("stall", n + 3) + "," + At("stall", n + 6));
  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(Only(ClassRequests(), {"DNLOAD 2"}),
            (std::vector<std::string>{"DNLOAD 2 0 1024 stall", "DNLOAD 2 0 1024 stall", "DNLOAD 2 0 1024 stall"}));
  EXPECT_EQ(ClassRequests().back(), "ABORT 0 0 0");
}

// A device that announces more than it needs, asked early for its status.
// When it refuses (a stall or an error) it is polled on its announced time
// from then on, the block goes through, and the record tells the caller; the
// plain schedule sends no early request, so a stall there ends the operation
// as it always did.
TEST_F(DownloadFaultTest, RefusedEarlyPollFallsBackToTheAnnouncedTime) {
  const CleanRun run = Probe();
  struct Case {
    const char* fault;
    uint32_t fastPoll;
    StatusCode result;
    uint32_t fastPollAfter;
    size_t blocksSent;
  };
  const Case cases[] = {
      {"", 1, RESULT_OK, 1, 1},
      {"stall", 1, RESULT_OK, 0, 2},
      {"status=0x0A", 1, RESULT_OK, 0, 2},
      {"stall", 0, OP_ERR_UNEXPECTED, 0, 1},
  };
  for (const Case& c : cases) {
    const std::string plan = c.fault[0] == '\0' ? "" : At(c.fault, run.blockBusyPoll);
    Install(plan, [](SimProfile* p) {
      UseTransferSize1024(p);
      p->hasPollTimeout = true;
      p->pollTimeoutMs = 20;
    });
    Blank(FLASH, 0x4000);
    image = MakeImage({{FLASH, Pattern(1024)}});
    OperationContext context = Context(OP_CODE_DOWNLOAD, image.get());
    context.fastPoll = c.fastPoll;
    const OperationContext final = Run(context);
    const std::string name = plan + " fastPoll=" + std::to_string(c.fastPoll);
    EXPECT_EQ(final.result, c.result) << name;
    EXPECT_EQ(final.fastPoll, c.fastPollAfter) << name;
    EXPECT_EQ(Only(ClassRequests(), {"DNLOAD 2"}).size(), c.blocksSent) << name;
    if (c.result == RESULT_OK) {
      EXPECT_EQ(Memory(FLASH, 1024), Pattern(1024)) << name;
    }
    SimUninstall();
  }
}

TEST_F(DownloadFaultTest, StatusThatDoesNotFitTheRequestEndsWithoutRetryOrAbort) {
  const CleanRun run = Probe();
  struct Case {
    const char* fault;
    StatusCode result;
  } cases[] = {
      {"status=0x00:6", OP_ERR_BAD_FIRMWARE_STATE},  // dfuMANIFEST-SYNC after a block
      {"status=0x05:4", OP_ERR_DFU_ERROR},           // a bad status outside dfuERROR
  };
  for (const Case& c : cases) {
    const OperationContext final = RunWith(At(c.fault, run.blockStatus));
    EXPECT_EQ(final.result, c.result) << c.fault;
    const std::vector<std::string> requests = ClassRequests();
    EXPECT_EQ(Only(requests, {"DNLOAD 2"}).size(), 1u) << c.fault;
    EXPECT_EQ(requests.back(), "GETSTATUS 0 0 6") << c.fault;
    SimUninstall();
  }
}

TEST_F(DownloadFaultTest, ManifestationAfterABlockEndsTheNextStep) {
  const CleanRun run = Probe();
  // dfuMANIFEST is accepted after a download request; the device closes, and
  // the step that follows finds a state it cannot go on from.
  const OperationContext final = RunWith(At("status=0x00:7", run.blockStatus));
  EXPECT_EQ(final.result, OP_ERR_BAD_FIRMWARE_STATE);
  EXPECT_EQ(ClassRequests().back(), "GETSTATUS 0 0 6");
}

TEST_F(DownloadFaultTest, DeviceUnpluggedInTheMiddleEndsTheOperation) {
  const CleanRun run = Probe();
  const OperationContext final = RunWith(At("unplug", run.blockDownload));
  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(final.progress, 0);
  const std::vector<std::string> requests = ClassRequests();
  EXPECT_EQ(requests.back(), "ABORT 0 0 0 gone");
}

TEST_F(DownloadTest, HaltDuringTheWaitForTheDeviceAbortsAtOnce) {
  // Real flash timing: erasing a 128 KiB sector keeps the device busy for a
  // second; the stop comes during that wait.
  Install("", [](SimProfile* p) { p->timing = SimTiming::kReal; });
  auto image = MakeImage({{0x08020000, {}}, {0x08040000, {}}, {0x08060000, {}}});
  OperationContext context = Context(OP_CODE_ERASE, image.get());
  OperationId id = OP_INVALID_ID;
  ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
  const OperationContext final = RunToEnd(id, [](const OperationContext& record) {
    return record.deviceStatus.bState == DFU_STATE_DNBUSY && record.phase == PHASE_GETSTATUS;
  });
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_LT(final.progress, 100);
  const std::vector<std::string> requests = ClassRequests();
  EXPECT_EQ(Only(requests, {"DNLOAD"}).size(), 1u);  // the second erase never started
  EXPECT_EQ(requests.back().rfind("ABORT 0 0 0", 0), 0u);
}

}  // namespace
