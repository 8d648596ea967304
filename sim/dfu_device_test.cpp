#include "sim/dfu_device.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "sim/sim_test_support.h"

namespace {

// A device driven through the driver front, with a clock that moves only when
// told.
struct Rig {
  explicit Rig(const std::string& profileText = "", const std::string& faults = "", uint32_t number = 1) {
    SimDeviceOptions options;
    options.index = number;
    std::string error;
    EXPECT_TRUE(
        SimParseProfile("description = Test\n" + profileText, "test", &options.profile, &error))
        << error;
    EXPECT_TRUE(SimParseFaultPlan(faults, &options.faults, &error)) << error;
    options.clock = clock;
    EXPECT_TRUE(CSimRecorder::Create(std::move(options), &recorder, &error)) << error;
    device = recorder->Device();
  }
  CDfuRequester Dfu(uint32_t attachment = 0) {
    return CDfuRequester::ToModel(recorder.get(), attachment, &changes);
  }
  std::vector<uint8_t> Memory(uint32_t address, size_t count, uint8_t alternate = 0) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(device->ReadMemory(alternate, address, count, &bytes));
    return bytes;
  }

  std::shared_ptr<CFakeSimClock> clock = std::make_shared<CFakeSimClock>();
  std::shared_ptr<CSimRecorder> recorder;
  CDfuDevice* device = nullptr;
  uint32_t index = 1;
  std::vector<SimBusChange> changes;
};

constexpr uint32_t FLASH = 0x08000000;

// ---------------------------------------------------------------------------
// A plain DFU device (no DfuSe): named alternate settings, each a memory that
// blocks numbered from 0 fill and read from its start.

const char PLAIN_PROFILE[] = "dfu-version = 0x0110\nattributes = 0x07\ntransfer-size = 4\n"
                             "memory-size = 16\nalt = Application\n";

TEST(DfuDevicePlain, DownloadBlocksFillTheMemoryFromItsStartErasingAsTheyGo) {
  Rig rig(PLAIN_PROFILE);
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(rig.device->WriteMemory(0, 0, std::vector<uint8_t>(16, 0x00)));
  ASSERT_TRUE(dfu.DnloadAndSettle(0, {0xFF, 0x01, 0x02, 0x03}));
  ASSERT_TRUE(dfu.DnloadAndSettle(1, {0x04, 0xFF}));
  // Cells that held 0 now hold 1 bits: written, not programmed over.
  EXPECT_EQ(rig.Memory(0, 8), (std::vector<uint8_t>{0xFF, 1, 2, 3, 4, 0xFF, 0, 0}));
  // A block out of sequence stalls; one past the memory is an address error.
  EXPECT_FALSE(dfu.Dnload(3, {0x05}));
  ASSERT_TRUE(dfu.ClrStatus());
  for (uint16_t block = 0; block < 4; ++block) ASSERT_TRUE(dfu.DnloadAndSettle(block, {1, 2, 3, 4}));
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.Dnload(4, {9}));
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_ERROR);
  EXPECT_EQ(answer.status, DFU_STATUS_ERR_ADDRESS);
}

TEST(DfuDevicePlain, BlockNumbersWrapWhileTheOffsetGoesOn) {
  Rig rig("dfu-version = 0x0100\ntransfer-size = 1\nmemory-size = 65540\nalt = Application\n");
  CDfuRequester dfu = rig.Dfu();
  for (uint32_t n = 0; n <= 0x10001; ++n) {
    ASSERT_TRUE(dfu.DnloadAndSettle(static_cast<uint16_t>(n), {static_cast<uint8_t>(n >> 8)})) << n;
  }
  EXPECT_EQ(rig.Memory(0xFFFF, 3), (std::vector<uint8_t>{0xFF, 0x00, 0x00}));
}

TEST(DfuDevicePlain, UploadReadsFromTheStartAndEndsWithAShortBlock) {
  Rig rig(PLAIN_PROFILE);
  CDfuRequester dfu = rig.Dfu();
  const std::vector<uint8_t> memory = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  ASSERT_TRUE(rig.device->WriteMemory(0, 0, memory));
  std::vector<uint8_t> read, data;
  for (uint16_t block = 0; block < 4; ++block) {
    ASSERT_TRUE(dfu.Upload(block, 4, &data));
    read.insert(read.end(), data.begin(), data.end());
    EXPECT_EQ(rig.device->State(), DFU_STATE_UPLOAD_IDLE);
  }
  EXPECT_EQ(read, memory);
  // A memory of whole blocks ends with an empty one, back in dfuIDLE.
  ASSERT_TRUE(dfu.Upload(4, 4, &data));
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(rig.device->State(), DFU_STATE_DFU_IDLE);
  // A new upload starts again at block 0; another number stalls.
  EXPECT_FALSE(dfu.Upload(1, 4, &data));
}

