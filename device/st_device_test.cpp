#include "device/st_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_test_support.h"
#include "platform/text.h"

namespace {

using Bytes = std::vector<uint8_t>;

class StDeviceTest : public CFakeDeviceTest {};

// --- Descriptor walks -------------------------------------------------------

enum class Walk { kCount, kInterface, kClass };

struct WalkCase {
  const char* name;
  Bytes configuration;
  Walk walk;
  uint32_t ordinal;
  uint32_t alternate;
  StatusCode status;
  Bytes expected;  // the count as one byte, or the bytes handed out (9)
};

const Bytes FUNCTIONAL = {9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01};
const Bytes NO_BYTES(9, 0);

Bytes InterfaceBytes(uint8_t number, uint8_t alternate, uint8_t stringIndex) {
  return {9, 0x04, number, alternate, 0, 0xFE, 0x01, 0x02, stringIndex};
}

Bytes FourAlternates() {
  return CConfigBuilder(1)
      .Interface(0, 0, 4)
      .Interface(0, 1, 5)
      .Interface(0, 2, 6)
      .Interface(0, 3, 7)
      .Functional()
      .Build();
}

std::vector<WalkCase> WalkCases() {
  Bytes padded9 = FUNCTIONAL;
  Bytes shortClass = {7, 0x21, 1, 2, 3, 4, 5, 0, 0};
  return {
      {"CountsFourAlternates", FourAlternates(), Walk::kCount, 0, 0, RESULT_OK, {4}},
      {"FindsThirdInterface", FourAlternates(), Walk::kInterface, 0, 2, RESULT_OK,
       InterfaceBytes(0, 2, 6)},
      {"FindsFirstInterface", FourAlternates(), Walk::kInterface, 0, 0, RESULT_OK,
       InterfaceBytes(0, 0, 4)},
      {"ClassAfterLastAlternate", FourAlternates(), Walk::kClass, 0, 3, RESULT_OK, FUNCTIONAL},
      {"ClassBehindAnotherInterface", FourAlternates(), Walk::kClass, 0, 2,
       DEV_ERR_BAD_DESCRIPTOR_LAYOUT, NO_BYTES},
      {"AlternateEqualToCount", FourAlternates(), Walk::kInterface, 0, 4, DEV_ERR_BAD_PARAMETER,
       NO_BYTES},
      {"OrdinalBeyondInterfaces", FourAlternates(), Walk::kCount, 1, 0, DEV_ERR_BAD_PARAMETER, {}},
      {"NoClassDescriptorLeavesZeros",
       CConfigBuilder(1).Interface(0, 0, 4).Functional().Interface(0, 1, 5).Build(), Walk::kClass,
       0, 1, RESULT_OK, NO_BYTES},
      {"OtherTypesAreSteppedOver",
       CConfigBuilder(1).Raw({5, 0x24, 1, 2, 3}).Interface(0, 0, 4).Raw({3, 0x22, 0}).Functional()
           .Build(),
       Walk::kClass, 0, 0, RESULT_OK, FUNCTIONAL},
      {"ShortClassDescriptorKeepsItsLength",
       CConfigBuilder(1).Interface(0, 0, 4).Raw({7, 0x21, 1, 2, 3, 4, 5}).Build(), Walk::kClass, 0,
       0, RESULT_OK, shortClass},
      {"ClassLongerThanNine",
       CConfigBuilder(1).Interface(0, 0, 4).Raw({10, 0x21, 0, 0, 0, 0, 0, 0, 0, 0}).Build(),
       Walk::kClass, 0, 0, DEV_ERR_DESCRIPTOR_TOO_LONG, NO_BYTES},
      {"LaterClassDescriptorIsIgnoredAfterTooLong",
       CConfigBuilder(1).Interface(0, 0, 4).Raw({10, 0x21, 0, 0, 0, 0, 0, 0, 0, 0}).Functional()
           .Build(),
       Walk::kClass, 0, 0, DEV_ERR_DESCRIPTOR_TOO_LONG, NO_BYTES},
      {"TooLongThenInterface",
       CConfigBuilder(1).Interface(0, 0, 4).Raw({10, 0x21, 0, 0, 0, 0, 0, 0, 0, 0})
           .Interface(0, 1, 5).Build(),
       Walk::kClass, 0, 0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, NO_BYTES},
      {"EndpointBeforeClass",
       CConfigBuilder(1).Interface(0, 0, 4).Endpoint().Functional().Build(), Walk::kClass, 0, 0,
       DEV_ERR_BAD_DESCRIPTOR_LAYOUT, NO_BYTES},
      {"SecondConfigurationInBlock",
       CConfigBuilder(1).Interface(0, 0, 4).Raw({9, 0x02, 0, 0, 1, 1, 0, 0x80, 50})
           .Interface(0, 1, 5).Build(),
       Walk::kCount, 0, 0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, {}},
      {"CountStopsAtNextInterface",
       CConfigBuilder(2).Interface(0, 0, 4).Interface(0, 1, 5).Interface(1, 0, 6).Build(),
       Walk::kCount, 0, 0, RESULT_OK, {2}},
      {"SecondInterfaceOrdinal",
       CConfigBuilder(2).Interface(0, 0, 4).Interface(1, 0, 5).Interface(1, 1, 6).Build(),
       Walk::kCount, 1, 0, RESULT_OK, {2}},
      // Malformed blocks: the walk neither loops nor leaves the block.
      {"ZeroLengthDescriptor", CConfigBuilder(1).Interface(0, 0, 4).Raw({0, 0x21}).Build(),
       Walk::kClass, 0, 0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, NO_BYTES},
      {"OneByteDescriptor", CConfigBuilder(1).Interface(0, 0, 4).Raw({1}).Build(), Walk::kCount, 0,
       0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, {}},
      {"DescriptorRunsPastTotalLength",
       CConfigBuilder(1).Interface(0, 0, 4).Functional().TotalLength(22).Build(), Walk::kClass, 0,
       0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, NO_BYTES},
      {"TotalLengthBeyondBlock", CConfigBuilder(1).Interface(0, 0, 4).TotalLength(513).Build(),
       Walk::kCount, 0, 0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, {}},
      {"ZeroLengthConfiguration", [] {
         Bytes b = CConfigBuilder(1).Interface(0, 0, 4).Build();
         b[0] = 0;
         return b;
       }(),
       Walk::kCount, 0, 0, DEV_ERR_BAD_DESCRIPTOR_LAYOUT, {}},
      {"ShortInterfaceDescriptor",
       CConfigBuilder(1).Interface(0, 0, 4).Raw({5, 0x04, 0, 1, 0}).Build(), Walk::kCount, 0, 0,
       DEV_ERR_BAD_DESCRIPTOR_LAYOUT, {}},
      {"WalkEndsExactlyAtFullBlock", [] {
         CConfigBuilder c(1);
         c.Interface(0, 0, 4);
         for (int i = 0; i < 98; ++i) c.Raw({5, 0x24, 0, 0, 0});
         c.Raw({4, 0x24, 0, 0});
         return c.TotalLength(512).Build();
       }(),
       Walk::kCount, 0, 0, RESULT_OK, {1}},
  };
}

class DescriptorWalkTest : public StDeviceTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(DescriptorWalkTest, AnswersFromBlockZero) {
  const WalkCase& c = GetParam();
  auto fake = backend->AddDevice("walk");
  fake->configurations = {c.configuration};
  CSTDevice device(PathOf("walk"));
  ASSERT_EQ(device.Open(), RESULT_OK);

