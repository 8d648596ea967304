#include "app/upgrade_sequence.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/sim_device_test_support.h"
#include "device/memory_map.h"
#include "platform/thread_start.h"

namespace {

constexpr uint32_t kFlash = 0x08000000;
const char kFound[] = "Device found: Virtual DFU Device, having [4] alternate targets \n";
const char kDone[] = "\b\b\b100%\b\b\b\bfinished.\n";

// Drops the in-place updates between a label's "00%" and the step's last
// value; how many there are depends on timing.
std::string CollapseProgress(const std::string& text) {
  static const std::regex updates("(\b\b\b[0-9][0-9]%)+(?=\b\b\b)");
  return std::regex_replace(text, updates, "");
}

std::string AllSteps() {
  return std::string("Target 00: Erasing... 00%") + kDone + "Target 00: Upgrading... 00%" +
         kDone + "Target 00: Verifying... 00%" + kDone + "Leaving DFU mode... 00%" + kDone;
}

class UpgradeSequenceTest : public CSimDeviceTest {
 protected:
  // A DfuSe file with one target per image, in order.
  std::string WriteDfuFile(const std::vector<ImageHandle>& images) {
    const std::string path = PathOf("fw.dfu");
    FileHandle file = nullptr;
    EXPECT_EQ(DfuFileCreate(path.c_str(), &file), RESULT_OK);
    for (ImageHandle image : images) EXPECT_EQ(DfuFileAppendImage(file, image), RESULT_OK);
    EXPECT_EQ(DfuFileClose(file), RESULT_OK);
    for (ImageHandle image : images) ImageDestroy(&image);
    return path;
  }

  std::string Upgrade(const std::string& dfuPath) {
    return CaptureOutput([&] { RunUpgradeSequence(dfuPath.c_str()); });
  }

  static std::vector<uint8_t> Memory(CDfuDevice* device, uint32_t address, size_t count) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(device->ReadMemory(0, address, count, &bytes));
    return bytes;
  }

  static bool TransferredData() {
    for (const SimRequestRecord& record : SimInstalledBackend()->Recorder()->RequestLog()) {
      if (record.name == "UPLOAD" || record.name == "DNLOAD") return true;
    }
    return false;
  }
};

