#include "device/dfu_requests.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/device_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class DfuRequestsTest : public CFakeDeviceTest {
 protected:
  void SetUp() override {
    CFakeDeviceTest::SetUp();
    fake = AddDfuDevice("dev", {"@Internal Flash  /0x08000000/04*016Kg"});
    ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
  }
  bool IsInTable(DeviceHandle h) {
    uint8_t descriptor[18];
    return ReadDeviceDescriptor(h, descriptor) == RESULT_OK;
  }
  // Answers GETSTATUS with the given state and every other request plainly.
  void AnswerStatus(uint8_t state) {
    fake->control = [state](const ControlRequestHeader& h, const Bytes&, Bytes* reply) {
      if (h.request == DFU_REQUEST_GETSTATUS) *reply = {0, 0x10, 0x27, 0, state, 0};
      return true;
    };
  }

  std::shared_ptr<CFakeDevice> fake;
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
};

struct SetupCase {
  const char* name;
  std::function<StatusCode(DeviceHandle*)> send;
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint32_t wLength;
  Bytes dataOut;  // the data stage sent to the device
};

uint8_t g_download[3] = {0x41, 0x00, 0x08};
uint8_t g_buffer[2048];
DfuStatus g_status;
uint8_t g_state;

std::vector<SetupCase> SetupCases() {
  return {
      {"Detach", [](DeviceHandle* h) { return DfuDetach(h, 3); }, 0x21, 0, 5000, 3, 0, {}},
      {"Download", [](DeviceHandle* h) { return DfuDownload(h, g_download, 3, 0); }, 0x21, 1, 0,
       0, 3, {0x41, 0x00, 0x08}},
      {"DownloadLengthZero", [](DeviceHandle* h) { return DfuDownload(h, g_download, 0, 7); },
       0x21, 1, 7, 0, 0, {}},
      {"Upload", [](DeviceHandle* h) { return DfuUpload(h, g_buffer, 2048, 2); }, 0xA1, 2, 2, 0,
       2048, {}},
      {"GetStatus", [](DeviceHandle* h) { return DfuGetStatus(h, &g_status); }, 0xA1, 3, 0, 0, 6,
       {}},
      {"ClearStatus", [](DeviceHandle* h) { return DfuClearStatus(h); }, 0x21, 4, 0, 0, 0, {}},
      {"GetState", [](DeviceHandle* h) { return DfuGetState(h, &g_state); }, 0xA1, 5, 0, 0, 1, {}},
      {"Abort", [](DeviceHandle* h) { return DfuAbort(h); }, 0x21, 6, 0, 0, 0, {}},
  };
}