// Device stacks whose state machine differs from the ideal one, each key
// against the ideal device.
TEST(DfuDevicePlain, UploadIdleStaysInDfuIdleAndPlacesEachBlockByItsNumber) {
  for (const bool quirk : {false, true}) {
    SCOPED_TRACE(quirk);
    Rig rig(std::string(PLAIN_PROFILE) + (quirk ? "upload-idle = yes\n" : ""));
    CDfuRequester dfu = rig.Dfu();
    ASSERT_TRUE(rig.device->WriteMemory(0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    std::vector<uint8_t> data;
    ASSERT_TRUE(dfu.Upload(0, 4, &data));
    EXPECT_EQ(rig.device->State(), quirk ? DFU_STATE_DFU_IDLE : DFU_STATE_UPLOAD_IDLE);
    // Block 2 without block 1: only the stack that places by number takes it.
    EXPECT_EQ(dfu.Upload(2, 4, &data), quirk);
    if (quirk) {
      EXPECT_EQ(data, (std::vector<uint8_t>{9, 10, 11, 12}));
    }
  }
}

TEST(DfuDevicePlain, UploadInDnloadIdleIsAnsweredOnlyWithItsKey) {
  for (const bool quirk : {false, true}) {
    SCOPED_TRACE(quirk);
    Rig rig(std::string(PLAIN_PROFILE) + (quirk ? "upload-in-dnload-idle = yes\n" : ""));
    CDfuRequester dfu = rig.Dfu();
    ASSERT_TRUE(dfu.DnloadAndSettle(0, {7, 7, 7, 7}));
    ASSERT_EQ(rig.device->State(), DFU_STATE_DNLOAD_IDLE);
    std::vector<uint8_t> data;
    EXPECT_EQ(dfu.Upload(0, 4, &data), quirk);
    if (quirk) {
      EXPECT_EQ(data, (std::vector<uint8_t>{7, 7, 7, 7}));
    }
    EXPECT_EQ(rig.device->State(), quirk ? DFU_STATE_UPLOAD_IDLE : DFU_STATE_ERROR);
  }
}

TEST(DfuDeviceFlash, Corrupt64StoresTheSetupPacketOverABlocksFirstBytesAtTransferSize64Only) {
  struct Case {
    const char* profile;
    uint32_t transferSize;  // where block 1 lands
    bool corrupted;
  } cases[] = {{"dfu-version = 0x0110\ntransfer-size = 64\nalt = A\ncorrupt-64 = yes\n", 64, true},
               {"dfu-version = 0x0110\ntransfer-size = 128\nalt = A\ncorrupt-64 = yes\n", 128, false},
               {"dfu-version = 0x0110\ntransfer-size = 64\nalt = A\n", 64, false}};
  const std::vector<uint8_t> block(64, 0x33);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    Rig rig(c.profile);
    CDfuRequester dfu = rig.Dfu();
    ASSERT_TRUE(dfu.DnloadAndSettle(0, block));
    ASSERT_TRUE(dfu.DnloadAndSettle(1, block));
    std::vector<uint8_t> expected = block;
    if (c.corrupted) {
      // DNLOAD, class request to the interface, block 1, interface 0, 64 bytes.
      const std::vector<uint8_t> packet = {0x21, 0x01, 0x01, 0x00, 0x00, 0x00, 0x40, 0x00};
      std::copy(packet.begin(), packet.end(), expected.begin());
    }
    EXPECT_EQ(rig.Memory(c.transferSize, 64), expected);
  }
  // A DfuSe device loses the same bytes of its data blocks.
  Rig rig("transfer-size = 64\ncorrupt-64 = yes\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.Erase(FLASH));
  ASSERT_TRUE(dfu.SetAddress(FLASH));
  ASSERT_TRUE(dfu.DnloadAndSettle(2, block));
  EXPECT_EQ(rig.Memory(FLASH, 9), (std::vector<uint8_t>{0x21, 0x01, 0x02, 0x00, 0x00, 0x00, 0x40, 0x00, 0x33}));
}

// ---------------------------------------------------------------------------
// The state machine: every request in every reachable DFU state.

enum class Start { kIdle, kDnloadSync, kDnBusy, kDnloadIdle, kManifestSync, kUploadIdle, kError };

const char* StartName(Start start) {
  static const char* const kNames[] = {"dfuIDLE",        "dfuDNLOAD-SYNC",   "dfuDNBUSY",
                                       "dfuDNLOAD-IDLE", "dfuMANIFEST-SYNC", "dfuUPLOAD-IDLE",
                                       "dfuERROR"};
  return kNames[static_cast<int>(start)];
}

// Brings a real-timing device (so that dfuDNBUSY lasts) into `start`.
void Reach(Rig* rig, Start start) {
  CDfuRequester dfu = rig->Dfu();
  SimStatusAnswer answer;
  switch (start) {
    case Start::kIdle:
      break;
    case Start::kDnloadSync:
      ASSERT_TRUE(dfu.Dnload(0, CDfuRequester::Command(0x41, FLASH)));
      break;
    case Start::kDnBusy:
      ASSERT_TRUE(dfu.Dnload(0, CDfuRequester::Command(0x41, FLASH)));
      ASSERT_TRUE(dfu.GetStatus(&answer));
      break;
    case Start::kDnloadIdle:
      ASSERT_TRUE(dfu.SetAddress(FLASH));
      break;
    case Start::kManifestSync:
      ASSERT_TRUE(dfu.Dnload(0, {}));
      break;
    case Start::kUploadIdle: {
      std::vector<uint8_t> data;
      ASSERT_TRUE(dfu.Upload(2, 64, &data));
      break;
    }
    case Start::kError:
      ASSERT_FALSE(dfu.ClrStatus());
      break;
  }
}

struct StateCase {
  Start start;
  uint8_t request;
  bool accepted;
  uint8_t stateAfter;
};

bool Send(CDfuRequester* dfu, uint8_t request) {
  std::vector<uint8_t> answer;
  switch (request) {
    case DFU_REQUEST_DETACH:
      return dfu->Detach();
    case DFU_REQUEST_DNLOAD:
      return dfu->Dnload(0, CDfuRequester::Command(0x21, FLASH));
    case DFU_REQUEST_UPLOAD:
      return dfu->Upload(2, 64, &answer);
    case DFU_REQUEST_GETSTATUS:
      return dfu->Request(DFU_REQUEST_GETSTATUS, true, 0, 0, {}, 6, &answer);
    case DFU_REQUEST_CLRSTATUS:
      return dfu->ClrStatus();
    case DFU_REQUEST_GETSTATE:
      return dfu->Request(DFU_REQUEST_GETSTATE, true, 0, 0, {}, 1, &answer);
    default:
      return dfu->Abort();
  }
}

TEST(DfuDeviceStateMachine, AnswersEveryRequestInEveryStateAsDfu11Says) {
  constexpr uint8_t DETACH = DFU_REQUEST_DETACH, DNLOAD = DFU_REQUEST_DNLOAD,
                    UPLOAD = DFU_REQUEST_UPLOAD, GETSTATUS = DFU_REQUEST_GETSTATUS,
                    CLRSTATUS = DFU_REQUEST_CLRSTATUS, GETSTATE = DFU_REQUEST_GETSTATE,
                    ABORT = DFU_REQUEST_ABORT;
  constexpr uint8_t IDLE = DFU_STATE_DFU_IDLE, SYNC = DFU_STATE_DNLOAD_SYNC, BUSY = DFU_STATE_DNBUSY,
                    DN_IDLE = DFU_STATE_DNLOAD_IDLE, M_SYNC = DFU_STATE_MANIFEST_SYNC,
                    M_RESET = DFU_STATE_MANIFEST_WAIT_RESET, UP_IDLE = DFU_STATE_UPLOAD_IDLE,
                    ERR = DFU_STATE_ERROR;
  const StateCase cases[] = {
      {Start::kIdle, DETACH, false, ERR},
      {Start::kIdle, DNLOAD, true, SYNC},
      {Start::kIdle, UPLOAD, true, UP_IDLE},
      {Start::kIdle, GETSTATUS, true, IDLE},
      {Start::kIdle, CLRSTATUS, false, ERR},
      {Start::kIdle, GETSTATE, true, IDLE},
      {Start::kIdle, ABORT, true, IDLE},
      {Start::kDnloadSync, DETACH, false, ERR},
      {Start::kDnloadSync, DNLOAD, false, ERR},
      {Start::kDnloadSync, UPLOAD, false, ERR},
      {Start::kDnloadSync, GETSTATUS, true, BUSY},
      {Start::kDnloadSync, CLRSTATUS, false, ERR},
      {Start::kDnloadSync, GETSTATE, true, SYNC},
      {Start::kDnloadSync, ABORT, false, ERR},
      {Start::kDnBusy, DETACH, false, ERR},
      {Start::kDnBusy, DNLOAD, false, ERR},
      {Start::kDnBusy, UPLOAD, false, ERR},
      {Start::kDnBusy, GETSTATUS, true, BUSY},
      {Start::kDnBusy, CLRSTATUS, false, ERR},
      {Start::kDnBusy, GETSTATE, false, ERR},
      {Start::kDnBusy, ABORT, false, ERR},
      {Start::kDnloadIdle, DETACH, false, ERR},
      {Start::kDnloadIdle, DNLOAD, true, SYNC},
      {Start::kDnloadIdle, UPLOAD, false, ERR},
      {Start::kDnloadIdle, GETSTATUS, true, DN_IDLE},
      {Start::kDnloadIdle, CLRSTATUS, false, ERR},
      {Start::kDnloadIdle, GETSTATE, true, DN_IDLE},
      {Start::kDnloadIdle, ABORT, true, IDLE},
      {Start::kManifestSync, DETACH, false, ERR},
      {Start::kManifestSync, DNLOAD, false, ERR},
      {Start::kManifestSync, UPLOAD, false, ERR},
      {Start::kManifestSync, GETSTATUS, true, M_RESET},
      {Start::kManifestSync, CLRSTATUS, false, ERR},
      {Start::kManifestSync, GETSTATE, true, M_SYNC},
      {Start::kManifestSync, ABORT, false, ERR},
      {Start::kUploadIdle, DETACH, false, ERR},
      {Start::kUploadIdle, DNLOAD, false, ERR},
      {Start::kUploadIdle, UPLOAD, true, UP_IDLE},
      {Start::kUploadIdle, GETSTATUS, true, UP_IDLE},
      {Start::kUploadIdle, CLRSTATUS, false, ERR},
      {Start::kUploadIdle, GETSTATE, true, UP_IDLE},
      {Start::kUploadIdle, ABORT, true, IDLE},
      {Start::kError, DETACH, false, ERR},
      {Start::kError, DNLOAD, false, ERR},
      {Start::kError, UPLOAD, false, ERR},
      {Start::kError, GETSTATUS, true, ERR},
      {Start::kError, CLRSTATUS, true, IDLE},
      {Start::kError, GETSTATE, true, ERR},
      {Start::kError, ABORT, false, ERR},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(std::string(StartName(c.start)) + " request " + std::to_string(c.request));
    Rig rig("timing = real\n");
    Reach(&rig, c.start);
    CDfuRequester dfu = rig.Dfu();
    EXPECT_EQ(Send(&dfu, c.request), c.accepted);
    EXPECT_EQ(rig.device->State(), c.stateAfter);
    if (!c.accepted) {
      EXPECT_EQ(rig.device->Status(), DFU_STATUS_ERR_STALLEDPKT);
    }
  }
}

TEST(DfuDeviceStateMachine, ClearStatusAfterAStallReturnsToIdleWithStatusOk) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  EXPECT_FALSE(dfu.Abort() && dfu.ClrStatus() && dfu.ClrStatus());
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_ERROR);
  EXPECT_EQ(answer.status, DFU_STATUS_ERR_STALLEDPKT);
  ASSERT_TRUE(dfu.ClrStatus());
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_DFU_IDLE);
  EXPECT_EQ(answer.status, DFU_STATUS_OK);
}

