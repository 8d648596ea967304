// The framework's own arithmetic and the faults the virtual device cannot
// show, driven through a scripted driver backend.
#include "operations/dfu_thread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "device/fake_driver_test_support.h"
#include "operations/download_thread.h"
#include "operations/upload_thread.h"
#include "platform/driver_port.h"

namespace {

// Exposes the framework's routines; its Step opens the device and then either
// waits a minute or finishes at once.
class CProbeThread : public CDFUThread {
 public:
  using CDFUThread::CDFUThread;
  using CDFUThread::FinishElementWalk;
  using CDFUThread::TransferBlock;

  bool Step() override {
    if (throwInStep) throw std::bad_alloc();
    OperationContext context;
    ReadContext(&context);
    OpenDevice(context.devicePath, &context.device);
    PublishContext(context);
    opened = true;
    nextWaitMs = 60000;
    return !finishAtOnce;
  }

  bool finishAtOnce = false;
  bool throwInStep = false;
  std::atomic<bool> opened{false};
};

class DfuThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDevicesManager();
    backend = std::make_shared<CFakeDriverBackend>();
    RegisterDriverBackend(backend);
    device = backend->AddDevice("dfu");
    device->configurations = {CConfigBuilder(1).Interface(0, 0, 0).Functional(0x0B, 1024).Build()};
    caller = OperationContext{};
    caller.opCode = OP_CODE_DOWNLOAD;
    caller.image = &image;
    std::strcpy(caller.devicePath, "fake:dfu");
  }
  void TearDown() override {
    UnregisterDriverBackend(backend.get());
    DestroyDevicesManager();
  }

  void AddElement(uint32_t address, std::vector<uint8_t> bytes) {
    ImageElement element{address, static_cast<uint32_t>(bytes.size()), bytes.data()};
    ASSERT_TRUE(image.SetElement(image.ElementCount(), 1, element));
  }

  // The record of the thread, on an open device, set for the download of
  // the first 1,024-byte block of element 0.
  OperationContext FirstBlockOpen(CDFUThread& thread) {
    OperationContext context;
    thread.ReadContext(&context);
    EXPECT_EQ(OpenDevice(context.devicePath, &context.device), RESULT_OK);
    context.elementIndex = 0;
    context.phase = PHASE_DNLOAD;
    context.blockNumber = 2;
    context.blockLength = 1024;
    return context;
  }

  // The class requests the device received, by bRequest.
  std::vector<uint8_t> ClassRequests() {
    std::vector<uint8_t> requests;
    for (const ControlRequestHeader& h : device->ControlHeaders()) requests.push_back(h.request);
    return requests;
  }

  std::shared_ptr<CFakeDriverBackend> backend;
  std::shared_ptr<CFakeDevice> device;
  CImage image;
  OperationContext caller{};
};

TEST_F(DfuThreadTest, ConstructionReadsTheDeviceAndSetsTheLaunchRecord) {
  AddElement(0x08000000, std::vector<uint8_t>(2500, 0x11));
  AddElement(0x08010000, std::vector<uint8_t>(1024, 0x22));
  caller.publishCount = 77;
  CProbeThread thread(&caller);
  EXPECT_EQ(caller.result, RESULT_OK);
  EXPECT_EQ(caller.blockSize, 1024);
  EXPECT_EQ(thread.TotalBlocks(), 4u);
  EXPECT_EQ(device->OpenConnections(), 0);  // opened for a moment only

  OperationContext record;
  thread.ReadContext(&record);
  EXPECT_EQ(record.publishCount, 0u);
  EXPECT_EQ(record.progress, 0);
  EXPECT_EQ(record.phase, PHASE_NONE);
  EXPECT_EQ(record.elementIndex, 0xFFFFFFFFu);
  EXPECT_EQ(record.blockNumber, 0xFFFFFFFFu);
  EXPECT_EQ(record.deviceStatus.bState, STATE_NOT_STARTED);
  EXPECT_EQ(record.blockSize, 1024);
  EXPECT_EQ(record.device, DEVICE_INVALID_HANDLE);
  EXPECT_STREQ(record.devicePath, "fake:dfu");
}

