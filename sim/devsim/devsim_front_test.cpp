#include "sim/devsim/devsim_front.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr uint8_t STD_IN = 0x80, STD_OUT = 0x00, IF_OUT_STD = 0x01;
constexpr uint8_t CLASS_OUT = 0x21, CLASS_IN = 0xA1;

// A front over a fresh device, with its trace in a temporary file.
class DevsimFrontTest : public testing::Test {
 protected:
  void Build(const std::string& plan = "", SimMode mode = SimMode::kDfu, uint8_t attributes = 0x0B) {
    SimDeviceOptions options;
    options.profile.mode = mode;
    options.profile.attributes = attributes;
    std::string error;
    ASSERT_TRUE(SimParseFaultPlan(plan, &options.faults, &error)) << error;
    tracePath_ = testing::TempDir() + "devsim_front_trace_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name();
    options.tracePath = tracePath_;
    std::shared_ptr<CSimRecorder> recorder;
    ASSERT_TRUE(CSimRecorder::Create(std::move(options), &recorder, &error)) << error;
    front_ = std::make_unique<CDevsimFront>(std::move(recorder));
  }

  SimOutcome Send(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  std::vector<uint8_t>* data, uint32_t attachment = 0) {
    uint32_t moved = 0;
    UsbSetup setup{type, request, value, index, static_cast<uint16_t>(data->size())};
    SimOutcome outcome = front_->Control(attachment, setup, data->data(), &moved, &changes_);
    if (type & 0x80) data->resize(moved);
    return outcome;
  }
  SimOutcome Send(uint8_t type, uint8_t request, uint16_t value, uint16_t index = 0,
                  uint16_t length = 0, uint32_t attachment = 0) {
    std::vector<uint8_t> data(length);
    return Send(type, request, value, index, &data, attachment);
  }

  std::vector<std::string> Trace() {
    std::ifstream file(tracePath_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  std::string tracePath_;
  std::unique_ptr<CDevsimFront> front_;
  std::vector<SimBusChange> changes_;
};

// Standard and DFU requests share one numbering and one trace, named as on
// the bus, and the device answers the standard requests itself.
TEST_F(DevsimFrontTest, NumbersAndNamesEveryTransferAsOnTheBus) {
  Build();
  std::vector<uint8_t> device(18);
  EXPECT_EQ(Send(STD_IN, 6, 0x0100, 0, &device), SimOutcome::kOk);
  EXPECT_EQ(device.size(), 18u);
  EXPECT_EQ(device[1], 1);
  std::vector<uint8_t> config(512);
  EXPECT_EQ(Send(STD_IN, 6, 0x0200, 0, &config), SimOutcome::kOk);
  EXPECT_EQ(config.size(), static_cast<size_t>(config[2] | (config[3] << 8)));
  std::vector<uint8_t> languages(255);
  EXPECT_EQ(Send(STD_IN, 6, 0x0300, 0, &languages), SimOutcome::kOk);
  EXPECT_EQ(languages, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  std::vector<uint8_t> functional(9);
  EXPECT_EQ(Send(STD_IN, 6, 0x2100, 0, &functional), SimOutcome::kOk);
  EXPECT_EQ(functional[1], 0x21);
  EXPECT_EQ(Send(STD_OUT, 9, 1), SimOutcome::kOk);
  EXPECT_EQ(Send(IF_OUT_STD, 11, 2, 0), SimOutcome::kOk);
  std::vector<uint8_t> alternate(1);
  EXPECT_EQ(Send(0x81, 10, 0, 0, &alternate), SimOutcome::kOk);
  EXPECT_EQ(alternate, std::vector<uint8_t>{2});
  EXPECT_EQ(Send(STD_IN, 6, 0x0600, 0, 10), SimOutcome::kStall);  // no device qualifier
  EXPECT_EQ(Send(CLASS_IN, 3, 0, 0, 6), SimOutcome::kOk);
  EXPECT_EQ(Send(CLASS_IN, 5, 0, 0, 1), SimOutcome::kOk);
  EXPECT_EQ(front_->Recorder()->RequestCount(), 10u);
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "1 GET_DESCRIPTOR 256 0 18 -> ok",
                         "2 GET_DESCRIPTOR 512 0 512 -> ok",
                         "3 GET_DESCRIPTOR 768 0 255 -> ok",
                         "4 GET_DESCRIPTOR 8448 0 9 -> ok",
                         "5 SET_CONFIGURATION 1 0 0 -> ok",
                         "6 SET_INTERFACE 2 0 0 -> ok",
                         "7 GET_INTERFACE 0 0 1 -> ok",
                         "8 GET_DESCRIPTOR 1536 0 10 -> stall",
                         "9 GETSTATUS 0 0 6 -> ok status=0 state=2 poll=0",
                         "10 GETSTATE 0 0 1 -> ok state=2",
                     }));
}