TEST(DfuDeviceStateMachine, MalformedClassRequestsStall) {
  struct Case {
    const char* what;
    uint8_t request;
    bool toHost;
    uint16_t index;
  } cases[] = {
      {"GETSTATUS sent host-to-device", DFU_REQUEST_GETSTATUS, false, 0},
      {"ABORT sent device-to-host", DFU_REQUEST_ABORT, true, 0},
      {"a request to interface 1", DFU_REQUEST_GETSTATUS, true, 1},
      {"an unknown request", 7, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    CDfuRequester dfu = rig.Dfu();
    std::vector<uint8_t> answer;
    EXPECT_FALSE(dfu.Request(c.request, c.toHost, 0, c.index, {}, c.toHost ? 6 : 0, &answer));
    EXPECT_EQ(rig.device->State(), DFU_STATE_ERROR);
  }
}

TEST(DfuDeviceStateMachine, ManifestationTolerantDeviceStaysOnTheBusAndReturnsToIdle) {
  Rig rig("attributes = 0x0F\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.Dnload(0, {}));
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_MANIFEST);
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_TRUE(rig.device->Present());
  EXPECT_TRUE(rig.changes.empty());
}

TEST(DfuDeviceStateMachine, LeaveRequestTakesTheDeviceOffTheBus) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.SetAddress(FLASH));
  ASSERT_TRUE(dfu.Dnload(0, {}));
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_MANIFEST);
  EXPECT_FALSE(rig.device->Present());
  ASSERT_EQ(rig.changes.size(), 1u);
  EXPECT_FALSE(rig.changes[0].arrival);
  EXPECT_TRUE(rig.changes[0].dfuMode);
  EXPECT_EQ(dfu.StatusState(), 0xEE);
}

TEST(DfuDeviceStateMachine, AfterLeaveBringsTheDeviceBackUnderTheNamedPathInTheModeItNames) {
  struct Case {
    const char* profile;
    bool dfuMode;
    bool samePath = false;
  };
  for (const Case& c : {Case{"after-leave = dfu\n", true},
                        Case{"after-leave = dfu\nleave = reset\n", true},
                        Case{"after-leave = application\n", false},
                        Case{"after-leave = application\nleave = reset\n", false},
                        Case{"after-leave = dfu\nafter-leave-path = same\n", true, true},
                        Case{"after-leave = dfu\nafter-leave-path = new\n", true, false}}) {
    SCOPED_TRACE(c.profile);
    Rig rig(c.profile);
    CDfuRequester dfu = rig.Dfu();
    ASSERT_TRUE(dfu.Dnload(0, {}));
    dfu.StatusState();  // manifestation, or nothing from a device that reset
    ASSERT_EQ(rig.changes.size(), 2u);
    EXPECT_FALSE(rig.changes[0].arrival);
    EXPECT_TRUE(rig.changes[1].arrival);
    EXPECT_EQ(rig.changes[1].dfuMode, c.dfuMode);
    EXPECT_EQ(rig.changes[1].attachment, 1u);
    EXPECT_EQ(rig.changes[1].path, c.samePath ? rig.changes[0].path : 1u);
    EXPECT_EQ(rig.device->InDfuMode(), c.dfuMode);
    EXPECT_EQ(rig.device->State(), c.dfuMode ? DFU_STATE_DFU_IDLE : DFU_STATE_APP_IDLE);
  }
}

TEST(DfuDeviceStateMachine, ApplicationModeWithoutWillDetachWaitsForAResetThatNeverComes) {
  Rig rig("mode = application\nattributes = 0x03\ndetach-timeout = 100\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.Detach(5000));
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_APP_DETACH);
  EXPECT_TRUE(rig.changes.empty());
  // The detach time-out (the shorter of the request's and the descriptor's)
  // passes without a bus reset: the application carries on.
  rig.clock->Advance(100 * 1000);
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_APP_IDLE);
  EXPECT_FALSE(dfu.Abort());
  EXPECT_EQ(rig.device->State(), DFU_STATE_APP_IDLE);
}

