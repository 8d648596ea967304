// Download to and upload from a plain DFU device (no DfuSe), driven through a
// scripted device that keeps the DFU 1.1 states, fills its memory from the
// start and ends it with a short upload block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "device/fake_driver_test_support.h"
#include "operations/operations.h"
#include "operations/plain_download_thread.h"
#include "operations/plain_upload_thread.h"
#include "platform/driver_port.h"

namespace {

// kSilentWaitForReset says it manifests, then answers nothing while it
// waits for the reset; kSilentAfterZeroLength answers no status after the
// zero-length download. Both stay on the bus.
enum class Manifestation { kTolerant, kWaitForReset, kVanish, kSilentWaitForReset, kSilentAfterZeroLength };

// The device's side: memory, state, and the wire block numbers it saw.
struct PlainDevice {
  std::mutex mutex;
  std::vector<uint8_t> memory;
  uint32_t memorySize = 0;
  uint32_t written = 0;
  uint8_t state = DFU_STATE_DFU_IDLE;
  Manifestation manifestation = Manifestation::kTolerant;
  std::vector<uint16_t> downloadBlocks;
  std::vector<uint16_t> uploadBlocks;
  uint32_t uploadOffset = 0;
  // A stack that answers dfuIDLE after every upload block and places each
  // block by its number.
  bool uploadStaysIdle = false;
  uint32_t blockSize = 0;
  std::vector<uint8_t> requests;  // every class request, in order
  CFakeDevice* fake = nullptr;

  bool Answer(const ControlRequestHeader& h, const std::vector<uint8_t>& data, std::vector<uint8_t>* reply) {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(h.request);
    switch (h.request) {
      case DFU_REQUEST_DNLOAD:
        downloadBlocks.push_back(h.value);
        if (h.length == 0) {
          state = DFU_STATE_MANIFEST_SYNC;
          return true;
        }
        if (state == DFU_STATE_DFU_IDLE) written = 0;
        if (written + data.size() > memorySize) return false;
        std::copy(data.begin(), data.end(), memory.begin() + written);
        written += static_cast<uint32_t>(data.size());
        state = DFU_STATE_DNLOAD_SYNC;
        return true;
      case DFU_REQUEST_UPLOAD: {
        uploadBlocks.push_back(h.value);
        if (state == DFU_STATE_DFU_IDLE) uploadOffset = uploadStaysIdle ? h.value * blockSize : 0;
        const uint32_t n = std::min<uint32_t>(h.length, memorySize - std::min(uploadOffset, memorySize));
        reply->assign(memory.begin() + uploadOffset, memory.begin() + uploadOffset + n);
        uploadOffset += n;
        state = n < h.length || uploadStaysIdle ? DFU_STATE_DFU_IDLE : DFU_STATE_UPLOAD_IDLE;
        return true;
      }
      case DFU_REQUEST_GETSTATUS:
        if (state == DFU_STATE_MANIFEST_SYNC && manifestation == Manifestation::kSilentAfterZeroLength) {
          return false;
        }
        if (state == DFU_STATE_MANIFEST && manifestation == Manifestation::kSilentWaitForReset) {
          state = DFU_STATE_MANIFEST_WAIT_RESET;
        }
        if (state == DFU_STATE_MANIFEST_WAIT_RESET && manifestation != Manifestation::kWaitForReset) {
          return false;
        }
        if (state == DFU_STATE_DNLOAD_SYNC) state = DFU_STATE_DNLOAD_IDLE;
        else if (state == DFU_STATE_MANIFEST_SYNC) state = DFU_STATE_MANIFEST;
        else if (state == DFU_STATE_MANIFEST) {
          if (manifestation == Manifestation::kVanish) {
            fake->gone = true;
            return false;
          }
          state = manifestation == Manifestation::kTolerant ? DFU_STATE_DFU_IDLE : DFU_STATE_MANIFEST_WAIT_RESET;
        }
        reply->assign({0, 0, 0, 0, state, 0});
        return true;
      case DFU_REQUEST_GETSTATE:
        reply->assign({state});
        return true;
      case DFU_REQUEST_ABORT:
        state = DFU_STATE_DFU_IDLE;
        return true;
      default:
        return true;
    }
  }
};

class PlainDfuTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateDevicesManager(); }
  void TearDown() override {
    ShutdownOperations();
    if (backend) UnregisterDriverBackend(backend.get());
    DestroyDevicesManager();
  }

  void Install(uint16_t transferSize, uint32_t memorySize, Manifestation manifestation) {
    backend = std::make_shared<CFakeDriverBackend>();
    RegisterDriverBackend(backend);
    fake = backend->AddDevice("plain");
    const uint8_t attributes = DFU_ATTR_CAN_DNLOAD | DFU_ATTR_CAN_UPLOAD |
                               (manifestation == Manifestation::kTolerant ? DFU_ATTR_MANIFESTATION_TOLERANT : 0);
    fake->configurations = {CConfigBuilder(1).Interface(0, 0, 0).Functional(attributes, transferSize, 0x0110).Build()};
    device.memorySize = memorySize;
    device.blockSize = transferSize;
    device.memory.assign(memorySize, 0xA5);
    device.manifestation = manifestation;
    device.fake = fake.get();
    fake->control = [this](const ControlRequestHeader& h, const std::vector<uint8_t>& data,
                           std::vector<uint8_t>* reply) { return device.Answer(h, data, reply); };
  }

  static OperationContext Context(OperationCode opCode, CImage* image) {
    OperationContext context{};
    context.opCode = opCode;
    context.image = image;
    std::strcpy(context.devicePath, "fake:plain");
    return context;
  }

  OperationContext Run(OperationCode opCode, std::vector<uint8_t>* bytes) {
    CImage image;
    ImageElement element{0, static_cast<uint32_t>(bytes->size()), bytes->data()};
    EXPECT_TRUE(image.SetElement(0, 1, element));
    OperationContext context = Context(opCode, &image);
    OperationId id = OP_INVALID_ID;
    EXPECT_EQ(LaunchOperation(&context, &id), RESULT_OK);
    OperationContext record{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      WaitOperationActivity(id, 20);
      QueryOperation(id, &record);
      if (record.result != RESULT_OK || record.progress == 100) break;
    }
    EXPECT_EQ(StopOperation(id, &record), RESULT_OK);
    const ImageElement* read = image.ElementAt(0);
    bytes->assign(read->data, read->data + read->size);
    return record;
  }

  std::shared_ptr<CFakeDriverBackend> backend;
  std::shared_ptr<CFakeDevice> fake;
  PlainDevice device;
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

