// Upload against the virtual device, asserted on its request log and on the
// data read back.
#include "operations/upload_thread.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "operations/engine_test_support.h"

namespace {

using UploadTest = SimEngineTest;

constexpr uint32_t FLASH = 0x08000000;

TEST_F(UploadTest, BlockSizeFollowsTheAcceleratedUploadBit) {
  // A device that announces blocks larger than a control transfer carries
  // is read in blocks of 4096, each after its own address pointer, unless
  // its accelerated upload places blocks by 4096 itself.
  struct Case {
    uint8_t attributes;
    uint16_t transferSize;
    uint16_t blockSize;
    std::vector<std::string> uploads;
    std::vector<uint32_t> pointers;
  } cases[] = {
      {0x8B, 2048, 4096, {"UPLOAD 2 0 4096", "UPLOAD 3 0 4096", "UPLOAD 4 0 1808"}, {FLASH}},
      {0x0B, 2048, 2048, {"UPLOAD 2 0 2048", "UPLOAD 3 0 2048", "UPLOAD 4 0 2048", "UPLOAD 5 0 2048", "UPLOAD 6 0 1808"},
       {FLASH}},
      {0x0B, 8192, 4096, {"UPLOAD 2 0 4096", "UPLOAD 2 0 4096", "UPLOAD 2 0 1808"},
       {FLASH, FLASH + 4096, FLASH + 8192}},
      {0x8B, 8192, 4096, {"UPLOAD 2 0 4096", "UPLOAD 3 0 4096", "UPLOAD 4 0 1808"}, {FLASH}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "attributes " << int{c.attributes} << ", transfer size " << c.transferSize);
    Install("", [&](SimProfile* p) {
      p->attributes = c.attributes;
      p->transferSize = c.transferSize;
    });
    const std::vector<uint8_t> flash = Pattern(10000, 3);
    ASSERT_TRUE(Device()->WriteMemory(0, FLASH, flash));
    auto image = MakeImage({{FLASH, std::vector<uint8_t>(10000, 0)}});
    OperationContext context = Context(OP_CODE_UPLOAD, image.get());
    OperationId id = OP_INVALID_ID;
    ASSERT_EQ(LaunchOperation(&context, &id), RESULT_OK);
    EXPECT_EQ(context.blockSize, c.blockSize);
    const OperationContext final = RunToEnd(id);

    EXPECT_EQ(final.result, RESULT_OK);
    EXPECT_EQ(final.progress, 100);
    EXPECT_EQ(final.blockSize, c.blockSize);
    EXPECT_EQ(Only(ClassRequests(), {"UPLOAD"}), c.uploads);
    EXPECT_EQ(SetAddressPointers(), c.pointers);
    const ImageElement* element = image->ElementAt(0);
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(element->data, element->data + element->size), flash);
    SimUninstall();
  }
}

TEST_F(UploadTest, SetAddressCommandEndedInUploadIdleIsNotTaken) {
  // The number of the status request after the set-address command.
  Install();
  auto image = MakeImage({{FLASH, std::vector<uint8_t>(100, 0)}});
  ASSERT_EQ(Run(Context(OP_CODE_UPLOAD, image.get())).result, RESULT_OK);
  const uint32_t status = RequestNumber("DNLOAD 0 0 5") + 1;
  SimUninstall();

  // Busy after the command, then dfuUPLOAD-IDLE.
  Install("status=0x00:4@" + std::to_string(status) + ",status=0x00:9@" + std::to_string(status + 1));
  image = MakeImage({{FLASH, std::vector<uint8_t>(100, 0)}});
  const OperationContext final = Run(Context(OP_CODE_UPLOAD, image.get()));
  EXPECT_EQ(final.result, OP_ERR_BAD_FIRMWARE_STATE);
  EXPECT_TRUE(Only(ClassRequests(), {"UPLOAD"}).empty());
}