TEST(DfuDeviceStateMachine, DetachWithWillDetachComesBackAsANewAttachmentInDfuMode) {
  Rig rig("mode = application\n");
  CDfuRequester app = rig.Dfu(0);
  ASSERT_TRUE(app.Detach(5000));
  ASSERT_EQ(rig.changes.size(), 2u);
  EXPECT_FALSE(rig.changes[0].arrival);
  EXPECT_FALSE(rig.changes[0].dfuMode);
  EXPECT_EQ(rig.changes[0].attachment, 0u);
  EXPECT_TRUE(rig.changes[1].arrival);
  EXPECT_TRUE(rig.changes[1].dfuMode);
  EXPECT_EQ(rig.changes[1].attachment, 1u);
  EXPECT_EQ(app.StatusState(), 0xEE) << "the old appearance is gone";
  CDfuRequester dfu = rig.Dfu(1);
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_TRUE(dfu.SetAddress(FLASH));
}

TEST(DfuDeviceStateMachine, PlainDeviceThatWaitsForTheResetTellsItsStateAndTakesNothingElse) {
  Rig rig("dfu-version = 0x0110\nattributes = 0x03\ntransfer-size = 4\nmemory-size = 16\n"
          "alt = Application\nleave = wait-reset\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.DnloadAndSettle(0, {1, 2, 3, 4}));
  ASSERT_TRUE(dfu.Dnload(1, {}));
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_MANIFEST);
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_MANIFEST_WAIT_RESET);
  EXPECT_FALSE(dfu.Dnload(0, {5}));
  EXPECT_FALSE(dfu.ClrStatus());
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_MANIFEST_WAIT_RESET);
  EXPECT_TRUE(rig.changes.empty());
  EXPECT_EQ(rig.Memory(0, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(DfuDeviceStateMachine, BusResetStartsNewFirmwareOrDfuModeAndOtherwiseStartsOver) {
  struct Case {
    const char* name;
    const char* profile;
    std::function<void(Rig*)> reach;
    bool moves;        // leaves and comes back as attachment 1
    bool dfuModeAfter;
    uint8_t stateAfter;
  };
  auto manifest = [](Rig* rig) {
    CDfuRequester dfu = rig->Dfu();
    ASSERT_TRUE(dfu.Dnload(0, {}));
    EXPECT_EQ(dfu.StatusState(), DFU_STATE_MANIFEST);
  };
  auto detach = [](Rig* rig) { ASSERT_TRUE(rig->Dfu().Detach(5000)); };
  const Case cases[] = {
      {"WaitingForResetRunsItsApplication",
       "dfu-version = 0x0110\nattributes = 0x03\ntransfer-size = 4\nmemory-size = 16\n"
       "alt = Application\nleave = wait-reset\nafter-leave = application\n",
       manifest, true, false, DFU_STATE_APP_IDLE},
      {"WaitingForResetHeldInItsBootLoader",
       "dfu-version = 0x0110\nattributes = 0x03\ntransfer-size = 4\nmemory-size = 16\n"
       "alt = Application\nleave = wait-reset\nafter-leave = dfu\n",
       manifest, true, true, DFU_STATE_DFU_IDLE},
      {"AppDetachComesUpInDfuMode", "mode = application\nattributes = 0x03\n", detach, true, true,
       DFU_STATE_DFU_IDLE},
      {"AppDetachTooLateCarriesOn", "mode = application\nattributes = 0x03\ndetach-timeout = 100\n",
       [&](Rig* rig) {
         detach(rig);
         rig->clock->Advance(100 * 1000);
       },
       false, false, DFU_STATE_APP_IDLE},
      {"DfuErrorStartsOverInDfuIdle", "", [](Rig* rig) { EXPECT_FALSE(rig->Dfu().Dnload(1, {1})); }, false,
       true, DFU_STATE_DFU_IDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.profile);
    c.reach(&rig);
    ASSERT_TRUE(rig.changes.empty());
    EXPECT_EQ(rig.device->BusReset(0, &rig.changes), SimOutcome::kOk);
    ASSERT_EQ(rig.changes.size(), c.moves ? 2u : 0u);
    if (c.moves) {
      EXPECT_FALSE(rig.changes[0].arrival);
      EXPECT_TRUE(rig.changes[1].arrival);
      EXPECT_EQ(rig.changes[1].dfuMode, c.dfuModeAfter);
    }
    EXPECT_EQ(rig.device->Attachment(), c.moves ? 1u : 0u);
    EXPECT_EQ(rig.device->InDfuMode(), c.dfuModeAfter);
    EXPECT_EQ(rig.device->State(), c.stateAfter);
    // The old appearance is reset no more.
    if (c.moves) {
      EXPECT_EQ(rig.device->BusReset(0, &rig.changes), SimOutcome::kGone);
    }
  }
}

// ---------------------------------------------------------------------------
// DfuSe commands and data placement

TEST(DfuDeviceDfuSe, SectorEraseClearsExactlyTheSectorThatHoldsTheAddress) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  const std::vector<uint8_t> before = rig.Memory(FLASH + 0x3FF0, 0x20);
  ASSERT_TRUE(dfu.Erase(FLASH + 0x4123));
  std::vector<uint8_t> after = rig.Memory(FLASH + 0x3FF0, 0x20);
  EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 0x10),
            std::vector<uint8_t>(before.begin(), before.begin() + 0x10));
  EXPECT_EQ(std::vector<uint8_t>(after.begin() + 0x10, after.end()),
            std::vector<uint8_t>(0x10, 0xFF));
  EXPECT_EQ(rig.Memory(FLASH + 0x7FFF, 1), std::vector<uint8_t>{0xFF});
  EXPECT_NE(rig.Memory(FLASH + 0x8000, 4), std::vector<uint8_t>(4, 0xFF));
}

TEST(DfuDeviceDfuSe, OneByteEraseCommandErasesTheWholeMemoryUnlessTheLoaderIgnoresIt) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.DnloadAndSettle(0, {0x41}));
  EXPECT_EQ(rig.Memory(FLASH, 512 * 1024), std::vector<uint8_t>(512 * 1024, 0xFF));

  Rig ignoring("mass-erase = nothing\n");
  const std::vector<uint8_t> before = ignoring.Memory(FLASH, 512 * 1024);
  CDfuRequester told = ignoring.Dfu();
  ASSERT_TRUE(told.DnloadAndSettle(0, {0x41})) << "the command is reported done";
  EXPECT_EQ(ignoring.Memory(FLASH, 512 * 1024), before);
}