TEST_F(PlainDfuTest, DownloadNumbersBlocksFromZeroAndWrapsAfter0xFFFF) {
  // 70,000 blocks of 8 bytes and a short one.
  const std::vector<uint8_t> image = Pattern(70000 * 8 + 3);
  Install(8, static_cast<uint32_t>(image.size()), Manifestation::kTolerant);
  std::vector<uint8_t> bytes = image;
  const OperationContext final = Run(OP_CODE_PLAIN_DOWNLOAD, &bytes);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_EQ(final.deviceStatus.bState, DFU_STATE_DFU_IDLE);
  EXPECT_EQ(device.memory, image);
  ASSERT_EQ(device.downloadBlocks.size(), 70002u);
  EXPECT_EQ(device.downloadBlocks[0], 0);
  EXPECT_EQ(device.downloadBlocks[65535], 0xFFFF);
  EXPECT_EQ(device.downloadBlocks[65536], 0);
  // The zero-length download carries the number after the last block.
  EXPECT_EQ(device.downloadBlocks.back(), static_cast<uint16_t>(70001));
}

// WinUSB and usbfs carry at most 4096 bytes in a control transfer: a device
// that announces more gets blocks of 4096 both ways.
TEST_F(PlainDfuTest, ATransferSizeAbove4096IsClampedTo4096) {
  const std::vector<uint8_t> image = Pattern(10000);
  Install(8192, 10000, Manifestation::kTolerant);
  std::vector<uint8_t> bytes = image;
  const OperationContext downloaded = Run(OP_CODE_PLAIN_DOWNLOAD, &bytes);
  EXPECT_EQ(downloaded.result, RESULT_OK);
  EXPECT_EQ(downloaded.blockSize, 4096);
  EXPECT_EQ(device.memory, image);
  // Blocks of 4096, 4096 and 1808, then the zero-length download.
  EXPECT_EQ(device.downloadBlocks, (std::vector<uint16_t>{0, 1, 2, 3}));

  std::vector<uint8_t> read(image.size(), 0);
  const OperationContext uploaded = Run(OP_CODE_PLAIN_UPLOAD, &read);
  EXPECT_EQ(uploaded.result, RESULT_OK);
  EXPECT_EQ(read, image);
  EXPECT_EQ(device.uploadBlocks, (std::vector<uint16_t>{0, 1, 2}));
}

struct ManifestationCase {
  const char* name;
  Manifestation manifestation;
  bool transportResets;
  uint8_t finalState;
  int resets;              // USB resets the device received
  StatusCode resetResult;  // as the record gives it
  StatusCode result = RESULT_OK;
};

class PlainManifestation : public PlainDfuTest, public testing::WithParamInterface<ManifestationCase> {};