TEST_F(UploadTest, TwoElementsEachGetTheirCommandAndAborts) {
  Install();
  const std::vector<uint8_t> first = Pattern(3000, 5);
  const std::vector<uint8_t> second = Pattern(100, 9);
  ASSERT_TRUE(Device()->WriteMemory(0, FLASH, first));
  ASSERT_TRUE(Device()->WriteMemory(0, 0x08010000, second));
  auto image = MakeImage({{FLASH, std::vector<uint8_t>(3000, 0)}, {0x08010000, std::vector<uint8_t>(100, 0)}});
  OperationContext context = Context(OP_CODE_UPLOAD, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CUploadThread>(&context, &id);
  const OperationContext final = RunToEnd(id);

  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  const std::vector<std::string> expected = {
      "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",  // settle
      "GETSTATE 0 0 1", "DNLOAD 0 0 5", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0",
      "UPLOAD 2 0 2048", "GETSTATUS 0 0 6", "UPLOAD 3 0 952", "GETSTATUS 0 0 6",
      "ABORT 0 0 0",  // out of dfuUPLOAD-IDLE before the next command
      "GETSTATE 0 0 1", "DNLOAD 0 0 5", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0",
      "UPLOAD 2 0 100", "GETSTATUS 0 0 6",
      "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0", "GETSTATUS 0 0 6"};  // settle
  EXPECT_EQ(ClassRequests(), expected);
  std::vector<std::vector<uint8_t>> commands;
  for (const SimRequestRecord& r : Recorder()->RequestLog()) {
    if (r.name == "DNLOAD") commands.push_back(r.data);
  }
  EXPECT_EQ(commands, (std::vector<std::vector<uint8_t>>{{0x21, 0x00, 0x00, 0x00, 0x08}, {0x21, 0x00, 0x00, 0x01, 0x08}}));
  EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(0)->data, image->ElementAt(0)->data + 3000), first);
  EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(1)->data, image->ElementAt(1)->data + 100), second);
  EXPECT_EQ(image->ElementAt(1)->address, 0x08010000u);
  EXPECT_EQ(log->ProgressSteps(), (std::vector<int>{0, 33, 66, 100}));
}

TEST_F(UploadTest, ImageWithoutElementsSendsNoCommand) {
  Install();
  CImage image;
  const OperationContext final = Run(Context(OP_CODE_UPLOAD, &image));
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_TRUE(Only(ClassRequests(), {"DNLOAD", "UPLOAD"}).empty());
}

TEST_F(UploadTest, UploadAnsweredWithAnUnfittingStateEndsTheOperation) {
  Install();
  auto image = MakeImage({{FLASH, std::vector<uint8_t>(4096, 0)}});
  ASSERT_EQ(Run(Context(OP_CODE_UPLOAD, image.get())).result, RESULT_OK);
  const uint32_t statusAfterBlock = RequestNumber("UPLOAD 2") + 1;
  SimUninstall();

  // dfuIDLE with a good status after a block: the device lost the upload.
  Install("status=0x00:2@" + std::to_string(statusAfterBlock));
  image = MakeImage({{FLASH, std::vector<uint8_t>(4096, 0)}});
  const OperationContext final = Run(Context(OP_CODE_UPLOAD, image.get()));
  EXPECT_EQ(final.result, OP_ERR_BAD_FIRMWARE_STATE);
  EXPECT_EQ(Only(ClassRequests(), {"UPLOAD"}), (std::vector<std::string>{"UPLOAD 2 0 2048"}));
  EXPECT_EQ(ClassRequests().back(), "GETSTATUS 0 0 6");
}