  Bytes out(9, 0xAA);
  StatusCode status = 0;
  switch (c.walk) {
    case Walk::kCount: {
      uint32_t count = 0xDEAD;
      status = device.CountAlternateSettings(c.ordinal, &count);
      if (status == RESULT_OK) out = {static_cast<uint8_t>(count)};
      else out.clear();
      break;
    }
    case Walk::kInterface:
      status = device.FindInterfaceDescriptor(c.ordinal, c.alternate, out.data());
      break;
    case Walk::kClass:
      status = device.FindClassDescriptor(c.ordinal, c.alternate, out.data());
      break;
  }
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Walks, DescriptorWalkTest, ::testing::ValuesIn(WalkCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StDeviceTest, NoConfigurationOpensButRefusesEveryWalk) {
  auto fake = backend->AddDevice("noconfig");
  fake->deviceDescriptor = FakeDeviceDescriptor(0);
  CSTDevice device(PathOf("noconfig"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  uint32_t count = 0;
  Bytes out(9);
  EXPECT_EQ(device.CountAlternateSettings(0, &count), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(device.FindInterfaceDescriptor(0, 0, out.data()), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(device.FindClassDescriptor(0, 0, out.data()), DEV_ERR_BAD_PARAMETER);
}

TEST_F(StDeviceTest, ClosedDeviceAndNullBufferAreRefused) {
  CSTDevice device(PathOf("absent"));
  uint32_t count = 0;
  Bytes out(9, 0x55);
  std::string text;
  ControlRequestHeader header;
  EXPECT_EQ(device.CountAlternateSettings(0, &count), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(device.FindInterfaceDescriptor(0, 0, out.data()), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(device.FindClassDescriptor(0, 0, out.data()), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(device.ReadString(1, &text), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(device.SelectAlternate(0), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(device.SendControlRequest(&header, nullptr), DEV_ERR_NOT_OPEN);
  EXPECT_EQ(out, Bytes(9, 0x55));

  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  CSTDevice open(PathOf("dev"));
  ASSERT_EQ(open.Open(), RESULT_OK);
  EXPECT_EQ(open.FindClassDescriptor(0, 3, nullptr), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(open.SendControlRequest(nullptr, nullptr), DEV_ERR_BAD_PARAMETER);
}

// --- Open and descriptor reads ---------------------------------------------

TEST_F(StDeviceTest, OpenReadsDeviceAndEveryConfiguration) {
  auto fake = backend->AddDevice("dev");
  fake->deviceDescriptor = FakeDeviceDescriptor(2);
  fake->configurations = {FourAlternates(), CConfigBuilder(1).Build()};
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  EXPECT_TRUE(device.IsOpen());
  auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].code, IOCTL_DFU_GET_DEVICE_DESCRIPTOR);
  EXPECT_EQ(requests[0].outputSize, 18u);
  for (uint8_t i = 0; i < 2; ++i) {
    EXPECT_EQ(requests[1 + i].code, IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR);
    EXPECT_EQ(requests[1 + i].input, Bytes{i});
    EXPECT_EQ(requests[1 + i].outputSize, 512u);
  }

  // A second Open touches nothing.
  EXPECT_EQ(device.Open(), RESULT_OK);
  EXPECT_EQ(fake->Requests().size(), 3u);
  EXPECT_EQ(fake->OpenConnections(), 1);
}

TEST_F(StDeviceTest, FailedOpenLeavesNoConnection) {
  struct Case {
    const char* what;
    std::function<void(CFakeDevice&)> script;
    StatusCode status;
  };
  const Case cases[] = {
      {"refused", [](CFakeDevice& d) { d.refuseOpen = true; }, DEV_ERR_OPEN_FAILED},
      {"17-byte device descriptor", [](CFakeDevice& d) { d.deviceDescriptor.resize(17); },
       DEV_ERR_DESCRIPTOR_READ},
      {"missing configuration", [](CFakeDevice& d) { d.configurations.clear(); },
       DEV_ERR_DESCRIPTOR_READ},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fake = backend->AddDevice(c.what);
    fake->configurations = {FourAlternates()};
    c.script(*fake);
    CSTDevice device(PathOf(c.what));
    EXPECT_EQ(device.Open(), c.status);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(fake->OpenConnections(), 0);
  }
  CSTDevice nowhere("nowhere:0");
  EXPECT_EQ(nowhere.Open(), DEV_ERR_OPEN_FAILED);
}

TEST_F(StDeviceTest, ReopensAfterClose) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  device.Close();
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(fake->OpenConnections(), 0);
  ASSERT_EQ(device.Open(), RESULT_OK);
  uint32_t count = 0;
  EXPECT_EQ(device.CountAlternateSettings(0, &count), RESULT_OK);
  EXPECT_EQ(count, 4u);
}

// --- Strings ----------------------------------------------------------------

TEST_F(StDeviceTest, ReadStringSendsIndexAndEnglishLanguage) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  fake->strings[7] = FakeStringDescriptor("@Internal Flash  /0x08000000/04*016Kg");
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  std::string text;
  ASSERT_EQ(device.ReadString(0x107, &text), RESULT_OK);  // only the low byte is sent
  EXPECT_EQ(text, "@Internal Flash  /0x08000000/04*016Kg");
  FakeRequest last = fake->Requests().back();
  EXPECT_EQ(last.code, IOCTL_DFU_GET_STRING_DESCRIPTOR);
  EXPECT_EQ(last.input, (Bytes{7, 0x09, 0x04}));
  EXPECT_EQ(last.outputSize, 512u);
}

std::string ConsoleText(std::vector<uint16_t> units) {
  return Utf16ToConsoleText(units.data(), units.size());
}

TEST_F(StDeviceTest, ReadStringTextAndRefusals) {
  struct Case {
    const char* what;
    Bytes answer;
    StatusCode status;
    std::string text;
  };
  const Case cases[] = {
      {"stops at the first zero unit", {12, 3, 'A', 0, 'B', 0, 0, 0, 'C', 0}, RESULT_OK, "AB"},
      // Beyond ASCII the console's encoding decides.
      {"non-ASCII", {6, 3, 0xE9, 0x00, 0xAC, 0x20}, RESULT_OK, ConsoleText({0x00E9, 0x20AC})},
      {"empty text", {2, 3, 0}, RESULT_OK, ""},
      {"language table", {4, 3, 0x09, 0x04}, RESULT_OK, ConsoleText({0x0409})},
      {"not a string descriptor", {6, 2, 'A', 0, 'B', 0}, DEV_ERR_STRING_DESCRIPTOR, "keep"},
      {"two bytes only", {2, 3}, DEV_ERR_STRING_DESCRIPTOR, "keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fake = backend->AddDevice(c.what);
    fake->configurations = {FourAlternates()};
    fake->strings[1] = c.answer;
    CSTDevice device(PathOf(c.what));
    ASSERT_EQ(device.Open(), RESULT_OK);
    std::string text = "keep";
    EXPECT_EQ(device.ReadString(1, &text), c.status);
    EXPECT_EQ(text, c.text);
  }
}

TEST_F(StDeviceTest, FullStringWithoutTerminatorStaysInsideTheBuffer) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  Bytes answer = {0xFF, 3};
  for (int i = 0; i < 300; ++i) answer.insert(answer.end(), {'x', 0});  // more than 512 bytes
  fake->strings[1] = answer;
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  std::string text;
  ASSERT_EQ(device.ReadString(1, &text), RESULT_OK);
  EXPECT_EQ(text, std::string(255, 'x'));
}

// --- Alternate settings -----------------------------------------------------

TEST_F(StDeviceTest, SelectAlternateSendsConfigurationInterfaceAndSetting) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {CConfigBuilder(1, 1)
                              .Interface(0, 0, 4)
                              .Interface(0, 1, 5)
                              .Interface(0, 2, 6)
                              .Functional()
                              .Build()};
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  ASSERT_EQ(device.SelectAlternate(2), RESULT_OK);
  EXPECT_TRUE(device.IsOpen());
  auto requests = fake->Requests();
  // The descriptors are read again before the switch.
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[2].code, IOCTL_DFU_GET_DEVICE_DESCRIPTOR);
  EXPECT_EQ(requests[3].code, IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR);
  EXPECT_EQ(requests[4].code, IOCTL_DFU_SELECT_ALTERNATE_SETTING);
  EXPECT_EQ(requests[4].input, (Bytes{0, 0, 2}));
}

TEST_F(StDeviceTest, SelectAlternateOutOfRangeKeepsDeviceOpen) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  EXPECT_EQ(device.SelectAlternate(4), DEV_ERR_BAD_PARAMETER);
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(fake->Requests().back().code, IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR);
}

TEST_F(StDeviceTest, SelectAlternateFailuresAfterLookupCloseTheDevice) {
  struct Case {
    const char* what;
    std::function<void(CFakeDevice&)> script;
    StatusCode status;
  };
  const Case cases[] = {
      {"driver refuses", [](CFakeDevice& d) { d.refuseSelect = true; }, DEV_ERR_BAD_PARAMETER},
      {"re-read fails", [](CFakeDevice& d) { d.deviceDescriptor.resize(10); },
       DEV_ERR_DESCRIPTOR_READ},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fake = backend->AddDevice(c.what);
    fake->configurations = {FourAlternates()};
    CSTDevice device(PathOf(c.what));
    ASSERT_EQ(device.Open(), RESULT_OK);
    c.script(*fake);
    EXPECT_EQ(device.SelectAlternate(1), c.status);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(fake->OpenConnections(), 0);
    uint32_t count = 0;
    EXPECT_EQ(device.CountAlternateSettings(0, &count), DEV_ERR_NOT_OPEN);
  }
}

// --- Control transfers ------------------------------------------------------

TEST_F(StDeviceTest, ControlRequestWireLayout) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  fake->control = [](const ControlRequestHeader& h, const Bytes&, Bytes* reply) {
    if (h.direction == CONTROL_DIRECTION_DEVICE_TO_HOST) *reply = {1, 2, 3};
    return true;
  };
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  size_t before = fake->Requests().size();

  ControlRequestHeader out;
  out.direction = CONTROL_DIRECTION_HOST_TO_DEVICE;
  out.request = 1;
  out.value = 0x1234;
  out.index = 0x0056;
  out.length = 4;
  uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(device.SendControlRequest(&out, data), RESULT_OK);

  ControlRequestHeader noData = out;
  noData.length = 0;
  EXPECT_EQ(device.SendControlRequest(&noData, nullptr), RESULT_OK);

  ControlRequestHeader in = out;
  in.direction = CONTROL_DIRECTION_DEVICE_TO_HOST;
  in.length = 3;
  uint8_t buffer[3] = {9, 9, 9};
  EXPECT_EQ(device.SendControlRequest(&in, buffer), RESULT_OK);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));

  auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), before + 3);
  const Bytes header = {0x1B, 0x00, 0, 0, 0, 0, 0, 0, 1, 0, 0x34, 0x12, 0x56, 0x00, 0, 0, 4, 0, 0, 0};
  Bytes expected = header;
  expected.insert(expected.end(), data, data + 4);
  EXPECT_EQ(requests[before].code, IOCTL_DFU_CONTROL_REQUEST);
  EXPECT_EQ(requests[before].input, expected);
  EXPECT_EQ(requests[before].outputSize, 0u);