TEST_P(PlainManifestation, EndsTheDownloadAsTheDeviceDoes) {
  const std::vector<uint8_t> image = Pattern(3000);
  Install(1024, 4096, GetParam().manifestation);
  std::atomic<int> resets{0};
  if (GetParam().transportResets) {
    fake->reset = [&resets] {
      ++resets;
      return RESULT_OK;
    };
  }
  std::vector<uint8_t> bytes = image;
  const OperationContext final = Run(OP_CODE_PLAIN_DOWNLOAD, &bytes);

  EXPECT_EQ(final.result, GetParam().result);
  EXPECT_EQ(final.progress == 100, GetParam().result == RESULT_OK);
  EXPECT_EQ(final.deviceStatus.bState, GetParam().finalState);
  EXPECT_EQ(resets, GetParam().resets);
  EXPECT_EQ(final.resetResult, GetParam().resetResult);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), device.memory.begin()));
  EXPECT_EQ(device.downloadBlocks, (std::vector<uint16_t>{0, 1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlainManifestation,
    testing::Values(ManifestationCase{"TolerantReturnsToIdle", Manifestation::kTolerant, true,
                                      DFU_STATE_DFU_IDLE, 0, 0},
                    ManifestationCase{"OtherWaitingForResetIsReset", Manifestation::kWaitForReset, true,
                                      DFU_STATE_MANIFEST_WAIT_RESET, 1, RESULT_OK},
                    // The record tells the caller to ask for a replug.
                    ManifestationCase{"OtherWaitsOnATransportWithoutReset", Manifestation::kWaitForReset,
                                      false, DFU_STATE_MANIFEST_WAIT_RESET, 0, DEV_ERR_RESET_UNSUPPORTED},
                    // The last status the device gave before it left the bus.
                    ManifestationCase{"OtherLeavesTheBus", Manifestation::kVanish, true, DFU_STATE_MANIFEST, 0,
                                      0},
                    // Still listed after its last answer: it waits for the reset.
                    ManifestationCase{"OtherSilentAndStillListedIsReset", Manifestation::kSilentWaitForReset,
                                      true, DFU_STATE_MANIFEST, 1, RESULT_OK},
                    ManifestationCase{"OtherSilentOnATransportWithoutReset", Manifestation::kSilentWaitForReset,
                                      false, DFU_STATE_MANIFEST, 0, DEV_ERR_RESET_UNSUPPORTED},
                    // No status ever said that it manifests.
                    ManifestationCase{"NoManifestationAnsweredIsNoSuccess", Manifestation::kSilentAfterZeroLength,
                                      true, DFU_STATE_DNLOAD_IDLE, 0, 0, OP_ERR_UNEXPECTED}),
    [](const auto& info) { return std::string(info.param.name); });

struct UploadCase {
  const char* name;
  uint32_t memorySize;
  uint32_t asked;
  uint64_t read;
  std::vector<uint16_t> blocks;
  bool staysIdle = false;
};

class PlainUpload : public PlainDfuTest, public testing::WithParamInterface<UploadCase> {};

TEST_P(PlainUpload, ReadsFromBlockZeroUntilAShortBlockOrTheEnd) {
  const UploadCase& c = GetParam();
  Install(1024, c.memorySize, Manifestation::kTolerant);
  device.memory = Pattern(c.memorySize);
  device.uploadStaysIdle = c.staysIdle;
  std::vector<uint8_t> bytes(c.asked, 0);
  const OperationContext final = Run(OP_CODE_PLAIN_UPLOAD, &bytes);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_EQ(PlainUploadedBytes(final), c.read);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(c.read), device.memory.begin()));
  EXPECT_EQ(device.uploadBlocks, c.blocks);
  // The blocks follow one another without a status request between them;
  // the device is asked for its state only once the read ends.
  const auto first = std::find(device.requests.begin(), device.requests.end(), DFU_REQUEST_UPLOAD);
  ASSERT_NE(first, device.requests.end());
  EXPECT_EQ(std::vector<uint8_t>(first, first + static_cast<ptrdiff_t>(c.blocks.size())),
            std::vector<uint8_t>(c.blocks.size(), DFU_REQUEST_UPLOAD));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlainUpload,
    testing::Values(UploadCase{"ShortLastBlock", 2500, 8192, 2500, {0, 1, 2}},
                    // A memory of whole blocks ends with an empty one.
                    UploadCase{"EmptyLastBlock", 2048, 8192, 2048, {0, 1, 2}},
                    UploadCase{"StopsWhereAsked", 4096, 1500, 1500, {0, 1}},
                    // dfuIDLE after a full block is taken as the device's way.
                    UploadCase{"DeviceStaysIdleShortLastBlock", 2500, 8192, 2500, {0, 1, 2}, true},
                    UploadCase{"DeviceStaysIdleStopsWhereAsked", 4096, 1500, 1500, {0, 1}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlainDfuTest, AnImageOfSeveralElementsIsRefusedAtLaunch) {
  Install(1024, 4096, Manifestation::kTolerant);
  std::vector<uint8_t> a(10), b(10);
  CImage image;
  ASSERT_TRUE(image.SetElement(0, 1, ImageElement{0, 10, a.data()}));
  ASSERT_TRUE(image.SetElement(1, 1, ImageElement{0x100, 10, b.data()}));
  OperationContext context = Context(OP_CODE_PLAIN_DOWNLOAD, &image);
  OperationId id = OP_INVALID_ID;
  EXPECT_EQ(LaunchOperation(&context, &id), OP_ERR_BAD_PARAMETER);
  EXPECT_TRUE(device.downloadBlocks.empty());
}

}  // namespace