TEST(DfuDeviceDfuSe, DataBlocksArePlacedByTheirNumberFromTheAddressPointer) {
  Rig rig("transfer-size = 1024\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.Erase(FLASH));
  ASSERT_TRUE(dfu.SetAddress(FLASH + 0x100));
  EXPECT_EQ(rig.device->AddressPointer(), FLASH + 0x100);
  // Block 3 is skipped, as a blank block would be: block 4 still lands at
  // pointer + 2 * 1024.
  ASSERT_TRUE(dfu.DnloadAndSettle(2, {0x11, 0x22}));
  ASSERT_TRUE(dfu.DnloadAndSettle(4, {0x33}));
  EXPECT_EQ(rig.Memory(FLASH + 0x100, 3), (std::vector<uint8_t>{0x11, 0x22, 0xFF}));
  EXPECT_EQ(rig.Memory(FLASH + 0x100 + 2048, 2), (std::vector<uint8_t>{0x33, 0xFF}));
}

TEST(DfuDeviceDfuSe, UploadBlocksArePlacedByTheirNumberAndAShortLastBlockWorks) {
  struct Case {
    const char* profile;
    uint32_t blockSize;
  } cases[] = {{"attributes = 0x0B\n", 2048}, {"attributes = 0x8B\n", 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    Rig rig(c.profile);
    CDfuRequester dfu = rig.Dfu();
    ASSERT_TRUE(dfu.SetAddress(FLASH + 0x10));
    ASSERT_TRUE(dfu.Abort());
    std::vector<uint8_t> data;
    ASSERT_TRUE(dfu.Upload(3, 100, &data));
    EXPECT_EQ(data, rig.Memory(FLASH + 0x10 + c.blockSize, 100));
    // A frame of the full length keeps the upload going.
    EXPECT_EQ(rig.device->State(), DFU_STATE_UPLOAD_IDLE);
  }
}

TEST(DfuDeviceDfuSe, UploadPastTheEndOfMemoryEndsWithAShortFrame) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.SetAddress(0x1FFFC000));  // option bytes: 16 bytes
  ASSERT_TRUE(dfu.Abort());
  std::vector<uint8_t> data;
  ASSERT_TRUE(rig.device->WriteMemory(1, 0x1FFFC000, std::vector<uint8_t>(16, 0xAB)));
  uint8_t select[3] = {0, 0, 1};
  uint32_t returned = 0;
  std::vector<SimBusChange> changes;
  ASSERT_TRUE(SimAnswerDriverRequest(rig.recorder.get(), 0, IOCTL_DFU_SELECT_ALTERNATE_SETTING,
                                     select, 3, nullptr, 0, &returned, &changes));
  ASSERT_TRUE(dfu.Upload(2, 64, &data));
  EXPECT_EQ(data, std::vector<uint8_t>(16, 0xAB));
  EXPECT_EQ(rig.device->State(), DFU_STATE_DFU_IDLE);
}

TEST(DfuDeviceDfuSe, ABlockThatStartsWhereTheMemoryEndsIsEmptyAndOneFurtherOnStalls) {
  // 512 KiB of internal flash in 2048-byte blocks: block 258 starts at its end.
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.SetAddress(FLASH));
  ASSERT_TRUE(dfu.Abort());
  std::vector<uint8_t> data;
  ASSERT_TRUE(dfu.Upload(257, 2048, &data));
  EXPECT_EQ(data.size(), 2048u);
  ASSERT_TRUE(dfu.Upload(258, 2048, &data));
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(rig.device->State(), DFU_STATE_DFU_IDLE);
  EXPECT_FALSE(dfu.Upload(259, 2048, &data));
  EXPECT_EQ(rig.device->State(), DFU_STATE_ERROR);
}

TEST(DfuDeviceDfuSe, UploadBlockZeroListsTheSupportedCommands) {
  Rig rig;
  std::vector<uint8_t> data;
  ASSERT_TRUE(rig.Dfu().Upload(0, 3, &data));
  EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0x21, 0x41}));
}

TEST(DfuDeviceDfuSe, MalformedDownloadsStall) {
  struct Case {
    const char* what;
    uint16_t block;
    std::vector<uint8_t> data;
  } cases[] = {
      {"set address with three bytes", 0, {0x21, 0x00, 0x00}},
      {"unknown command", 0, {0x99, 0x00, 0x00, 0x00, 0x08}},
      {"block 1", 1, {0x01, 0x02}},
      {"a block longer than wTransferSize", 2, std::vector<uint8_t>(2049, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    EXPECT_FALSE(rig.Dfu().Dnload(c.block, c.data));
    EXPECT_EQ(rig.device->State(), DFU_STATE_ERROR);
  }
}

// ---------------------------------------------------------------------------
// Flash semantics as the host sees them

TEST(DfuDeviceFlash, RefusedOperationsReportTheirErrorInDfuError) {
  const std::string profile =
      "alt = @Mixed /0x20000000/01*1Ka,01*1Kc,01*1Kf\n";  // read; read+erase; erase+write
  struct Case {
    const char* what;
    std::vector<uint8_t> pointer;  // empty: none
    uint16_t block;
    std::vector<uint8_t> data;
    uint8_t status;
  } cases[] = {
      {"erase of a sector without the erase bit",
       {},
       0,
       CDfuRequester::Command(0x41, 0x20000000),
       DFU_STATUS_ERR_ERASE},
      {"erase outside the memory",
       {},
       0,
       CDfuRequester::Command(0x41, 0x30000000),
       DFU_STATUS_ERR_ADDRESS},
      {"program of a sector without the write bit",
       CDfuRequester::Command(0x21, 0x20000400),
       2,
       {0x00},
       DFU_STATUS_ERR_WRITE},
      {"program that runs past the memory",
       CDfuRequester::Command(0x21, 0x20000BFF),
       2,
       {0x00, 0x00},
       DFU_STATUS_ERR_ADDRESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(profile);
    CDfuRequester dfu = rig.Dfu();
    const std::vector<uint8_t> before = rig.Memory(0x20000000, 3072);
    if (!c.pointer.empty()) {
      ASSERT_TRUE(dfu.DnloadAndSettle(0, c.pointer));
    }
    SimStatusAnswer answer;
    EXPECT_FALSE(dfu.DnloadAndSettle(c.block, c.data, &answer));
    EXPECT_EQ(answer.state, DFU_STATE_ERROR);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(rig.Memory(0x20000000, 3072), before) << "nothing was changed";
  }
}

TEST(DfuDeviceFlash, ProgrammingOverSetBitsLeavesTheAndAndReportsVerifyError) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(rig.device->WriteMemory(0, FLASH, {0xF0, 0xFF}));
  ASSERT_TRUE(dfu.SetAddress(FLASH));
  SimStatusAnswer answer;
  EXPECT_FALSE(dfu.DnloadAndSettle(2, {0x0F, 0x3C}, &answer));
  EXPECT_EQ(answer.state, DFU_STATE_ERROR);
  EXPECT_EQ(answer.status, DFU_STATUS_ERR_VERIFY);
  EXPECT_EQ(rig.Memory(FLASH, 2), (std::vector<uint8_t>{0x00, 0x3C}));
}

TEST(DfuDeviceFlash, UploadFromAnUnreadableSectorStalls) {
  Rig rig("alt = @Secret /0x20000000/01*1Kf\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.SetAddress(0x20000000));
  ASSERT_TRUE(dfu.Abort());
  std::vector<uint8_t> data;
  EXPECT_FALSE(dfu.Upload(2, 16, &data));
  EXPECT_EQ(rig.device->State(), DFU_STATE_ERROR);
}

TEST(DfuDeviceFlash, AlternateSettingWithoutAMapIsPublishedButHasNoMemory) {
  Rig rig("alt = Internal Flash\nalt =\n");
  std::vector<uint8_t> descriptor;
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &descriptor, 512));
  ASSERT_EQ(descriptor.size(), 9u + 2 * 9 + 9);
  EXPECT_EQ(descriptor[9 + 8], 4);   // "Internal Flash", without '@'
  EXPECT_EQ(descriptor[18 + 8], 0);  // no interface string
  SimStatusAnswer answer;
  EXPECT_FALSE(dfu.DnloadAndSettle(0, CDfuRequester::Command(0x41, FLASH), &answer));
  EXPECT_EQ(answer.status, DFU_STATUS_ERR_ADDRESS);
}

// ---------------------------------------------------------------------------
// Timing

TEST(DfuDeviceTiming, FastTimingNeverWaitsAndReportsNoPollTime) {
  Rig rig;
  CDfuRequester dfu = rig.Dfu();
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.Dnload(0, {0x41}));
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_DNBUSY);
  EXPECT_EQ(answer.poll, 0u);
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_DNLOAD_IDLE);
  EXPECT_EQ(rig.clock->Slept(), 0u);
}