TEST_F(DfuThreadTest, ConstructionReportsADeviceThatDoesNotOpen) {
  std::strcpy(caller.devicePath, "fake:absent");
  CProbeThread thread(&caller);
  EXPECT_EQ(caller.result, DEV_ERR_OPEN_FAILED);
  OperationContext record;
  thread.ReadContext(&record);
  EXPECT_EQ(record.result, DEV_ERR_OPEN_FAILED);
}

TEST_F(DfuThreadTest, PublishRaisesTheSharedCountWhateverTheCopyHolds) {
  CProbeThread thread(&caller);
  OperationContext record;
  thread.ReadContext(&record);
  for (uint32_t copyCount : {0u, 0u, 1000u}) {
    record.publishCount = copyCount;
    record.progress = 42;
    thread.PublishContext(record);
  }
  OperationContext shared;
  thread.ReadContext(&shared);
  EXPECT_EQ(shared.publishCount, 3u);
  EXPECT_EQ(shared.progress, 42);
}

struct BlockWalkCase {
  const char* name;
  OperationCode opCode;
  uint32_t skipBlank;
  std::vector<uint32_t> elementSizes;
  int blankBlock;  // index of an all-0xFF block in element 0, or -1
  // Expected (element, block, length) of each block set up, in order.
  std::vector<std::vector<uint32_t>> blocks;
};

void PrintTo(const BlockWalkCase& c, std::ostream* out) { *out << c.name; }

class AdvanceBlockTest : public DfuThreadTest, public ::testing::WithParamInterface<BlockWalkCase> {};