TEST_F(UploadTest, FailedCommandOfALaterElementReadsNothingMore) {
  Install();
  auto image = MakeImage({{FLASH, std::vector<uint8_t>(100, 0)}, {0x08010000, std::vector<uint8_t>(100, 0)}});
  ASSERT_EQ(Run(Context(OP_CODE_UPLOAD, image.get())).result, RESULT_OK);
  const uint32_t secondCommand = RequestNumber("DNLOAD 0", 1);
  SimUninstall();

  Install("unplug@" + std::to_string(secondCommand));
  image = MakeImage({{FLASH, std::vector<uint8_t>(100, 0)}, {0x08010000, std::vector<uint8_t>(100, 0)}});
  const OperationContext final = Run(Context(OP_CODE_UPLOAD, image.get()));
  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(Only(ClassRequests(), {"UPLOAD"}), (std::vector<std::string>{"UPLOAD 2 0 100"}));
  // The element that was not read keeps what it held.
  EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(1)->data, image->ElementAt(1)->data + 100),
            std::vector<uint8_t>(100, 0));
}

// Collects what a sink is handed: (element address, offset, bytes) per block.
class CRecordingSink : public CUploadSink {
 public:
  struct Block {
    uint32_t element;
    uint32_t offset;
    std::vector<uint8_t> bytes;
  };
  void Received(const ImageElement& element, uint32_t offset, const uint8_t* bytes,
                uint32_t length) override {
    blocks.push_back({element.address, offset, std::vector<uint8_t>(bytes, bytes + length)});
  }
  std::vector<Block> blocks;
};

TEST_F(UploadTest, ASinkGetsEveryBlockAndTheImageStaysAsItWas) {
  const std::vector<uint8_t> first = Pattern(3000, 5);
  const std::vector<uint8_t> second = Pattern(100, 9);
  const auto install = [&](const std::string& faults) {
    Install(faults);
    ASSERT_TRUE(Device()->WriteMemory(0, FLASH, first));
    ASSERT_TRUE(Device()->WriteMemory(0, 0x08010000, second));
  };
  install("");
  auto image = MakeImage({{FLASH, std::vector<uint8_t>(3000, 0)}, {0x08010000, std::vector<uint8_t>(100, 0)}});
  ASSERT_EQ(Run(Context(OP_CODE_UPLOAD, image.get())).result, RESULT_OK);
  const uint32_t statusAfterSecondBlock = RequestNumber("UPLOAD 3") + 1;
  SimUninstall();

  // The status after the second block answers dfuERROR: that block is read
  // again, and handed over again.
  install("status=0x0E@" + std::to_string(statusAfterSecondBlock));
  image = MakeImage({{FLASH, std::vector<uint8_t>(3000, 0)}, {0x08010000, std::vector<uint8_t>(100, 0)}});
  CRecordingSink sink;
  OperationContext context = Context(OP_CODE_UPLOAD, image.get());
  context.uploadSink = &sink;
  ASSERT_EQ(Run(context).result, RESULT_OK);
  EXPECT_EQ(Only(ClassRequests(), {"UPLOAD"}),
            (std::vector<std::string>{"UPLOAD 2 0 2048", "UPLOAD 3 0 952", "UPLOAD 3 0 952",
                                      "UPLOAD 2 0 100"}));
  ASSERT_EQ(sink.blocks.size(), 4u);
  const std::vector<uint8_t> tail(first.begin() + 2048, first.end());
  EXPECT_EQ(sink.blocks[0].element, FLASH);
  EXPECT_EQ(sink.blocks[0].offset, 0u);
  EXPECT_EQ(sink.blocks[0].bytes, std::vector<uint8_t>(first.begin(), first.begin() + 2048));
  for (size_t i = 1; i <= 2; ++i) {
    EXPECT_EQ(sink.blocks[i].element, FLASH);
    EXPECT_EQ(sink.blocks[i].offset, 2048u);
    EXPECT_EQ(sink.blocks[i].bytes, tail);
  }
  EXPECT_EQ(sink.blocks[3].element, 0x08010000u);
  EXPECT_EQ(sink.blocks[3].offset, 0u);
  EXPECT_EQ(sink.blocks[3].bytes, second);
  // Nothing of what was read went into the image.
  EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(0)->data, image->ElementAt(0)->data + 3000),
            std::vector<uint8_t>(3000, 0));
  EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(1)->data, image->ElementAt(1)->data + 100),
            std::vector<uint8_t>(100, 0));
}