TEST(DfuDeviceTiming, RealTimingReportsFlashTimeThroughPollTimeout) {
  struct Case {
    const char* what;
    uint16_t block;
    std::vector<uint8_t> data;
    uint32_t pollMs;
  } cases[] = {
      {"erase of a 16 KiB sector", 0, CDfuRequester::Command(0x41, FLASH), 125},
      {"erase of a 64 KiB sector", 0, CDfuRequester::Command(0x41, FLASH + 0x10000), 500},
      {"erase of a 128 KiB sector", 0, CDfuRequester::Command(0x41, FLASH + 0x20000), 1000},
      {"mass erase of 512 KiB", 0, {0x41}, 4000},
      {"set address pointer", 0, CDfuRequester::Command(0x21, FLASH), 0},
      {"program 2048 bytes", 2, std::vector<uint8_t>(2048, 0xFF), 8},
      {"program 452 bytes", 2, std::vector<uint8_t>(452, 0xFF), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig("timing = real\n");
    CDfuRequester dfu = rig.Dfu();
    SimStatusAnswer answer;
    ASSERT_TRUE(dfu.Dnload(c.block, c.data));
    ASSERT_TRUE(dfu.GetStatus(&answer));
    EXPECT_EQ(answer.state, DFU_STATE_DNBUSY);
    EXPECT_EQ(answer.poll, c.pollMs);
  }
}

TEST(DfuDeviceTiming, StatusRequestedTooEarlyAnswersBusyWithTheTimeThatRemains) {
  Rig rig("timing = real\n");
  CDfuRequester dfu = rig.Dfu();
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.Dnload(0, CDfuRequester::Command(0x41, FLASH)));
  ASSERT_TRUE(dfu.GetStatus(&answer));  // erase starts: 125 ms
  ASSERT_EQ(answer.poll, 125u);
  // The status request itself took 0.5 ms of bus time plus 6 bytes.
  rig.clock->Advance(100 * 1000);
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_DNBUSY);
  EXPECT_EQ(answer.poll, 25u);
  rig.clock->Advance(25 * 1000);
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_DNLOAD_IDLE);
  EXPECT_EQ(answer.poll, 0u);
}

TEST(DfuDeviceTiming, RealTimingSpendsBusTimeInsideEveryRequest) {
  Rig rig("timing = real\n");
  CDfuRequester dfu = rig.Dfu();
  std::vector<uint8_t> descriptor;
  ASSERT_TRUE(dfu.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18));
  EXPECT_EQ(rig.clock->Slept(), 500u + 18 * 1000 / 1024);
  ASSERT_TRUE(dfu.Dnload(0, std::vector<uint8_t>{0x41}));
  EXPECT_EQ(rig.clock->Slept(), 500u + 17 + 500 + 0);
  const uint64_t before = rig.clock->Slept();
  EXPECT_FALSE(dfu.Abort());  // dfuDNLOAD-SYNC takes no abort
  EXPECT_EQ(rig.clock->Slept() - before, 500u) << "a stalled request takes bus time too";
}

// GETSTATUS costs 500 µs plus its 6 bytes on the bus.
constexpr uint64_t GETSTATUS_BUS_MICROS = 500 + 6 * 1000 / 1024;

TEST(DfuDeviceTiming, ASleepsOverrunIsTakenOffTheNextRequestsBusTime) {
  Rig rig("timing = real\n");
  CDfuRequester dfu = rig.Dfu();
  rig.clock->OversleepBy(300);  // every sleep wakes up 300 µs late
  const uint64_t start = rig.clock->NowMicros();
  SimStatusAnswer answer;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(dfu.GetStatus(&answer));
  // One overrun in all, not one per request.
  EXPECT_EQ(rig.clock->NowMicros() - start, 10 * GETSTATUS_BUS_MICROS + 300);
}

TEST(DfuDeviceTiming, ALongStallIsMadeUpForByAFewRequestsAtMost) {
  Rig rig("timing = real\n");
  CDfuRequester dfu = rig.Dfu();
  SimStatusAnswer answer;
  rig.clock->OversleepBy(50000);  // the process was not scheduled for 50 ms
  ASSERT_TRUE(dfu.GetStatus(&answer));
  rig.clock->OversleepBy(0);
  const uint64_t before = rig.clock->Slept();
  for (int i = 0; i < 19; ++i) ASSERT_TRUE(dfu.GetStatus(&answer));
  // The next requests still take their bus time, less 5 ms.
  EXPECT_EQ(rig.clock->Slept() - before, 19 * GETSTATUS_BUS_MICROS - 5000);
}

// ---------------------------------------------------------------------------
// How real bootloaders differ from the ideal device

std::string StringOf(CDfuRequester* dfu, uint8_t index) {
  std::vector<uint8_t> bytes;
  if (!dfu->Ioctl(IOCTL_DFU_GET_STRING_DESCRIPTOR, {index, 0x09, 0x04}, &bytes, 255)) return "(none)";
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += static_cast<char>(bytes[i]);
  return text;
}

TEST(DfuDeviceBootloader, SerialIsSharedUnlessGivenOrNumbered) {
  struct Case {
    const char* profile;
    uint32_t number;
    const char* serial;
  } cases[] = {
      {"", 2, "ZUVA00000001"},
      {"serial = 3A7F0001\n", 2, "3A7F0001"},
      {"serial = auto\n", 1, "SIM0001"},
      {"serial = auto\n", 12, "SIM0012"},
  };
  for (const Case& c : cases) {
    Rig rig(c.profile, "", c.number);
    CDfuRequester dfu = rig.Dfu();
    EXPECT_EQ(StringOf(&dfu, 3), c.serial) << c.profile << c.number;
  }
}