TEST_P(AdvanceBlockTest, WalksTheBlocksOfEveryElement) {
  const BlockWalkCase& c = GetParam();
  for (size_t e = 0; e < c.elementSizes.size(); ++e) {
    std::vector<uint8_t> bytes(c.elementSizes[e], 0x00);
    if (e == 0 && c.blankBlock >= 0) {
      std::fill(bytes.begin() + c.blankBlock * 1024, bytes.begin() + (c.blankBlock + 1) * 1024, 0xFF);
    }
    AddElement(0x08000000 + static_cast<uint32_t>(e) * 0x10000, bytes);
  }
  caller.opCode = c.opCode;
  caller.skipBlankBlocks = c.skipBlank;
  CProbeThread thread(&caller);
  OperationContext context;
  thread.ReadContext(&context);
  context.elementIndex = 0;
  context.blockNumber = 0;  // the first element's command has been sent

  std::vector<std::vector<uint32_t>> walked;
  for (int guard = 0; guard < 100; ++guard) {
    uint32_t done = 7;
    const bool more = thread.AdvanceBlock(&context, &done);
    if (done == 0) {
      ASSERT_TRUE(more);
      walked.push_back({context.elementIndex, context.blockNumber, context.blockLength});
      continue;
    }
    if (!more) break;  // the last element is complete
    ++context.elementIndex;
    context.blockNumber = 0;  // the element's command has been sent
  }
  EXPECT_EQ(walked, c.blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, AdvanceBlockTest,
    ::testing::Values(
        BlockWalkCase{"ShortLastBlock", OP_CODE_DOWNLOAD, 0, {2500}, -1, {{0, 2, 1024}, {0, 3, 1024}, {0, 4, 452}}},
        BlockWalkCase{"EraseSendsNoBlocks", OP_CODE_ERASE, 0, {2500, 1024, 4096}, -1, {}},
        BlockWalkCase{"BlankBlockUsesUpItsNumber", OP_CODE_DOWNLOAD, 1, {3072}, 1, {{0, 2, 1024}, {0, 4, 1024}}},
        BlockWalkCase{"BlankBlockSentWithoutSkipping", OP_CODE_DOWNLOAD, 0, {3072}, 1,
                      {{0, 2, 1024}, {0, 3, 1024}, {0, 4, 1024}}},
        BlockWalkCase{"UploadIgnoresSkipping", OP_CODE_UPLOAD, 1, {2048}, 0, {{0, 2, 1024}, {0, 3, 1024}}},
        BlockWalkCase{"EveryElementStartsAtBlockTwo", OP_CODE_DOWNLOAD, 0, {1024, 1500},
                      -1, {{0, 2, 1024}, {1, 2, 1024}, {1, 3, 476}}},
        BlockWalkCase{"EmptyElementIsCompleteAtOnce", OP_CODE_DOWNLOAD, 0, {0, 100}, -1, {{1, 2, 100}}}),
    [](const ::testing::TestParamInfo<BlockWalkCase>& info) { return info.param.name; });

TEST_F(DfuThreadTest, AdvanceBlockFindsNoElementOutsideTheImage) {
  AddElement(0x08000000, std::vector<uint8_t>(100, 0));
  CProbeThread thread(&caller);
  OperationContext context;
  thread.ReadContext(&context);
  uint32_t done = 7;
  context.elementIndex = 1;
  EXPECT_FALSE(thread.AdvanceBlock(&context, &done));
  EXPECT_EQ(done, 0u);
  context.elementIndex = 0;
  image.isValid = 0;
  EXPECT_FALSE(thread.AdvanceBlock(&context, &done));
  EXPECT_EQ(done, 0u);
  // Without a block size no data block can be formed.
  image.isValid = 1;
  context.blockSize = 0;
  EXPECT_FALSE(thread.AdvanceBlock(&context, &done));
  EXPECT_EQ(done, 0u);
}

TEST_F(DfuThreadTest, TransferRefusesABlockItCannotFormWithoutARequest) {
  AddElement(0x08000000, std::vector<uint8_t>(1000, 0));
  CProbeThread thread(&caller);
  struct Case {
    uint32_t phase;
    uint32_t block;
    uint32_t length;
  } cases[] = {
      {PHASE_DNLOAD, 1, 16},    // block 1 carries nothing in DfuSe
      {PHASE_UPLOAD, 0, 16},    // uploads read data blocks only
      {PHASE_UPLOAD, 1, 16},
      {PHASE_DNLOAD, 2, 1024},  // past the end of the element
      {PHASE_UPLOAD, 2, 1024},
  };
  for (const Case& c : cases) {
    OperationContext context;
    thread.ReadContext(&context);
    ASSERT_EQ(OpenDevice(context.devicePath, &context.device), RESULT_OK);
    context.elementIndex = 0;
    context.phase = c.phase;
    context.blockNumber = c.block;
    context.blockLength = c.length;
    EXPECT_FALSE(thread.TransferBlock(&context));
    EXPECT_EQ(context.result, OP_ERR_BAD_PARAMETER);
    CloseDevice(context.device);
  }
  EXPECT_TRUE(ClassRequests().empty());
}

TEST_F(DfuThreadTest, DeviceStuckInErrorBeforeACommandEndsTheOperationAfterThreeRounds) {
  AddElement(0x08000000, std::vector<uint8_t>(1024, 0));
  device->control = [](const ControlRequestHeader& h, const std::vector<uint8_t>&, std::vector<uint8_t>* reply) {
    if (h.request == DFU_REQUEST_GETSTATE) *reply = {DFU_STATE_ERROR};
    return true;
  };
  CProbeThread thread(&caller);
  OperationContext context;
  thread.ReadContext(&context);
  ASSERT_EQ(OpenDevice(context.devicePath, &context.device), RESULT_OK);
  context.elementIndex = 0;
  EXPECT_FALSE(thread.SendSetAddressCommand(&context));
  EXPECT_EQ(context.result, OP_ERR_UNEXPECTED);
  const std::vector<uint8_t> expected = {DFU_REQUEST_GETSTATE, DFU_REQUEST_CLRSTATUS, DFU_REQUEST_GETSTATE,
                                         DFU_REQUEST_CLRSTATUS, DFU_REQUEST_GETSTATE, DFU_REQUEST_CLRSTATUS,
                                         DFU_REQUEST_GETSTATE, DFU_REQUEST_ABORT};
  EXPECT_EQ(ClassRequests(), expected);
  OperationContext shared;
  thread.ReadContext(&shared);
  EXPECT_EQ(shared.result, OP_ERR_UNEXPECTED);
  CloseDevice(context.device);
}

TEST_F(DfuThreadTest, BusyAnswerSetsTheWaitToItsPollTimeoutAndAZeroOnlyOncePerRequest) {
  AddElement(0x08000000, std::vector<uint8_t>(1024, 0));
  CProbeThread thread(&caller);
  struct Case {
    uint8_t pollLow;
    uint8_t pollHigh;
    uint8_t state;
    uint32_t wait;
  } cases[] = {
      {50, 0, DFU_STATE_DNBUSY, 50},
      {0x10, 0x27, DFU_STATE_DNBUSY, 10000},
      {0, 0, DFU_STATE_DNBUSY, 0},         // announced 0: asked again at once,
      {0, 0, DFU_STATE_DNBUSY, 1},         // but for the same request no flood
      {50, 0, DFU_STATE_DNLOAD_IDLE, 0},  // not busy: the next step at once
  };
  for (const Case& c : cases) {
    device->control = [&c](const ControlRequestHeader& h, const std::vector<uint8_t>&, std::vector<uint8_t>* reply) {
      if (h.request == DFU_REQUEST_GETSTATUS) *reply = {0, c.pollLow, c.pollHigh, 0, c.state, 0};
      return true;
    };
    OperationContext context = FirstBlockOpen(thread);
    EXPECT_TRUE(thread.TransferBlock(&context));
    EXPECT_EQ(thread.StepInterval(), c.wait) << int(c.pollLow) << " " << int(c.state);
    CloseDevice(context.device);
  }
}

TEST_F(DfuThreadTest, ErrorStatusThreeTimesAfterABlockEndsWithAnAbort) {
  AddElement(0x08000000, std::vector<uint8_t>(1024, 0));
  device->control = [](const ControlRequestHeader& h, const std::vector<uint8_t>&, std::vector<uint8_t>* reply) {
    if (h.request == DFU_REQUEST_GETSTATUS) *reply = {DFU_STATUS_ERR_WRITE, 0, 0, 0, DFU_STATE_ERROR, 0};
    return true;
  };
  CProbeThread thread(&caller);
  OperationContext context = FirstBlockOpen(thread);
  EXPECT_FALSE(thread.TransferBlock(&context));
  EXPECT_EQ(context.result, OP_ERR_UNEXPECTED);
  const std::vector<uint8_t> attempt = {DFU_REQUEST_DNLOAD, DFU_REQUEST_GETSTATUS, DFU_REQUEST_CLRSTATUS};
  std::vector<uint8_t> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), attempt.begin(), attempt.end());
  expected.push_back(DFU_REQUEST_ABORT);
  EXPECT_EQ(ClassRequests(), expected);
  CloseDevice(context.device);
}