// The zuvatool setting: no status request between blocks, so that a device
// stack that answers dfuIDLE after a full block is read as well as one that
// keeps the state diagram; the set-address command and the aborts around it
// stay.
TEST_F(UploadTest, TolerantUploadAsksForNoStatusBetweenBlocks) {
  struct Case {
    bool uploadIdle;
    uint32_t tolerant;
    StatusCode result;
  } cases[] = {{false, 1, RESULT_OK}, {true, 1, RESULT_OK}, {true, 0, OP_ERR_BAD_FIRMWARE_STATE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "upload-idle " << c.uploadIdle << ", tolerant " << c.tolerant);
    Install("", [&](SimProfile* p) { p->uploadStaysIdle = c.uploadIdle; });
    const std::vector<uint8_t> first = Pattern(3000, 5);
    const std::vector<uint8_t> second = Pattern(100, 9);
    ASSERT_TRUE(Device()->WriteMemory(0, FLASH, first));
    ASSERT_TRUE(Device()->WriteMemory(0, 0x08010000, second));
    auto image = MakeImage({{FLASH, std::vector<uint8_t>(3000, 0)}, {0x08010000, std::vector<uint8_t>(100, 0)}});
    OperationContext context = Context(OP_CODE_UPLOAD, image.get());
    context.tolerantUpload = c.tolerant;
    const OperationContext final = Run(context);

    EXPECT_EQ(final.result, c.result);
    if (c.result != RESULT_OK) {
      // Without the setting the request sequence is the one every other
      // test here holds, and dfuIDLE after a full block ends it.
      EXPECT_EQ(Only(ClassRequests(), {"UPLOAD"}), (std::vector<std::string>{"UPLOAD 2 0 2048"}));
      SimUninstall();
      continue;
    }
    const std::vector<std::string> expected = {
        "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",  // settle
        "GETSTATE 0 0 1", "DNLOAD 0 0 5", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0",
        "UPLOAD 2 0 2048", "UPLOAD 3 0 952",
        "ABORT 0 0 0",  // out of dfuUPLOAD-IDLE (or still dfuIDLE) before the next command
        "GETSTATE 0 0 1", "DNLOAD 0 0 5", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0",
        "UPLOAD 2 0 100",
        "GETSTATUS 0 0 6", "GETSTATUS 0 0 6"};  // settle: the device is asked at the end
    std::vector<std::string> requests = ClassRequests();
    // A device in dfuUPLOAD-IDLE at the end is aborted to dfuIDLE.
    if (!c.uploadIdle) {
      EXPECT_EQ(std::vector<std::string>(requests.end() - 2, requests.end()),
                (std::vector<std::string>{"ABORT 0 0 0", "GETSTATUS 0 0 6"}));
      requests.resize(requests.size() - 2);
    }
    EXPECT_EQ(requests, expected);
    EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(0)->data, image->ElementAt(0)->data + 3000), first);
    EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(1)->data, image->ElementAt(1)->data + 100), second);
    SimUninstall();
  }
}