TEST(DfuDeviceBootloader, AnnouncedPollTimeoutIsKeptWhateverTheFlashNeeds) {
  // A 16 KiB sector erase takes 125 ms.
  struct Case {
    const char* profile;
    uint32_t firstPoll;
    uint64_t waitMs;        // before the second status request
    uint8_t secondState;
    uint32_t secondPoll;
  } cases[] = {
      {"timing = real\npoll-timeout = 10\n", 10, 10, DFU_STATE_DNBUSY, 10},   // announces too little
      {"timing = real\npoll-timeout = 500\n", 500, 125, DFU_STATE_DNLOAD_IDLE, 0},  // too much
      {"timing = fast\npoll-timeout = 50\n", 50, 0, DFU_STATE_DNLOAD_IDLE, 0},
      {"timing = real\n", 125, 100, DFU_STATE_DNBUSY, 25},  // what really remains
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    Rig rig(c.profile);
    CDfuRequester dfu = rig.Dfu();
    SimStatusAnswer answer;
    ASSERT_TRUE(dfu.Dnload(0, CDfuRequester::Command(0x41, FLASH)));
    ASSERT_TRUE(dfu.GetStatus(&answer));
    EXPECT_EQ(answer.state, DFU_STATE_DNBUSY);
    EXPECT_EQ(answer.poll, c.firstPoll);
    rig.clock->Advance(c.waitMs * 1000);
    ASSERT_TRUE(dfu.GetStatus(&answer));
    EXPECT_EQ(answer.state, c.secondState);
    EXPECT_EQ(answer.poll, c.secondPoll);
  }
}

TEST(DfuDeviceBootloader, HeldStatusAnswersWhenTheWorkIsDone) {
  Rig rig("timing = real\nstatus-hold = yes\n");
  CDfuRequester dfu = rig.Dfu();
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.Dnload(0, CDfuRequester::Command(0x41, FLASH)));
  const uint64_t before = rig.clock->Slept();
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_GE(rig.clock->Slept() - before, 125000u);
  EXPECT_EQ(answer.state, DFU_STATE_DNLOAD_IDLE);
  EXPECT_EQ(answer.status, DFU_STATUS_OK);
  // A mismatch that shows once programming ends comes with the held answer.
  ASSERT_TRUE(dfu.SetAddress(FLASH + 0x4000));  // old firmware there
  ASSERT_TRUE(dfu.Dnload(2, std::vector<uint8_t>(2048, 0xFF)));
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_ERROR);
  EXPECT_EQ(answer.status, DFU_STATUS_ERR_VERIFY);
}

TEST(DfuDeviceBootloader, FlashTimesFollowTheProfile) {
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    uint16_t block;
    uint32_t pollMs;
  } cases[] = {
      {"erase of a 16 KiB sector", CDfuRequester::Command(0x41, FLASH), 0, 16},
      {"erase of a 128 KiB sector", CDfuRequester::Command(0x41, FLASH + 0x20000), 0, 128},
      {"mass erase", {0x41}, 0, 30000},
      {"program 2048 bytes", std::vector<uint8_t>(2048, 0xFF), 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig("timing = real\nerase-us-per-kib = 1000\nprogram-us-per-kib = 500\nmass-erase-ms = 30000\n");
    CDfuRequester dfu = rig.Dfu();
    SimStatusAnswer answer;
    ASSERT_TRUE(dfu.Dnload(c.block, c.data));
    ASSERT_TRUE(dfu.GetStatus(&answer));
    EXPECT_EQ(answer.poll, c.pollMs);
  }
  // Without mass-erase-ms a mass erase costs the erase time of every sector.
  Rig rig("timing = real\nerase-us-per-kib = 1000\n");
  CDfuRequester dfu = rig.Dfu();
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.Dnload(0, {0x41}));
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.poll, 512u);
}

TEST(DfuDeviceBootloader, LeaveThatResetsIsGoneBeforeItsStatus) {
  Rig rig("leave = reset\n");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.SetAddress(FLASH));
  ASSERT_TRUE(dfu.Dnload(0, {}));
  EXPECT_FALSE(rig.device->Present());
  ASSERT_EQ(rig.changes.size(), 1u);
  EXPECT_FALSE(rig.changes[0].arrival);
  EXPECT_EQ(dfu.StatusState(), 0xEE);
}

TEST(DfuDeviceBootloader, ProtectedDeviceRefusesEverythingUntilUnprotected) {
  Rig rig("protected = yes\n");
  CDfuRequester dfu = rig.Dfu();
  const std::vector<uint8_t> old = rig.Memory(FLASH, 64);
  struct Case {
    const char* what;
    uint16_t block;
    std::vector<uint8_t> data;
  } refused[] = {
      {"sector erase", 0, CDfuRequester::Command(0x41, FLASH)},
      {"set address", 0, CDfuRequester::Command(0x21, FLASH)},
      {"mass erase", 0, {0x41}},
      {"data block", 2, std::vector<uint8_t>(64, 0)},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    SimStatusAnswer answer;
    ASSERT_TRUE(dfu.Dnload(c.block, c.data));
    ASSERT_TRUE(dfu.GetStatus(&answer));
    EXPECT_EQ(answer.state, DFU_STATE_ERROR);
    EXPECT_EQ(answer.status, 0x0B);
    ASSERT_TRUE(dfu.ClrStatus());
  }
  std::vector<uint8_t> data;
  EXPECT_FALSE(dfu.Upload(2, 64, &data));
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_ERROR);
  EXPECT_EQ(answer.status, 0x0B);
  EXPECT_EQ(rig.Memory(FLASH, 64), old);
  EXPECT_TRUE(rig.changes.empty());

  // Read-unprotect: the flash is wiped and the device comes back unprotected.
  ASSERT_TRUE(dfu.ClrStatus());
  ASSERT_TRUE(dfu.Dnload(0, {0x92}));
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_DNBUSY);
  ASSERT_EQ(rig.changes.size(), 2u);
  EXPECT_TRUE(rig.changes[1].arrival);
  EXPECT_EQ(rig.changes[1].attachment, 1u);
  EXPECT_EQ(rig.Memory(FLASH, 64), std::vector<uint8_t>(64, 0xFF));
  CDfuRequester after = rig.Dfu(1);
  EXPECT_TRUE(after.SetAddress(FLASH));
  EXPECT_TRUE(after.Abort());
  EXPECT_TRUE(after.Upload(2, 64, &data));
}

TEST(DfuDeviceBootloader, CompositeApplicationNamesItsDfuInterfaceAfterItsOwn) {
  Rig rig("mode = application\nextra-interfaces = 2\n");
  CDfuRequester app = rig.Dfu(0);
  std::vector<uint8_t> config;
  ASSERT_TRUE(app.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &config, 512));
  ASSERT_GE(config.size(), 9u + 3 * 9);
  EXPECT_EQ(config[4], 3) << "bNumInterfaces";
  // Interface descriptors: number and class of each.
  std::vector<std::pair<uint8_t, uint8_t>> interfaces;
  for (size_t at = 9; at + 1 < config.size(); at += config[at]) {
    if (config[at + 1] == 4) interfaces.push_back({config[at + 2], config[at + 5]});
  }
  EXPECT_EQ(interfaces, (std::vector<std::pair<uint8_t, uint8_t>>{{0, 0xFF}, {1, 0xFF}, {2, 0xFE}}));
  // DETACH addressed to another interface is not the DFU interface's.
  EXPECT_FALSE(app.Request(DFU_REQUEST_DETACH, false, 5000, 0, {}, 0));
  EXPECT_TRUE(app.Request(DFU_REQUEST_DETACH, false, 5000, 2, {}, 0));
  ASSERT_EQ(rig.changes.size(), 2u);
  // Back in DFU mode it shows only its DFU interface, number 0.
  CDfuRequester dfu = rig.Dfu(1);
  ASSERT_TRUE(dfu.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &config, 512));
  EXPECT_EQ(config[4], 1);
  EXPECT_EQ(config[9 + 2], 0);
  EXPECT_TRUE(dfu.SetAddress(FLASH));
}