TEST_F(DfuThreadTest, WalkThatEndsWithoutItsLastElementFailsInsteadOfHanging) {
  AddElement(0x08000000, std::vector<uint8_t>(16, 0));
  CProbeThread thread(&caller);
  OperationContext context;
  thread.ReadContext(&context);
  context.elementIndex = 1;  // the image lost an element under the operation
  EXPECT_FALSE(thread.FinishElementWalk(&context, 0));
  OperationContext shared;
  thread.ReadContext(&shared);
  EXPECT_EQ(shared.result, OP_ERR_BAD_PARAMETER);
  EXPECT_NE(shared.progress, 100);
  EXPECT_TRUE(ClassRequests().empty());
}

// A transfer size of 0 would make data blocks of length 0, which read as the
// request to leave DFU mode, or uploads that never read anything.
TEST_F(DfuThreadTest, TransferSizeZeroRefusesOnlyTheOperationsThatMoveData) {
  struct Case {
    OperationCode opCode;
    uint8_t attributes;
    StatusCode result;
    uint16_t blockSize;
  } cases[] = {
      {OP_CODE_DOWNLOAD, 0x0B, OP_ERR_UNEXPECTED, 0},
      {OP_CODE_ERASE, 0x0B, RESULT_OK, 0},
      {OP_CODE_UPLOAD, 0x0B, OP_ERR_UNEXPECTED, 0},
      {OP_CODE_UPLOAD, 0x8B, RESULT_OK, 4096},  // accelerated upload has its own size
  };
  for (const Case& c : cases) {
    device->configurations = {CConfigBuilder(1).Interface(0, 0, 0).Functional(c.attributes, 0).Build()};
    OperationContext launch = caller;
    launch.opCode = c.opCode;
    if (c.opCode == OP_CODE_UPLOAD) {
      CUploadThread thread(&launch);
    } else {
      CDownloadThread thread(&launch);
    }
    EXPECT_EQ(launch.result, c.result) << int(c.opCode) << " " << int(c.attributes);
    EXPECT_EQ(launch.blockSize, c.blockSize) << int(c.opCode) << " " << int(c.attributes);
  }
}

