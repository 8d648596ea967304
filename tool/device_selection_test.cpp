#include "tool/device_selection.h"

#include <gtest/gtest.h>

#include "tool/exit_code.h"

namespace {

DfuDeviceInfo Device(const char* path, const char* serial, uint16_t pid, bool dfuMode = true,
                     bool opened = true) {
  DfuDeviceInfo device;
  device.path = path;
  device.serial = serial;
  device.vendorId = 0x0483;
  device.productId = pid;
  device.dfuMode = dfuMode;
  device.opened = opened;
  return device;
}

struct SelectCase {
  const char* name;
  std::vector<DfuDeviceInfo> devices;
  ToolOptions options;
  bool dfuMode;
  int exitCode;
  const char* chosen;  // path, when exitCode is 0
};

ToolOptions BySerial(const char* serial) {
  ToolOptions o;
  o.serial = serial;
  return o;
}
ToolOptions ByPath(const char* path) {
  ToolOptions o;
  o.devicePath = path;
  return o;
}
ToolOptions ByIds(uint16_t vid, uint16_t pid) {
  ToolOptions o;
  o.vendorId = vid;
  o.productId = pid;
  return o;
}

class SelectDeviceCases : public testing::TestWithParam<SelectCase> {};

TEST_P(SelectDeviceCases, ChoosesOrRefuses) {
  const SelectCase& c = GetParam();
  const SelectionOutcome outcome = SelectDevice(c.devices, c.options, c.dfuMode);
  EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.message;
  if (c.exitCode == TOOL_EXIT_OK) {
    EXPECT_EQ(outcome.device.path, c.chosen);
  }
  if (c.exitCode == TOOL_EXIT_CANNOT_OPEN) {
    // The refusal says what to do about it.
#if defined(_WIN32)
    EXPECT_NE(outcome.hint.find("WinUSB"), std::string::npos) << outcome.hint;
#else
    EXPECT_NE(outcome.hint.find("50-zuva-dfu.rules"), std::string::npos) << outcome.hint;
#endif
  }
  if (c.exitCode == TOOL_EXIT_AMBIGUOUS) {
    for (const DfuDeviceInfo& d : c.devices) {
      if (MatchesSelectors(d, c.options)) {
        EXPECT_NE(outcome.message.find(d.path), std::string::npos);
      }
    }
  }
}

const std::vector<DfuDeviceInfo> TWO_SAME_SERIAL = {Device("sim:1", "ZUVA00000001", 0xDF11),
                                                    Device("sim:2", "ZUVA00000001", 0xDF11)};
const std::vector<DfuDeviceInfo> THREE = {Device("sim:1", "SIM0001", 0xDF11),
                                          Device("sim:2", "SIM0002", 0xDF12),
                                          Device("sim:3", "SIM0003", 0xDF12)};

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectDeviceCases,
    testing::Values(
        SelectCase{"NoDevice", {}, {}, true, TOOL_EXIT_NO_DEVICE, ""},
        SelectCase{"TheOnlyDevice", {Device("sim:1", "", 0xDF11)}, {}, true, TOOL_EXIT_OK, "sim:1"},
        SelectCase{"SeveralWithoutSelector", THREE, {}, true, TOOL_EXIT_AMBIGUOUS, ""},
        SelectCase{"BySerial", THREE, BySerial("SIM0002"), true, TOOL_EXIT_OK, "sim:2"},
        SelectCase{"SerialSharedIsAmbiguous", TWO_SAME_SERIAL, BySerial("ZUVA00000001"), true,
                   TOOL_EXIT_AMBIGUOUS, ""},
        SelectCase{"PathSeparatesSharedSerials", TWO_SAME_SERIAL, ByPath("sim:2"), true,
                   TOOL_EXIT_OK, "sim:2"},
        SelectCase{"IdsMatchingTwo", THREE, ByIds(0x0483, 0xDF12), true, TOOL_EXIT_AMBIGUOUS, ""},
        SelectCase{"IdsMatchingOne", THREE, ByIds(0x0483, 0xDF11), true, TOOL_EXIT_OK, "sim:1"},
        SelectCase{"SerialMatchingNone", THREE, BySerial("nope"), true, TOOL_EXIT_NO_DEVICE, ""},
        SelectCase{"WrongModeIsNoMatch",
                   {Device("sim:1", "", 0xDF11, false)},
                   {},
                   true,
                   TOOL_EXIT_NO_DEVICE,
                   ""},
        SelectCase{"DetachWantsApplicationMode",
                   {Device("sim:1", "", 0xDF11, true), Device("sim:2", "", 0xDF11, false)},
                   {},
                   false,
                   TOOL_EXIT_OK,
                   "sim:2"},
        SelectCase{"UnopenedMatch",
                   {Device("usb:1", "", 0, true, false)},
                   {},
                   true,
                   TOOL_EXIT_CANNOT_OPEN,
                   ""},
        // A serial cannot be read from a device that does not open; that it
        // is there is still worth saying.
        SelectCase{"SerialWithOnlyUnopenedPresent",
                   {Device("usb:1", "", 0, true, false)},
                   BySerial("SIM0001"),
                   true,
                   TOOL_EXIT_CANNOT_OPEN,
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExplainUnusableFunctions, NamesEachDriverAndHowToChangeIt) {
  SelectionOutcome outcome;
  outcome.exitCode = TOOL_EXIT_NO_DEVICE;
  ExplainUnusableFunctions({{"Board A", "USB\\VID_0483&PID_DF11\\1", "WinUSB"},
                            {"", "USB\\VID_1209&PID_0001\\2", ""}},
                           &outcome);
  EXPECT_EQ(outcome.exitCode, TOOL_EXIT_CANNOT_OPEN);
  EXPECT_NE(outcome.message.find("USB\\VID_0483&PID_DF11\\1  Board A  driver: WinUSB"),
            std::string::npos)
      << outcome.message;
  EXPECT_NE(outcome.message.find("USB\\VID_1209&PID_0001\\2  driver: (none)"), std::string::npos)
      << outcome.message;
  EXPECT_NE(outcome.hint.find("Update driver"), std::string::npos);
  // Nothing unusable present: "no device" stays what it is.
  SelectionOutcome none;
  none.exitCode = TOOL_EXIT_NO_DEVICE;
  ExplainUnusableFunctions({}, &none);
  EXPECT_EQ(none.exitCode, TOOL_EXIT_NO_DEVICE);
}

}  // namespace