// A block that comes back short inside the range asked for: a tolerant
// upload keeps what came, ends at once and says where; without the setting
// the block is asked for three times and the operation fails as before.
TEST_F(UploadTest, ShortBlockEndsATolerantUploadAndSaysWhere) {
  // The internal flash ends at 0x08080000: a block that runs over the end
  // comes back short, one that starts there comes back empty.
  constexpr uint32_t END = 0x08080000;
  struct Case {
    uint32_t start;
    uint32_t size;
    uint32_t endsAt;  // blockAddress of the final record
    uint32_t came;    // its blockLength
  } cases[] = {{END - 0x100, 0x200, END - 0x100, 0x100}, {END - 0x1000, 0x1800, END, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "from " << std::hex << c.start);
    const std::vector<uint8_t> held = Pattern(END - c.start, 11);
    for (uint32_t tolerant : {1u, 0u}) {
      Install();
      ASSERT_TRUE(Device()->WriteMemory(0, c.start, held));
      auto image = MakeImage({{c.start, std::vector<uint8_t>(c.size, 0)}});
      OperationContext context = Context(OP_CODE_UPLOAD, image.get());
      context.tolerantUpload = tolerant;
      const OperationContext final = Run(context);
      if (tolerant == 0) {
        EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
        SimUninstall();
        continue;
      }
      EXPECT_EQ(final.result, OP_ERR_UPLOAD_ENDED_EARLY);
      EXPECT_NE(final.progress, 100);
      EXPECT_EQ(final.blockAddress, c.endsAt);
      EXPECT_EQ(final.blockLength, c.came);
      // Asked once: a short block is the device's answer, not a glitch.
      EXPECT_EQ(Only(ClassRequests(), {"UPLOAD"}).size(), (c.endsAt - c.start) / 2048 + 1);
      EXPECT_EQ(std::vector<uint8_t>(image->ElementAt(0)->data, image->ElementAt(0)->data + held.size()), held);
      SimUninstall();
    }
  }
}

// An element of more than 65,534 blocks (the 16-bit block number runs from
// 2 to 0xFFFF) is read in chunks, each after a set-address command naming
// where it starts, as the blocks of the next element would be.
TEST_F(UploadTest, ElementBeyondOnePointerIsReadInChunks) {
  // 8-byte blocks over the whole 512 KiB internal flash: 65,536 blocks.
  constexpr uint32_t SIZE = 0x80000;
  Install("", [](SimProfile* p) { p->transferSize = 8; });
  std::vector<uint8_t> flash(SIZE);
  for (uint32_t i = 0; i < SIZE; ++i) flash[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ (i >> 16));
  ASSERT_TRUE(Device()->WriteMemory(0, FLASH, flash));
  auto image = MakeImage({{FLASH, std::vector<uint8_t>(SIZE, 0)}});
  OperationContext context = Context(OP_CODE_UPLOAD, image.get());
  OperationId id = OP_INVALID_ID;
  auto log = Start<CUploadThread>(&context, &id);
  // Some 131,000 requests: the sanitizer builds need longer than the usual
  // limit.
  const OperationContext final = RunToEnd(id, nullptr, std::chrono::seconds(300));

  ASSERT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  EXPECT_TRUE(std::vector<uint8_t>(image->ElementAt(0)->data, image->ElementAt(0)->data + SIZE) == flash);
  std::vector<std::vector<uint8_t>> commands;
  for (const SimRequestRecord& r : Recorder()->RequestLog()) {
    if (r.name == "DNLOAD") commands.push_back(r.data);
  }
  // 0x08000000 + 65,534 x 8 = 0x0807FFF0.
  EXPECT_EQ(commands, (std::vector<std::vector<uint8_t>>{{0x21, 0x00, 0x00, 0x00, 0x08},
                                                         {0x21, 0xF0, 0xFF, 0x07, 0x08}}));
  const std::vector<std::string> requests = ClassRequests();
  const auto last = std::find(requests.begin(), requests.end(), "UPLOAD 65535 0 8");
  ASSERT_NE(last, requests.end());
  EXPECT_EQ(std::vector<std::string>(last, requests.end()),
            (std::vector<std::string>{"UPLOAD 65535 0 8", "GETSTATUS 0 0 6", "ABORT 0 0 0",
                                      "GETSTATE 0 0 1", "DNLOAD 0 0 5", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",
                                      "ABORT 0 0 0", "UPLOAD 2 0 8", "GETSTATUS 0 0 6", "UPLOAD 3 0 8",
                                      "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "GETSTATUS 0 0 6", "ABORT 0 0 0",
                                      "GETSTATUS 0 0 6"}));
  const std::vector<int> steps = log->ProgressSteps();
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
  EXPECT_EQ(steps.back(), 100);
}

}  // namespace