TEST_F(DfuThreadTest, HaltAbortsOnlyAnInterruptedWorkerAndAlwaysClosesTheDevice) {
  for (bool finishAtOnce : {false, true}) {
    device->requests.clear();
    CProbeThread thread(&caller);
    thread.finishAtOnce = finishAtOnce;
    ASSERT_TRUE(thread.LaunchWorker());
    while (!thread.opened) std::this_thread::yield();
    if (finishAtOnce) {
      // Wait until the worker has published, i.e. its step is over.
      OperationContext record;
      do {
        thread.ReadContext(&record);
      } while (record.device == DEVICE_INVALID_HANDLE);
    }
    uint32_t exitCode = 99;
    EXPECT_TRUE(thread.Halt(&exitCode));
    EXPECT_EQ(exitCode, finishAtOnce ? OP_EXIT_FINISHED : OP_EXIT_STOPPED);
    EXPECT_EQ(ClassRequests(), finishAtOnce ? std::vector<uint8_t>{} : std::vector<uint8_t>{DFU_REQUEST_ABORT});
    EXPECT_EQ(device->OpenConnections(), 0);
    OperationContext record;
    thread.ReadContext(&record);
    EXPECT_EQ(record.device, DEVICE_INVALID_HANDLE);
  }
}

TEST_F(DfuThreadTest, StepThatThrowsEndsTheWorkWithAnError) {
  CProbeThread thread(&caller);
  thread.throwInStep = true;
  ASSERT_TRUE(thread.LaunchWorker());
  OperationContext record;
  do {
    thread.ReadContext(&record);
  } while (record.result == RESULT_OK);
  EXPECT_EQ(record.result, OP_ERR_UNEXPECTED);
  uint32_t exitCode = 99;
  EXPECT_TRUE(thread.Halt(&exitCode));
  EXPECT_EQ(exitCode, OP_EXIT_FINISHED);
}

TEST_F(DfuThreadTest, HaltWithoutWorkerClosesOnlyADeviceTheRecordHolds) {
  CProbeThread thread(&caller);
  EXPECT_FALSE(thread.Halt());
  EXPECT_EQ(device->OpenConnections(), 0);

  OperationContext record;
  thread.ReadContext(&record);
  ASSERT_EQ(OpenDevice(record.devicePath, &record.device), RESULT_OK);
  thread.PublishContext(record);
  EXPECT_EQ(device->OpenConnections(), 1);
  EXPECT_FALSE(thread.Halt());
  EXPECT_EQ(device->OpenConnections(), 0);
  EXPECT_TRUE(ClassRequests().empty());  // no worker was interrupted: no abort
}

// One transfer under each block scheme, with what the device answers: the
// requests on the wire, where the block lies, what the record keeps and the
// wait that follows. Blocks are 4 bytes long here; the element's bytes count
// up from 0 so that the data sent shows where it came from.
struct SchemeCase {
  const char* name;
  BlockScheme scheme;
  uint32_t phase;
  uint32_t blockNumber;  // the record's, before the transfer
  uint32_t blockLength;
  uint32_t uploadReply;  // bytes the device returns to an upload
  uint8_t statusState;   // answered to GETSTATUS, with a poll time-out of 40 ms
  std::vector<std::string> requests;
  StatusCode result;  // RESULT_OK: the transfer goes on
  uint32_t recordBlock;
  uint32_t recordLength;
  uint32_t offset;  // of the block in the element (the record's address - element's)
  uint32_t wait;
  bool deviceKept;
};

void PrintTo(const SchemeCase& c, std::ostream* os) { *os << c.name; }

class BlockSchemeTest : public DfuThreadTest, public ::testing::WithParamInterface<SchemeCase> {};