class DfuSetupTest : public DfuRequestsTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(DfuSetupTest, SendsTheSetupPacketOfTheRequest) {
  const SetupCase& c = GetParam();
  AnswerStatus(DFU_STATE_DFU_IDLE);
  size_t before = fake->Requests().size();
  ASSERT_EQ(c.send(&handle), RESULT_OK);
  auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), before + 1);
  const FakeRequest& r = requests.back();
  ASSERT_EQ(r.code, IOCTL_DFU_CONTROL_REQUEST);
  ControlRequestHeader h = DecodeControlRequestHeader(r.input.data());
  EXPECT_EQ(h.requestKind, CONTROL_REQUEST_KIND_CLASS_INTERFACE);
  uint8_t bmRequestType = h.direction == CONTROL_DIRECTION_DEVICE_TO_HOST ? 0xA1 : 0x21;
  EXPECT_EQ(bmRequestType, c.bmRequestType);
  EXPECT_EQ(h.request, c.bRequest);
  EXPECT_EQ(h.value, c.wValue);
  EXPECT_EQ(h.index, c.wIndex);
  EXPECT_EQ(h.length, c.wLength);
  Bytes stage(r.input.begin() + CONTROL_REQUEST_HEADER_SIZE, r.input.end());
  if (c.bmRequestType == 0x21) {
    EXPECT_EQ(stage, c.dataOut);
  }
  EXPECT_EQ(r.outputSize, c.bmRequestType == 0xA1 ? c.wLength : 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, DfuSetupTest, ::testing::ValuesIn(SetupCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DfuRequestsTest, DetachClosesTheDeviceAndClearsTheHandle) {
  DeviceHandle original = handle;
  ASSERT_EQ(DfuDetach(&handle, 3), RESULT_OK);
  EXPECT_EQ(handle, DEVICE_INVALID_HANDLE);
  EXPECT_FALSE(IsInTable(original));
  EXPECT_EQ(fake->OpenConnections(), 0);
}

TEST_F(DfuRequestsTest, FailedDetachKeepsTheDevice) {
  fake->control = [](const ControlRequestHeader&, const Bytes&, Bytes*) { return false; };
  DeviceHandle original = handle;
  EXPECT_EQ(DfuDetach(&handle, 0), DEV_ERR_CONTROL_TRANSFER);
  EXPECT_EQ(handle, original);
  EXPECT_TRUE(IsInTable(handle));
}

TEST_F(DfuRequestsTest, GetStatusClosesOnlyOnManifestation) {
  struct Case {
    uint8_t state;
    bool closes;
  };
  for (Case c : {Case{DFU_STATE_DNLOAD_IDLE, false}, Case{DFU_STATE_MANIFEST, true},
                 Case{DFU_STATE_MANIFEST_WAIT_RESET, true}, Case{DFU_STATE_ERROR, false}}) {
    SCOPED_TRACE(static_cast<int>(c.state));
    if (handle == DEVICE_INVALID_HANDLE) {
      ASSERT_EQ(OpenDevice(PathOf("dev"), &handle), RESULT_OK);
    }
    AnswerStatus(c.state);
    DeviceHandle original = handle;
    DfuStatus status{};
    ASSERT_EQ(DfuGetStatus(&handle, &status), RESULT_OK);
    EXPECT_EQ(status.bState, c.state);
    EXPECT_EQ(DfuStatusPollTimeout(status), 10000u);
    EXPECT_EQ(handle == DEVICE_INVALID_HANDLE, c.closes);
    EXPECT_EQ(IsInTable(original), !c.closes);
  }
}

TEST_F(DfuRequestsTest, FailedGetStatusKeepsTheDevice) {
  fake->control = [](const ControlRequestHeader&, const Bytes&, Bytes* reply) {
    *reply = {0, 0, 0, 0, DFU_STATE_MANIFEST};  // five bytes: short
    return true;
  };
  DfuStatus status{};
  DeviceHandle original = handle;
  EXPECT_EQ(DfuGetStatus(&handle, &status), DEV_ERR_SHORT_ANSWER);
  EXPECT_EQ(handle, original);
  EXPECT_TRUE(IsInTable(handle));
}

TEST_F(DfuRequestsTest, UploadMustReceiveEveryByte) {
  fake->control = [](const ControlRequestHeader&, const Bytes&, Bytes* reply) {
    reply->assign(2047, 0x5A);
    return true;
  };
  Bytes buffer(2048);
  EXPECT_NE(DfuUpload(&handle, buffer.data(), 2048, 2), RESULT_OK);
  fake->control = [](const ControlRequestHeader&, const Bytes&, Bytes* reply) {
    reply->assign(2048, 0x5A);
    return true;
  };
  EXPECT_EQ(DfuUpload(&handle, buffer.data(), 2048, 2), RESULT_OK);
  EXPECT_EQ(buffer, Bytes(2048, 0x5A));
}

TEST_F(DfuRequestsTest, RefusalsBeforeAnyTransfer) {
  uint8_t data[4] = {};
  DfuStatus status{};
  uint8_t state = 0;
  size_t before = fake->Requests().size();
  const std::pair<const char*, StatusCode> cases[] = {
      {"download null data", DfuDownload(&handle, nullptr, 0, 0)},
      {"download null handle", DfuDownload(nullptr, data, 4, 0)},
      {"upload null buffer", DfuUpload(&handle, nullptr, 4, 2)},
      {"upload null handle", DfuUpload(nullptr, data, 4, 2)},
      {"status null", DfuGetStatus(&handle, nullptr)},
      {"status null handle", DfuGetStatus(nullptr, &status)},
      {"state null", DfuGetState(&handle, nullptr)},
      {"state null handle", DfuGetState(nullptr, &state)},
      {"clear null handle", DfuClearStatus(nullptr)},
      {"abort null handle", DfuAbort(nullptr)},
      {"detach null handle", DfuDetach(nullptr, 0)},
  };
  for (const auto& [what, result] : cases) EXPECT_EQ(result, DEV_ERR_BAD_PARAMETER) << what;
  EXPECT_EQ(fake->Requests().size(), before);

  DeviceHandle unknown = handle + 1000;
  EXPECT_EQ(DfuAbort(&unknown), DEV_ERR_BAD_PARAMETER);
  DestroyDevicesManager();
  EXPECT_EQ(DfuAbort(&handle), DEV_ERR_NO_MANAGER);
  EXPECT_EQ(DfuGetState(&handle, &state), DEV_ERR_NO_MANAGER);
}

TEST_F(DfuRequestsTest, ClosedEntryAnswersNotOpen) {
  fake->refuseSelect = true;
  ASSERT_EQ(SelectAlternateSetting(handle, 0), DEV_ERR_BAD_PARAMETER);  // closes, stays listed
  EXPECT_EQ(DfuAbort(&handle), DEV_ERR_NOT_OPEN);
  uint32_t number = 0, count = 0;
  DfuFunctionalDescriptor descriptor{};
  EXPECT_EQ(ReadDfuFunctionalDescriptor(&handle, &number, &count, &descriptor), DEV_ERR_NOT_OPEN);
}

// --- Functional descriptor -------------------------------------------------

struct FunctionalCase {
  const char* name;
  Bytes configuration;
  StatusCode status;
  uint32_t interfaceNumber;
  uint32_t alternateCount;
  Bytes descriptor;
};

const Bytes FUNCTIONAL = {9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01};

std::vector<FunctionalCase> FunctionalCases() {
  return {
      {"AfterFourthAlternate",
       CConfigBuilder(1).Interface(0, 0, 4).Interface(0, 1, 5).Interface(0, 2, 6)
           .Interface(0, 3, 7).Functional().Build(),
       RESULT_OK, 0, 4, FUNCTIONAL},
      {"AfterFirstAlternateOnly",
       CConfigBuilder(1).Interface(0, 0, 4).Functional().Interface(0, 1, 5).Interface(0, 2, 6)
           .Interface(0, 3, 7).Build(),
       RESULT_OK, 0, 4, Bytes(9, 0)},
      // The walks count interface descriptors, so alternate index 0 of a
      // second interface is never matched and its number reads as 0.
      {"LastOfTwoInterfaces",
       CConfigBuilder(2).Interface(0, 0, 4).Interface(1, 0, 5).Interface(1, 1, 6).Functional()
           .Build(),
       RESULT_OK, 0, 2, FUNCTIONAL},
      {"ShortDescriptor", CConfigBuilder(1).Interface(2, 0, 4).Raw({7, 0x21, 0x0B, 1, 2, 3, 4})
                              .Build(),
       RESULT_OK, 2, 1, {7, 0x21, 0x0B, 1, 2, 3, 4, 0, 0}},
      {"TooLong", CConfigBuilder(1).Interface(0, 0, 4).Raw({10, 0x21, 0, 0, 0, 0, 0, 0, 0, 0})
                      .Build(),
       DEV_ERR_DESCRIPTOR_TOO_LONG, 99, 99, Bytes(9, 0xEE)},
      {"NoInterfaces", CConfigBuilder(0).Build(), DEV_ERR_BAD_PARAMETER, 99, 99, Bytes(9, 0xEE)},
  };
}

class FunctionalDescriptorTest : public CFakeDeviceTest,
                                 public ::testing::WithParamInterface<FunctionalCase> {};

TEST_P(FunctionalDescriptorTest, FollowsTheLastAlternateOfTheLastInterface) {
  const FunctionalCase& c = GetParam();
  auto fake = backend->AddDevice("f");
  fake->configurations = {c.configuration};
  DeviceHandle handle = 0;
  ASSERT_EQ(OpenDevice(PathOf("f"), &handle), RESULT_OK);
  uint32_t number = 99, count = 99;
  DfuFunctionalDescriptor descriptor;
  std::memset(&descriptor, 0xEE, sizeof descriptor);
  EXPECT_EQ(ReadDfuFunctionalDescriptor(&handle, &number, &count, &descriptor), c.status);
  EXPECT_EQ(number, c.interfaceNumber);
  EXPECT_EQ(count, c.alternateCount);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&descriptor);
  EXPECT_EQ(Bytes(raw, raw + 9), c.descriptor);
}

