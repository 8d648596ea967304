#include "sim/gadget/gadget_server.h"

#include <gtest/gtest.h>

#include "sim/sim_test_support.h"

#include <string>
#include <vector>

namespace {

constexpr uint8_t STD_IN = 0x80, STD_OUT = 0x00, CLASS_OUT = 0x21, CLASS_IN = 0xA1;
constexpr uint8_t DFU_DETACH = 0, DFU_DNLOAD = 1, DFU_GETSTATUS = 3;

// What the server did on endpoint 0, one line per call.
class ScriptedPort : public GadgetPort {
 public:
  explicit ScriptedPort(std::vector<std::string>* calls) : calls_(calls) {}
  bool Plug(std::string*) override { return true; }
  void Unplug() override {}
  bool NextSetup(UsbSetup*) override { return false; }
  bool SendIn(const uint8_t* data, uint32_t length, bool shortStage) override {
    calls_->push_back("in " + std::to_string(length) + (shortStage ? " short" : ""));
    sent.assign(data, data + length);
    return true;
  }
  bool ReceiveOut(uint8_t* data, uint32_t length) override {
    calls_->push_back(length == 0 ? "status" : "out " + std::to_string(length));
    for (uint32_t i = 0; i < length; ++i) data[i] = hostBytes.at(i);
    return true;
  }
  void Stall() override { calls_->push_back("stall"); }
  void Configure() override { calls_->push_back("configure"); }

  std::vector<uint8_t> hostBytes;
  std::vector<uint8_t> sent;

 private:
  std::vector<std::string>* const calls_;
};

class GadgetServerTest : public testing::Test {
 protected:
  void Build(SimMode mode = SimMode::kDfu, const std::string& plan = "") {
    SimDeviceOptions options;
    options.clock = clock_;
    options.profile.mode = mode;
    options.profile.attributes = 0x0B;
    std::string error;
    ASSERT_TRUE(SimParseFaultPlan(plan, &options.faults, &error)) << error;
    std::shared_ptr<CSimRecorder> recorder;
    ASSERT_TRUE(CSimRecorder::Create(std::move(options), &recorder, &error)) << error;
    recorder_ = recorder;
    auto port = std::make_unique<ScriptedPort>(&calls_);
    port_ = port.get();
    server_ = std::make_unique<GadgetServer>(std::make_shared<CDevsimFront>(recorder),
                                             std::move(port));
  }
  bool Answer(uint8_t type, uint8_t request, uint16_t value, uint16_t length, uint16_t index = 0) {
    return server_->Answer(recorder_->Device()->Attachment(),
                           UsbSetup{type, request, value, index, length});
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const SimRequestRecord& record : recorder_->RequestLog()) names.push_back(record.name);
    return names;
  }

  std::shared_ptr<CFakeSimClock> clock_ = std::make_shared<CFakeSimClock>();
  std::vector<std::string> calls_;
  std::shared_ptr<CSimRecorder> recorder_;
  ScriptedPort* port_ = nullptr;
  std::unique_ptr<GadgetServer> server_;
};

// Each answer of the model becomes its stage: the bytes of an IN stage
// (ended short when fewer than asked for), the status stage of a request
// without data, a stall; SET_CONFIGURATION also configures the UDC.
TEST_F(GadgetServerTest, TheModelsAnswerBecomesTheStage) {
  Build();
  EXPECT_TRUE(Answer(STD_IN, USB_REQUEST_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 64));
  EXPECT_EQ(port_->sent.size(), USB_DEVICE_DESCRIPTOR_SIZE);
  EXPECT_TRUE(Answer(STD_OUT, USB_REQUEST_SET_CONFIGURATION, 1, 0));
  EXPECT_TRUE(server_->Configured());
  EXPECT_TRUE(Answer(CLASS_IN, DFU_GETSTATUS, 0, 6));
  EXPECT_TRUE(Answer(CLASS_IN, 0x77, 0, 4));  // no such request: a stall
  EXPECT_EQ(calls_, (std::vector<std::string>{"in 18 short", "configure", "status", "in 6",
                                               "stall"}));
}

// The host's bytes of an OUT stage are read before the model takes the
// request, so the device gets them: a DfuSe set-address command moves the
// download pointer, and the status after it says the command was taken.
TEST_F(GadgetServerTest, AnOutStageReachesTheModelWithItsBytes) {
  Build();
  port_->hostBytes = {0x21, 0x00, 0x00, 0x00, 0x08};
  EXPECT_TRUE(Answer(CLASS_OUT, DFU_DNLOAD, 0, 5));
  EXPECT_TRUE(Answer(CLASS_IN, DFU_GETSTATUS, 0, 6));
  ASSERT_EQ(calls_.front(), "out 5");
  const std::vector<SimRequestRecord> log = recorder_->RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].data, port_->hostBytes);
  EXPECT_EQ(port_->sent.at(0), 0);  // bStatus OK
}

// The hub driver's first request after a port reset (the device descriptor
// with room for 64 bytes) reaches a configured device as a reset first; a
// program's 18-byte read of the descriptor does not, nor does the first
// enumeration.
TEST_F(GadgetServerTest, AnEnumerationOfAConfiguredDeviceIsAReset) {
  Build();
  EXPECT_TRUE(Answer(STD_IN, USB_REQUEST_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 64));
  EXPECT_TRUE(Answer(STD_OUT, USB_REQUEST_SET_CONFIGURATION, 1, 0));
  EXPECT_TRUE(Answer(STD_IN, USB_REQUEST_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 18));
  EXPECT_TRUE(Answer(STD_IN, USB_REQUEST_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 64));
  EXPECT_FALSE(server_->Configured());
  EXPECT_EQ(Names(), (std::vector<std::string>{"GET_DESCRIPTOR", "SET_CONFIGURATION",
                                               "GET_DESCRIPTOR", "RESET", "GET_DESCRIPTOR"}));
}

// A request after which the device is elsewhere on the bus ends the gadget's
// appearance: a detaching application, a reset in appDETACH, an unplug.
TEST_F(GadgetServerTest, ARequestThatMovesTheDeviceEndsTheAppearance) {
  Build(SimMode::kApplication);
  EXPECT_FALSE(Answer(CLASS_OUT, DFU_DETACH, 1000, 0));
  EXPECT_TRUE(recorder_->Device()->InDfuMode());

  Build(SimMode::kDfu, "unplug@2");
  EXPECT_TRUE(Answer(CLASS_IN, DFU_GETSTATUS, 0, 6));
  EXPECT_FALSE(Answer(CLASS_IN, DFU_GETSTATUS, 0, 6));
  EXPECT_FALSE(recorder_->Device()->Present());
}

// A device that answers late (a planned fault) holds its answer back for that
// long, however fast its timing: the gadget sends it only then.
TEST_F(GadgetServerTest, ALateAnswerComesAfterItsTime) {
  Build(SimMode::kDfu, "late=7000@2");
  EXPECT_TRUE(Answer(CLASS_IN, DFU_GETSTATUS, 0, 6));
  EXPECT_EQ(clock_->Slept(), 0u);
  EXPECT_TRUE(Answer(CLASS_IN, DFU_GETSTATUS, 0, 6));
  EXPECT_EQ(clock_->Slept(), 7000000u);
  EXPECT_EQ(calls_, (std::vector<std::string>{"in 6", "in 6"}));
}

}  // namespace