TEST_P(BlockSchemeTest, TransfersTheBlockAsTheSchemeSays) {
  const SchemeCase& c = GetParam();
  std::vector<uint8_t> bytes(0x40010);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  AddElement(0x08000000, bytes);
  std::vector<uint8_t> sent;
  device->control = [&](const ControlRequestHeader& h, const std::vector<uint8_t>& out, std::vector<uint8_t>* reply) {
    if (h.request == DFU_REQUEST_DNLOAD) sent = out;
    if (h.request == DFU_REQUEST_UPLOAD) *reply = std::vector<uint8_t>(c.uploadReply, 0xA5);
    if (h.request == DFU_REQUEST_GETSTATUS) *reply = {0, 40, 0, 0, c.statusState, 0};
    if (h.request == DFU_REQUEST_GETSTATE) *reply = {DFU_STATE_DFU_IDLE};
    return true;
  };
  CProbeThread thread(&caller, c.scheme);
  OperationContext context;
  thread.ReadContext(&context);
  ASSERT_EQ(OpenDevice(context.devicePath, &context.device), RESULT_OK);
  const DeviceHandle opened = context.device;
  context.blockSize = 4;
  context.elementIndex = 0;
  context.phase = c.phase;
  context.blockNumber = c.blockNumber;
  context.blockLength = c.blockLength;

  EXPECT_EQ(thread.TransferBlock(&context), c.result == RESULT_OK);
  EXPECT_EQ(context.result, c.result);

  std::vector<std::string> requests;
  for (const ControlRequestHeader& h : device->ControlHeaders()) {
    static const char* const kNames[] = {"DETACH", "DNLOAD", "UPLOAD", "GETSTATUS", "CLRSTATUS", "GETSTATE", "ABORT"};
    std::string text = h.request < std::size(kNames) ? kNames[h.request] : "?";
    if (h.request == DFU_REQUEST_DNLOAD || h.request == DFU_REQUEST_UPLOAD) text += " " + std::to_string(h.value);
    requests.push_back(text);
  }
  EXPECT_EQ(requests, c.requests);
  if (c.requests.empty()) return;  // refused before any request: the record is as it was
  EXPECT_EQ(context.blockNumber, c.recordBlock);
  EXPECT_EQ(context.blockLength, c.recordLength);
  EXPECT_EQ(context.blockAddress, 0x08000000 + c.offset);
  const uint8_t* element = image.ElementAt(0)->data;
  if (c.phase == PHASE_DNLOAD) {
    const bool command = c.scheme.CarriesCommands() && c.blockNumber >> 16 != 0;
    const std::vector<uint8_t> setAddress = {DFUSE_CMD_SET_ADDRESS, 0x00, 0x00, 0x00, 0x08};
    EXPECT_EQ(sent, command ? setAddress : std::vector<uint8_t>(element + c.offset, element + c.offset + c.blockLength));
  }
  if (c.phase == PHASE_UPLOAD && c.result != OP_ERR_UNEXPECTED) {
    // What came is in its place, and nothing after it.
    EXPECT_EQ(std::vector<uint8_t>(element + c.offset, element + c.offset + c.uploadReply),
              std::vector<uint8_t>(c.uploadReply, 0xA5));
    EXPECT_EQ(element[c.offset + c.uploadReply], static_cast<uint8_t>(c.offset + c.uploadReply));
  }
  if (c.result == RESULT_OK) {
    EXPECT_EQ(thread.StepInterval(), c.wait);
  }
  EXPECT_EQ(context.device == opened, c.deviceKept);
  if (context.device != DEVICE_INVALID_HANDLE) CloseDevice(context.device);
}

constexpr uint32_t kSetAddress = uint32_t{DFUSE_CMD_SET_ADDRESS} << 16;
const std::vector<std::string> kUploadThreeTimes = {"UPLOAD 2", "GETSTATE", "UPLOAD 2", "GETSTATE",
                                                    "UPLOAD 2", "GETSTATE", "ABORT"};