TEST_F(UpgradeSequenceTest, UsesTheFirstTargetForAlternateZero) {
  CDfuDevice* device = InstallDevice();
  const std::vector<uint8_t> wanted = Pattern(6000, 3);
  const std::string dfu = WriteDfuFile({MakeImage(1, {{kFlash, Pattern(4096, 2)}}),
                                        MakeImage(0, {{kFlash, wanted}}),
                                        MakeImage(0, {{kFlash, Pattern(4096, 4)}})});
  EXPECT_EQ(CollapseProgress(Upgrade(dfu)), kFound + AllSteps());
  EXPECT_EQ(Memory(device, kFlash, wanted.size()), wanted);
  EXPECT_EQ(Memory(device, kFlash + 6000, 16384 - 6000), std::vector<uint8_t>(16384 - 6000, 0xFF))
      << "the rest of the first sector is erased";
  EXPECT_FALSE(device->Present()) << "the device left DFU mode";
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

TEST_F(UpgradeSequenceTest, FileWithoutATargetForAlternateZeroLeavesTheDeviceAlone) {
  CDfuDevice* device = InstallDevice();
  const std::string dfu = WriteDfuFile({MakeImage(1, {{0x1FFFC000, Pattern(16, 2)}}),
                                        MakeImage(2, {{0x1FFF7800, Pattern(16, 3)}})});
  EXPECT_EQ(Upgrade(dfu),
            std::string(kFound) + "Unable to find data for target [0] in the dfu file...\n");
  EXPECT_FALSE(TransferredData());
  EXPECT_TRUE(device->Present());
}

TEST_F(UpgradeSequenceTest, FileThatCannotBeOpenedIsReportedAfterTheDevice) {
  ASSERT_NE(InstallDevice(), nullptr);
  const std::string dfu = WriteDfuFile({MakeImage(0, {{kFlash, Pattern(100)}})});
  std::vector<uint8_t> bytes = ReadFileBytes(dfu);
  bytes.back() ^= 0x01;  // the CRC no longer covers the content
  WriteFileBytes(dfu, bytes);
  EXPECT_EQ(Upgrade(dfu), kFound + ("Unable to open DFU file [" + dfu +
                                    "]! Error Code: Unknown error 0x12346005.\n"));
  const std::string missing = PathOf("absent.dfu");
  EXPECT_EQ(Upgrade(missing), kFound + ("Unable to open DFU file [" + missing +
                                        "]! Error Code: Unknown error 0x00000002.\n"));
  EXPECT_FALSE(TransferredData());
}

// A process at its thread limit: the libusb layer cannot run its events and
// lists no device, and the erase worker cannot start. Both are reported; the
// program goes on to its end instead of aborting.
TEST_F(UpgradeSequenceTest, ThreadsThatCannotStartAreReportedNotFatal) {
  ASSERT_NE(InstallDevice(), nullptr);
  const std::string dfu = WriteDfuFile({MakeImage(0, {{kFlash, Pattern(100)}})});
  PlatformSetThreadStartsFail(true);
  const std::string output = Upgrade(dfu);
  PlatformSetThreadStartsFail(false);
  EXPECT_EQ(output, std::string(kFound) +
                        "Target 00: Erasing... 00%\b\b\bunable to launch operation! "
                        "Error Code: Unable to launch operation (Thread problem)\n");
  EXPECT_FALSE(TransferredData());
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

// Fitting drops what no writable sector holds; the verify must not call that
// a success. A whole 512 KiB window of data on a device with one 128 KiB
// sector, or with its flash at another address, leaves data behind.
TEST_F(UpgradeSequenceTest, DataThatNoWritableSectorHoldsFailsTheVerify) {
  const char kLeft[] = "\b\b\b100%\b\b\b\bfinished, but data not matching!\n";
  const struct {
    const char* name;
    const char* map;
    size_t imageSize;
    bool dataLeft;
  } cases[] = {
      {"one 128 KiB sector", "/0x08000000/01*128Kg", 0x80000, true},
      {"one 128 KiB sector, image inside it", "/0x08000000/01*128Kg", 0x20000, false},
      {"flash at another address", "/0x20000000/01*128Kg", 0x20000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallDevice(std::string("description = Virtual DFU Device\nalt = @Internal Flash  ") +
                  c.map + "\n");
    std::vector<uint8_t> image = Pattern(c.imageSize);
    const std::string dfu = WriteDfuFile({MakeImage(0, {{kFlash, image}})});
    const std::string verify = std::string("Target 00: Verifying... 00%") +
                               (c.dataLeft ? kLeft : kDone) + "Leaving DFU mode... 00%" + kDone;
    EXPECT_EQ(CollapseProgress(Upgrade(dfu)),
              "Device found: Virtual DFU Device, having [1] alternate targets \n"
              "Target 00: Erasing... 00%" + std::string(kDone) + "Target 00: Upgrading... 00%" +
                  kDone + verify);
  }
}

TEST_F(UpgradeSequenceTest, DeclinedDiscoveryEndsWithoutOpeningTheFile) {
  ScriptInput("n\n");
  EXPECT_EQ(Upgrade(PathOf("absent.dfu")),
            "No Device(s) found. Plug your DFU Device or reset to DFU mode (reset and hold "
            "ENTER)!\nRetry? [y/n] ");
}

class RunOperationTest : public UpgradeSequenceTest {
 protected:
  void SetUp() override {
    UpgradeSequenceTest::SetUp();
    device = InstallDevice();
    uint32_t alternates = 0;
    ASSERT_EQ(DecodeMemoryMapping("sim:0", &mapping, &alternates), RESULT_OK);
  }
  void TearDown() override {
    FreeMemoryMapping(&mapping);
    UpgradeSequenceTest::TearDown();
  }

  std::string Run(OperationCode code, ImageHandle image, const char* path,
                  const MemoryMapping* map, uint8_t skip, ImageHandle comparison, bool* result) {
    return CaptureOutput([&] { *result = RunOperation(code, image, path, map, skip, comparison); });
  }

  CDfuDevice* device = nullptr;
  MemoryMappingArray mapping;
};

TEST_F(RunOperationTest, RefusedLaunchIsReportedOverTheField) {
  struct Case {
    OperationCode code;
    const char* path;
    const char* status;
  };
  // A path longer than a record holds is cut, not refused: the device it
  // names then does not open.
  const std::string longPath = "sim:9" + std::string(300, '9');
  for (const Case& c : {Case{-1, "sim:0", "Error Code: Bad parameter\n"},
                        Case{OP_CODE_ERASE, "sim:9", "Error Code: Unknown error 0x12340005.\n"},
                        Case{OP_CODE_ERASE, longPath.c_str(), "Error Code: Unknown error 0x12340005.\n"}}) {
    ImageHandle image = MakeImage(0, {{kFlash, Pattern(100)}});
    bool result = true;
    EXPECT_EQ(Run(c.code, image, c.path, &mapping[0], 0, nullptr, &result),
              std::string("\b\b\bunable to launch operation! ") + c.status);
    EXPECT_FALSE(result);
    EXPECT_EQ(RegisteredOperationCount(), 0u);
    ImageDestroy(&image);
  }
  EXPECT_FALSE(TransferredData());
}

// Each new percentage is printed once, in place, up to 100.
TEST_F(RunOperationTest, PrintsEachChangeOfProgressOnce) {
  ImageHandle image = MakeImage(0, {{kFlash, Pattern(0x80000)}});
  bool result = false;
  const std::string output = Run(OP_CODE_ERASE, image, "sim:0", &mapping[0], 0, nullptr, &result);
  EXPECT_TRUE(result);
  const std::regex update("\b\b\b([0-9]+)%");
  int last = 0;
  int updates = 0;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), update);
       it != std::sregex_iterator(); ++it) {
    const int value = std::stoi((*it)[1]);
    EXPECT_GT(value, last) << output;
    last = value;
    ++updates;
  }
  EXPECT_EQ(last, 100);
  EXPECT_GE(updates, 1);
  EXPECT_EQ(output.substr(output.size() - std::string(kDone).size()), kDone);
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

struct VerifyCase {
  const char* name;
  std::vector<std::pair<uint32_t, uint32_t>> readElements;  // address, size
  std::vector<std::pair<uint32_t, uint32_t>> sourceElements;
  uint32_t firstReadableSector;  // sectors before it are not readable
  int flipOffset;                // a source byte changed at this offset, or -1
  std::string expected;
  bool result;
};

class VerifyTest : public RunOperationTest, public testing::WithParamInterface<VerifyCase> {};

// The device holds a known pattern; an upload reads it back and compares it
// with a source image cut from the same pattern.
TEST_P(VerifyTest, ComparesWhatWasReadWithTheSource) {
  const VerifyCase& c = GetParam();
  const std::vector<uint8_t> flash = Pattern(0x20000, 5);
  ASSERT_TRUE(device->WriteMemory(0, kFlash, flash));
  auto cut = [&](const std::vector<std::pair<uint32_t, uint32_t>>& elements, int flip) {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> parts;
    for (const auto& [address, size] : elements) {
      // Outside the device's flash the bytes do not matter.
      std::vector<uint8_t> bytes = Pattern(size, 9);
      if (address >= kFlash && address - kFlash + size <= flash.size()) {
        const auto begin = flash.begin() + (address - kFlash);
        bytes.assign(begin, begin + size);
      }
      if (flip >= 0) bytes.at(static_cast<size_t>(flip)) ^= 0x01;
      parts.emplace_back(address, bytes);
    }
    return MakeImage(0, parts);
  };
  ImageHandle readImage = cut(c.readElements, -1);
  ImageHandle source = cut(c.sourceElements, c.flipOffset);
  MemoryMapping map = mapping[0];
  for (uint32_t i = 0; i < c.firstReadableSector; ++i) map.sectors[i].sectorType &= ~SECTOR_READABLE;
  bool result = !c.result;
  EXPECT_EQ(CollapseProgress(Run(OP_CODE_UPLOAD, readImage, "sim:0", &map, 0, source, &result)),
            c.expected);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(RegisteredOperationCount(), 0u);
}

const char kMatch[] = "\b\b\b100%\b\b\b\bfinished.\n";
const char kMismatch[] = "\b\b\b100%\b\b\b\bfinished, but data not matching!\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyTest,
    testing::Values(
        VerifyCase{"Equal", {{kFlash, 4096}}, {{kFlash, 4096}}, 0, -1, kMatch, true},
        VerifyCase{"ByteDiffers", {{kFlash, 4096}}, {{kFlash, 4096}}, 0, 4000, kMismatch, true},
        VerifyCase{"TwoElementsEqual",
                   {{kFlash, 2048}, {kFlash + 0x4000, 2048}},
                   {{kFlash, 2048}, {kFlash + 0x4000, 2048}}, 0, -1, kMatch, true},
        // The source element ends before the read one: the bytes it lacks
        // count as a mismatch, and it is never read past its end.
        VerifyCase{"SourceElementShorter", {{kFlash, 4096}}, {{kFlash, 2048}}, 0, -1, kMismatch,
                   true},
        // A readable part of the map that starts inside the image: the piece
        // read back is compared with the source bytes at its own address.
        VerifyCase{"ReadPieceStartsInsideTheSource", {{kFlash, 0x8000}}, {{kFlash, 0x8000}}, 1,
                   -1, kMatch, true},
        VerifyCase{"ReadPieceDiffersInsideTheSource", {{kFlash, 0x8000}}, {{kFlash, 0x8000}}, 1,
                   0x4010, kMismatch, true},
        // Nothing of the image lies in the map: nothing to compare.
        VerifyCase{"NothingRead", {{0x20000000, 64}}, {{kFlash, 64}}, 0, -1, kMatch, true},
        VerifyCase{"MoreElementsReadThanTheSourceHas",
                   {{kFlash, 2048}, {kFlash + 0x4000, 2048}}, {{kFlash, 2048}}, 0, -1,
                   "\b\b\b100%\b\b\b\bunable to get data from source image! Error Code: Unknown "
                   "error 0x12346008.\n",
                   false}),
    [](const testing::TestParamInfo<VerifyCase>& info) { return info.param.name; });

}  // namespace