// ---------------------------------------------------------------------------
// Faults

TEST(DfuDeviceFaults, StallFailsThePlannedRequestOnly) {
  Rig rig("", "stall@2,stall@4");
  CDfuRequester dfu = rig.Dfu();
  std::vector<uint8_t> descriptor;
  EXPECT_TRUE(dfu.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18));
  EXPECT_FALSE(dfu.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18));
  EXPECT_EQ(rig.device->State(), DFU_STATE_DFU_IDLE) << "a descriptor request leaves DFU alone";
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_EQ(dfu.StatusState(), 0xEE);
  // A stalled class request leaves the device in dfuERROR, as a real stall does.
  SimStatusAnswer answer;
  ASSERT_TRUE(dfu.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_ERROR);
  EXPECT_EQ(answer.status, DFU_STATUS_ERR_STALLEDPKT);
}

TEST(DfuDeviceFaults, PlannedStatusReplacesTheAnswerAndTheWorkOfItsStatusRequest) {
  struct Case {
    const char* plan;
    uint8_t status;
    uint8_t state;
  } cases[] = {{"status=0x0A@3", 0x0A, DFU_STATE_ERROR}, {"status=0x00:6@3", 0x00, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plan);
    Rig rig("", c.plan);
    CDfuRequester dfu = rig.Dfu();
    const std::vector<uint8_t> before = rig.Memory(FLASH, 16);
    ASSERT_TRUE(dfu.Dnload(0, {0x41}));  // 1
    uint8_t state;
    ASSERT_TRUE(dfu.GetState(&state));  // 2
    SimStatusAnswer answer;
    ASSERT_TRUE(dfu.GetStatus(&answer));  // 3
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.state, c.state);
    EXPECT_EQ(rig.device->State(), c.state);
    EXPECT_EQ(rig.Memory(FLASH, 16), before) << "the erase was not carried out";
  }
}

TEST(DfuDeviceFaults, StatusFaultOnAnotherRequestChangesNothing) {
  Rig rig("", "status=0x0A@1");
  uint8_t state;
  ASSERT_TRUE(rig.Dfu().GetState(&state));
  EXPECT_EQ(state, DFU_STATE_DFU_IDLE);
  EXPECT_EQ(rig.Dfu().StatusState(), DFU_STATE_DFU_IDLE);
}

TEST(DfuDeviceFaults, UnplugMakesThePlannedRequestAndEveryLaterOneGone) {
  Rig rig("", "unplug@2");
  CDfuRequester dfu = rig.Dfu();
  EXPECT_EQ(dfu.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_TRUE(rig.changes.empty());
  EXPECT_EQ(dfu.StatusState(), 0xEE);
  ASSERT_EQ(rig.changes.size(), 1u);
  EXPECT_FALSE(rig.changes[0].arrival);
  std::vector<uint8_t> descriptor;
  EXPECT_FALSE(dfu.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18));
  EXPECT_FALSE(rig.device->Present());
  EXPECT_EQ(rig.recorder->RequestCount(), 3u) << "requests to a gone device still count";
  EXPECT_EQ(rig.changes.size(), 1u);
}

TEST(DfuDeviceFaults, CorruptCellStoresAFlippedLowBitWhileTheStatusSaysOk) {
  Rig rig("", "corrupt@0x08000001");
  CDfuRequester dfu = rig.Dfu();
  ASSERT_TRUE(dfu.Erase(FLASH));
  ASSERT_TRUE(dfu.SetAddress(FLASH));
  SimStatusAnswer answer;
  EXPECT_TRUE(dfu.DnloadAndSettle(2, {0x10, 0x20, 0x30}, &answer));
  EXPECT_EQ(answer.status, DFU_STATUS_OK);
  EXPECT_EQ(rig.Memory(FLASH, 3), (std::vector<uint8_t>{0x10, 0x21, 0x30}));
}

// ---------------------------------------------------------------------------
// The request log

TEST(DfuDeviceLog, EveryRequestIsLoggedInTraceFormat) {
  Rig rig("", "stall@5");
  CDfuRequester dfu = rig.Dfu();
  std::vector<uint8_t> out;
  dfu.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &out, 512);
  dfu.Dnload(0, CDfuRequester::Command(0x21, FLASH));
  SimStatusAnswer answer;
  dfu.GetStatus(&answer);
  dfu.GetStatus(&answer);
  dfu.Abort();  // 5: planned stall
  uint8_t state;
  dfu.GetState(&state);
  dfu.Request(9, true, 1, 0, {}, 2, &out);
  dfu.Ioctl(0x222018, {}, &out, 0);
  dfu.Upload(2, 16, &out);
  rig.device->Unplug(&rig.changes);
  dfu.Detach(5000);
  std::vector<std::string> lines;
  for (const SimRequestRecord& record : rig.recorder->RequestLog()) lines.push_back(record.line);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "1 GET_CONFIGURATION_DESCRIPTOR 0 -> ok",
                       "2 DNLOAD 0 0 5 -> ok",
                       "3 GETSTATUS 0 0 6 -> ok status=0 state=4 poll=0",
                       "4 GETSTATUS 0 0 6 -> ok status=0 state=5 poll=0",
                       "5 ABORT 0 0 0 -> stall",
                       "6 GETSTATE 0 0 1 -> ok state=10",
                       "7 REQUEST_9 1 0 2 -> stall",
                       "8 UNKNOWN_IOCTL 2236440 -> stall",
                       "9 UPLOAD 2 0 16 -> stall",
                       "10 DETACH 5000 0 0 -> gone",
                   }));
  const auto log = rig.recorder->RequestLog();
  EXPECT_EQ(log[1].data, CDfuRequester::Command(0x21, FLASH));
}

// ---------------------------------------------------------------------------
// Threads

TEST(DfuDeviceThreads, TwoFrontsMaySendAtTheSameTime) {
  Rig rig;
  auto work = [&] {
    CDfuRequester dfu = CDfuRequester::ToModel(rig.recorder.get());
    for (int i = 0; i < 300; ++i) {
      std::vector<uint8_t> data;
      dfu.Upload(2, 32, &data);
      dfu.Abort();
      (void)rig.recorder->RequestLog();
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(rig.recorder->RequestCount(), 1200u);
}

}  // namespace