INSTANTIATE_TEST_SUITE_P(
    Schemes, BlockSchemeTest,
    ::testing::Values(
        // Downloads: DfuSe places block n at (n - 2) blocks; plain counts from
        // 0 past 0xFFFF while the wire wraps.
        SchemeCase{"DfuSeDownload", DFUSE_BLOCKS, PHASE_DNLOAD, 5, 4, 0, DFU_STATE_DNLOAD_IDLE,
                   {"DNLOAD 5", "GETSTATUS"}, RESULT_OK, 5, 4, 12, 0, true},
        SchemeCase{"PlainDownloadWraps", PLAIN_DFU_BLOCKS, PHASE_DNLOAD, 0x10001, 4, 0, DFU_STATE_DNLOAD_IDLE,
                   {"DNLOAD 1", "GETSTATUS"}, RESULT_OK, 0x10001, 4, 0x40004, 0, true},
        // A DfuSe command travels in block 0 after a state check; plain DFU
        // has none, so the same record names a block far outside the element.
        SchemeCase{"DfuSeCommand", DFUSE_BLOCKS, PHASE_DNLOAD, kSetAddress, 5, 0, DFU_STATE_DNBUSY,
                   {"GETSTATE", "DNLOAD 0", "GETSTATUS"}, RESULT_OK, 0, 5, 0, 40, true},
        SchemeCase{"PlainHasNoCommands", PLAIN_DFU_BLOCKS, PHASE_DNLOAD, kSetAddress, 5, 0, DFU_STATE_DNLOAD_IDLE,
                   {}, OP_ERR_BAD_PARAMETER, 0, 0, 0, 0, true},
        // Uploads: DfuSe asks for the status after each whole block and asks
        // again for a short one; the tolerant read and plain DFU ask for
        // none, and a short block fails the one and ends the other.
        SchemeCase{"DfuSeUpload", DFUSE_BLOCKS, PHASE_UPLOAD, 2, 4, 4, DFU_STATE_UPLOAD_IDLE,
                   {"UPLOAD 2", "GETSTATUS"}, RESULT_OK, 2, 4, 0, 0, true},
        SchemeCase{"DfuSeShortUploadIsAskedAgain", DFUSE_BLOCKS, PHASE_UPLOAD, 2, 4, 2, DFU_STATE_UPLOAD_IDLE,
                   kUploadThreeTimes, OP_ERR_UNEXPECTED, 2, 4, 0, 0, true},
        SchemeCase{"TolerantUpload", DFUSE_TOLERANT_UPLOAD_BLOCKS, PHASE_UPLOAD, 2, 4, 4, DFU_STATE_ERROR,
                   {"UPLOAD 2"}, RESULT_OK, 2, 4, 0, 0, true},
        SchemeCase{"TolerantShortUploadFails", DFUSE_TOLERANT_UPLOAD_BLOCKS, PHASE_UPLOAD, 3, 4, 2, DFU_STATE_ERROR,
                   {"UPLOAD 3", "ABORT"}, OP_ERR_UPLOAD_ENDED_EARLY, 3, 2, 4, 0, true},
        SchemeCase{"PlainUpload", PLAIN_DFU_BLOCKS, PHASE_UPLOAD, 3, 4, 4, DFU_STATE_ERROR,
                   {"UPLOAD 3"}, RESULT_OK, 3, 4, 12, 0, true},
        SchemeCase{"PlainShortUploadEnds", PLAIN_DFU_BLOCKS, PHASE_UPLOAD, 3, 4, 2, DFU_STATE_ERROR,
                   {"UPLOAD 3"}, RESULT_OK, 3, 2, 12, 0, true},
        // Busy answers set the wait to the announced time-out, whatever the
        // scheme.
        SchemeCase{"DfuSeDownloadBusy", DFUSE_BLOCKS, PHASE_DNLOAD, 2, 4, 0, DFU_STATE_DNBUSY,
                   {"DNLOAD 2", "GETSTATUS"}, RESULT_OK, 2, 4, 0, 40, true},
        SchemeCase{"DfuSeUploadBusy", DFUSE_BLOCKS, PHASE_UPLOAD, 2, 4, 4, STATE_UPLOAD_BUSY,
                   {"UPLOAD 2", "GETSTATUS"}, RESULT_OK, 2, 4, 0, 40, true},
        SchemeCase{"PlainDownloadBusy", PLAIN_DFU_BLOCKS, PHASE_DNLOAD, 0, 4, 0, DFU_STATE_DNBUSY,
                   {"DNLOAD 0", "GETSTATUS"}, RESULT_OK, 0, 4, 0, 40, true},
        // A status of manifestation closes the device, unless the scheme
        // follows manifestation itself.
        SchemeCase{"DfuSeManifestCloses", DFUSE_BLOCKS, PHASE_DNLOAD, 2, 4, 0, DFU_STATE_MANIFEST,
                   {"DNLOAD 2", "GETSTATUS"}, RESULT_OK, 2, 4, 0, 0, false},
        SchemeCase{"PlainManifestKeeps", PLAIN_DFU_BLOCKS, PHASE_DNLOAD, 0, 4, 0, DFU_STATE_MANIFEST,
                   {"DNLOAD 0", "GETSTATUS"}, RESULT_OK, 0, 4, 0, 0, true}),
    [](const ::testing::TestParamInfo<SchemeCase>& info) { return std::string(info.param.name); });

}  // namespace