INSTANTIATE_TEST_SUITE_P(Functional, FunctionalDescriptorTest,
                         ::testing::ValuesIn(FunctionalCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The DFU interface found by its class, whatever comes before it.
using DfuInterfaceTest = CFakeDeviceTest;

TEST_F(DfuInterfaceTest, IsFoundByItsClassWithItsOwnNumber) {
  const Bytes vendor0 = {9, 0x04, 0, 0, 1, 0xFF, 0, 0, 0};
  const Bytes vendor1 = {9, 0x04, 1, 0, 1, 0xFF, 0, 0, 0};
  const Bytes endpoint = {7, 0x05, 0x81, 0x02, 0x40, 0x00, 0};
  struct Case {
    const char* name;
    Bytes configuration;
    StatusCode status;
    uint8_t number;
    Bytes descriptor;
  } cases[] = {
      {"OnlyInterface", CConfigBuilder(1).Interface(0, 0, 4).Interface(0, 1, 5).Functional().Build(), RESULT_OK,
       0, FUNCTIONAL},
      {"AfterTwoVendorInterfaces",
       CConfigBuilder(3).Raw(vendor0).Raw(endpoint).Raw(vendor1).Interface(2, 0, 4).Functional().Build(),
       RESULT_OK, 2, FUNCTIONAL},
      {"SecondOfTwoInterfaces",
       CConfigBuilder(2).Interface(0, 0, 4).Interface(1, 0, 5).Interface(1, 1, 6).Functional().Build(), RESULT_OK,
       1, FUNCTIONAL},
      // The descriptor after the first setting is not the last setting's.
      {"DescriptorAfterTheFirstSettingOnly",
       CConfigBuilder(2).Raw(vendor0).Interface(1, 0, 4).Functional().Interface(1, 1, 5).Build(), RESULT_OK, 1,
       Bytes(9, 0)},
      {"NoDfuInterface", CConfigBuilder(1).Raw(vendor0).Build(), DEV_ERR_BAD_PARAMETER, 99, Bytes(9, 0xEE)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fake = backend->AddDevice(c.name);
    fake->configurations = {c.configuration};
    DeviceHandle handle = 0;
    ASSERT_EQ(OpenDevice(PathOf(c.name), &handle), RESULT_OK);
    uint8_t number = 99;
    DfuFunctionalDescriptor descriptor;
    std::memset(&descriptor, 0xEE, sizeof descriptor);
    EXPECT_EQ(ReadDfuInterface(&handle, &number, &descriptor), c.status);
    EXPECT_EQ(number, c.number);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&descriptor);
    EXPECT_EQ(Bytes(raw, raw + 9), c.descriptor);
    CloseDevice(handle);
  }
}

TEST_F(DfuRequestsTest, FunctionalDescriptorFields) {
  uint32_t number = 0, count = 0;
  DfuFunctionalDescriptor descriptor{};
  ASSERT_EQ(ReadDfuFunctionalDescriptor(&handle, &number, &count, &descriptor), RESULT_OK);
  EXPECT_EQ(descriptor.bmAttributes, 0x0B);
  // Packed fields are read by value: a reference to one would be misaligned.
  EXPECT_EQ(uint16_t{descriptor.wTransferSize}, 2048);
  EXPECT_EQ(uint16_t{descriptor.bcdDFUVersion}, 0x011A);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(ReadDfuFunctionalDescriptor(nullptr, &number, &count, &descriptor),
            DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(ReadDfuFunctionalDescriptor(&handle, &number, &count, nullptr), DEV_ERR_BAD_PARAMETER);
}

}  // namespace