// Planned faults count standard requests too: a stall hits a standard
// request as it would a class request, and the unplug takes the device off the
// bus for that transfer and every later one.
TEST_F(DevsimFrontTest, FaultPlanCountsStandardRequests) {
  Build("stall@2,unplug@4");
  EXPECT_EQ(Send(STD_IN, 6, 0x0300, 0, 255), SimOutcome::kOk);
  EXPECT_EQ(Send(STD_IN, 0, 0, 0, 2), SimOutcome::kStall);
  EXPECT_EQ(Send(STD_IN, 0, 0, 0, 2), SimOutcome::kOk);
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(Send(CLASS_IN, 3, 0, 0, 6), SimOutcome::kGone);
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_FALSE(changes_[0].arrival);
  EXPECT_EQ(Send(STD_IN, 0, 0, 0, 2), SimOutcome::kGone);
  std::vector<std::string> trace = Trace();
  ASSERT_EQ(trace.size(), 5u);
  EXPECT_EQ(trace[1], "2 GET_STATUS 0 0 2 -> stall");
  EXPECT_EQ(trace[3], "4 GETSTATUS 0 0 6 -> gone");
}

// Data written with DfuSe commands over the bus reads back the same, and a
// short last upload block is placed by the transfer size.
TEST_F(DevsimFrontTest, DownloadAndUploadMoveTheSameBytes) {
  Build();
  auto poll = [&] {
    std::vector<uint8_t> status(6);
    return Send(CLASS_IN, 3, 0, 0, &status) == SimOutcome::kOk ? status[4] : 0xFF;
  };
  std::vector<uint8_t> erase = {0x41, 0x00, 0x00, 0x00, 0x08};
  ASSERT_EQ(Send(CLASS_OUT, 1, 0, 0, &erase), SimOutcome::kOk);
  EXPECT_EQ(poll(), 4);  // dfuDNBUSY
  EXPECT_EQ(poll(), 5);  // dfuDNLOAD-IDLE
  std::vector<uint8_t> pointer = {0x21, 0x00, 0x00, 0x00, 0x08};
  ASSERT_EQ(Send(CLASS_OUT, 1, 0, 0, &pointer), SimOutcome::kOk);
  poll();
  poll();
  std::vector<uint8_t> block(2048 + 100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> first(block.begin(), block.begin() + 2048);
  std::vector<uint8_t> second(block.begin() + 2048, block.end());
  ASSERT_EQ(Send(CLASS_OUT, 1, 2, 0, &first), SimOutcome::kOk);
  poll();
  poll();
  ASSERT_EQ(Send(CLASS_OUT, 1, 3, 0, &second), SimOutcome::kOk);
  poll();
  poll();
  ASSERT_EQ(Send(CLASS_OUT, 6, 0, 0), SimOutcome::kOk);  // ABORT to dfuIDLE
  std::vector<uint8_t> read1(2048), read2(100);
  ASSERT_EQ(Send(CLASS_IN, 2, 2, 0, &read1), SimOutcome::kOk);
  ASSERT_EQ(Send(CLASS_IN, 2, 3, 0, &read2), SimOutcome::kOk);
  EXPECT_EQ(read1, first);
  EXPECT_EQ(read2, second);
}

// An application detaches and comes back in DFU mode as a new appearance;
// the old one is gone for good.
TEST_F(DevsimFrontTest, DetachComesBackAsANewAppearanceInDfuMode) {
  Build("", SimMode::kApplication);
  ASSERT_EQ(Send(CLASS_OUT, 0, 1000, 0), SimOutcome::kOk);
  ASSERT_EQ(changes_.size(), 2u);
  EXPECT_FALSE(changes_[0].arrival);
  EXPECT_FALSE(changes_[0].dfuMode);
  EXPECT_TRUE(changes_[1].arrival);
  EXPECT_TRUE(changes_[1].dfuMode);
  EXPECT_EQ(changes_[1].attachment, 1u);
  EXPECT_EQ(Send(CLASS_IN, 5, 0, 0, 1, 0), SimOutcome::kGone);
  EXPECT_EQ(Send(CLASS_IN, 5, 0, 0, 1, 1), SimOutcome::kOk);
}

TEST(DevsimAppearance, FollowsTheModeAndTheProfile) {
  auto describe = [](const SimProfile& profile, bool dfuMode) {
    SimDeviceOptions options;
    options.profile = profile;
    std::unique_ptr<CDfuDevice> device;
    std::string error;
    EXPECT_TRUE(CDfuDevice::Create(std::move(options), &device, &error)) << error;
    return DevsimDescribe(*device, dfuMode);
  };
  SimProfile profile = SimDefaultProfile();
  profile.hasDescription = false;
  DevsimAppearance dfu = describe(profile, true);
  const DevsimAppearance app = describe(profile, false);
  // Interface descriptors: protocol 2 in DFU mode, 1 in application mode.
  EXPECT_EQ(dfu.configuration[9 + 7], 2);
  EXPECT_EQ(app.configuration[9 + 7], 1);
  EXPECT_EQ(dfu.configuration[4], 1);
  EXPECT_FALSE(dfu.hasProduct);
  EXPECT_FALSE(dfu.manufacturer.empty());
  profile.hasDescription = true;
  profile.description = "Bench \xC3\xA9tage";
  dfu = describe(profile, true);
  EXPECT_TRUE(dfu.hasProduct);
  EXPECT_EQ(dfu.product, "Bench \xC3\xA9tage");
}

}  // namespace