  Bytes headerOnly = header;
  headerOnly[16] = 0;
  EXPECT_EQ(requests[before + 1].input, headerOnly);  // the 20-byte header alone

  Bytes toHost = header;
  toHost[4] = 1;
  toHost[16] = 3;
  toHost.insert(toHost.end(), 3, 0);  // zeros where the data stage would go
  EXPECT_EQ(requests[before + 2].input, toHost);
  EXPECT_EQ(requests[before + 2].outputSize, 3u);
}

TEST_F(StDeviceTest, ControlRequestFailures) {
  auto fake = backend->AddDevice("dev");
  fake->configurations = {FourAlternates()};
  CSTDevice device(PathOf("dev"));
  ASSERT_EQ(device.Open(), RESULT_OK);
  ControlRequestHeader in;
  in.direction = CONTROL_DIRECTION_DEVICE_TO_HOST;
  in.length = 6;
  uint8_t buffer[6] = {};

  fake->control = [](const ControlRequestHeader&, const Bytes&, Bytes* reply) {
    reply->resize(5);  // one byte short
    return true;
  };
  EXPECT_EQ(device.SendControlRequest(&in, buffer), DEV_ERR_SHORT_ANSWER);

  fake->control = [](const ControlRequestHeader&, const Bytes&, Bytes*) { return false; };
  EXPECT_EQ(device.SendControlRequest(&in, buffer), DEV_ERR_CONTROL_TRANSFER);

  size_t before = fake->Requests().size();
  EXPECT_EQ(device.SendControlRequest(&in, nullptr), DEV_ERR_BAD_PARAMETER);
  in.length = 0x10000;  // beyond a setup packet's wLength
  EXPECT_EQ(device.SendControlRequest(&in, buffer), DEV_ERR_BAD_PARAMETER);
  EXPECT_EQ(fake->Requests().size(), before);
}

}  // namespace
