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
    // Nothing says the system refused access: the hint does not send the
    // user after permissions.
    EXPECT_NE(outcome.hint.find("did not refuse access"), std::string::npos) << outcome.hint;
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
        SelectCase{"BusPortLocation",
                   {Device("usb:1-4.2", "", 0xDF11), Device("usb:1-4", "", 0xDF11)},
                   ByPath("1-4"),
                   true,
                   TOOL_EXIT_OK,
                   "usb:1-4"},
        SelectCase{"BusPortLocationOfNoDevice",
                   {Device("usb:1-4.2", "", 0xDF11), Device("sim:1-4", "", 0xDF11)},
                   ByPath("1-4"),
                   true,
                   TOOL_EXIT_NO_DEVICE,
                   ""},
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

// A device the system refused access to is named with the file that was
// refused, and the hint says how to get access: the rule, the command that
// joins its group, and the new login that the group needs.
TEST(AccessDenied, SaysWhatTheSystemRefusedAndHowToGetAccess) {
  DfuDeviceInfo denied = Device("usb:1-4", "", 0, true, false);
  denied.openStatus = DEV_ERR_ACCESS_DENIED;
  denied.deniedNode = "/dev/bus/usb/001/004";
  for (const ToolOptions& options : {ToolOptions{}, ByPath("usb:1-4")}) {
    const SelectionOutcome outcome = SelectDevice({denied}, options, true);
    EXPECT_EQ(outcome.exitCode, TOOL_EXIT_CANNOT_OPEN);
    EXPECT_NE(outcome.message.find("usb:1-4 cannot be opened: permission denied on "
                                   "/dev/bus/usb/001/004"),
              std::string::npos)
        << outcome.message;
#if !defined(_WIN32)
    EXPECT_NE(outcome.hint.find("sudo usermod -aG plugdev $USER"), std::string::npos)
        << outcome.hint;
    EXPECT_NE(outcome.hint.find("new login"), std::string::npos) << outcome.hint;
    // The rule where it is installed, or how to install it.
    EXPECT_TRUE(outcome.hint.find("/50-zuva-dfu.rules gives DFU devices") != std::string::npos ||
                outcome.hint.find("is not installed") != std::string::npos)
        << outcome.hint;
    EXPECT_EQ(outcome.hint.find("If this is"), std::string::npos) << outcome.hint;
#endif
  }
}

// Nothing matching is refused with what is there, so that the user sees what
// the selectors should have said.
TEST(NoMatch, ListsThePresentDevices) {
  const std::vector<DfuDeviceInfo> present = {Device("usb:1-1", "A1", 0xDF11),
                                              Device("usb:1-2", "A2", 0x5740, false)};
  const SelectionOutcome outcome = SelectDevice(present, ByIds(0x1155, 0xDF11), true);
  EXPECT_EQ(outcome.exitCode, TOOL_EXIT_NO_DEVICE);
  EXPECT_EQ(outcome.message,
            "no DFU device matches; present:\n"
            "  usb:1-1  0483:df11  serial A1\n"
            "  usb:1-2  0483:5740  serial A2  (running its application)");
  EXPECT_NE(outcome.hint.find("hexadecimal"), std::string::npos) << outcome.hint;
  EXPECT_EQ(SelectDevice({}, ByIds(0x1155, 0xDF11), true).message, "no DFU device matches");
}

// A device that another program holds is exit code 6 in words that say so,
// whether the listing could not open it (a transport with one handle per
// device) or the command's claim was refused; a claim refused for another
// reason lets the command go on to meet that reason itself.
TEST(InUse, AHeldDeviceIsRefusedAsInUseByAnotherProgram) {
  DfuDeviceInfo held = Device("usb:1-1", "", 0, true, false);
  held.openStatus = DEV_ERR_IN_USE;
  DfuDeviceInfo denied = Device("usb:1-2", "", 0, true, false);
  denied.openStatus = DEV_ERR_OPEN_FAILED;
  const DfuDeviceInfo open = Device("usb:1-3", "SIM0001", 0xDF11);
  struct Case {
    const char* name;
    SelectionOutcome outcome;
    int exitCode;
    const char* words;
    bool inUseHint;
  } cases[] = {
      {"listed held, chosen by path", SelectDevice({held, open}, ByPath("usb:1-1"), true),
       TOOL_EXIT_CANNOT_OPEN, "the device usb:1-1 is in use by another program", true},
      {"only held ones unopened", SelectDevice({held}, BySerial("X"), true), TOOL_EXIT_CANNOT_OPEN,
       "a DFU device is present but in use by another program", true},
      {"one unopened for another reason", SelectDevice({held, denied}, BySerial("X"), true),
       TOOL_EXIT_CANNOT_OPEN, "a DFU device is present but cannot be opened", false},
      {"claim refused as held", ClaimOutcome(open, DEV_ERR_IN_USE), TOOL_EXIT_CANNOT_OPEN,
       "the device usb:1-3 is in use by another program", true},
      {"claim taken", ClaimOutcome(open, RESULT_OK), TOOL_EXIT_OK, "", false},
      {"claim failed otherwise", ClaimOutcome(open, DEV_ERR_OPEN_FAILED), TOOL_EXIT_OK, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.outcome.exitCode, c.exitCode);
    EXPECT_EQ(c.outcome.message, c.words);
    EXPECT_EQ(c.outcome.hint == InUseHint(), c.inUseHint) << c.outcome.hint;
  }
}

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
