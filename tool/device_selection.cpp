#include "tool/device_selection.h"

#include <cstdio>

#include "platform/driver_port.h"
#include "platform/files.h"
#include "tool/exit_code.h"
#include "tool/tool_text.h"

namespace {

std::string Summary(const DfuDeviceInfo& device) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "%04x:%04x", device.vendorId, device.productId);
  std::string line = "  " + ShownText(device.path);
  if (device.opened) {
    line += std::string("  ") + ids;
    if (!device.serial.empty()) line += "  serial " + ShownText(device.serial);
  } else {
    line += device.openStatus == DEV_ERR_IN_USE ? "  (in use by another program)"
                                                : "  (cannot be opened)";
  }
  if (!device.dfuMode) line += "  (running its application)";
  return line;
}

bool HasSelectors(const ToolOptions& options) {
  return options.devicePath || options.serial || options.vendorId;
}

}  // namespace

bool MatchesSelectors(const DfuDeviceInfo& device, const ToolOptions& options) {
  if (options.devicePath && !DriverPathNamedBy(device.path, *options.devicePath)) return false;
  // A device that cannot be opened tells neither its serial nor its IDs.
  if (options.serial && (!device.opened || device.serial != *options.serial)) return false;
  if (options.vendorId && (!device.opened || device.vendorId != *options.vendorId)) return false;
  if (options.productId && (!device.opened || device.productId != *options.productId)) {
    return false;
  }
  return true;
}

std::string OpenRefusalText(const DfuDeviceInfo& device) {
  if (device.opened || device.openStatus != DEV_ERR_ACCESS_DENIED) return "";
  return ": permission denied" + (device.deniedNode.empty() ? "" : " on " + device.deniedNode);
}

std::string OpenFailureHint(const DfuDeviceInfo* denied) {
#if defined(_WIN32)
  (void)denied;
  return "The device may have no usable driver or be held by another program: in the Device "
         "Manager, make its DFU interface use WinUSB or the DFU driver (Update driver), as the "
         "README says, and close other DFU programs.";
#else
  if (denied == nullptr) {
    return "The system did not refuse access to the device, yet it did not open: another "
           "program may hold it, or it left the bus or stopped answering. Close other DFU "
           "programs, replug it and try again.";
  }
  // Where packages and installs put the rule, and where an administrator does.
  static const char* const RULE_FOLDERS[] = {"/usr/lib/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                             "/lib/udev/rules.d", "/etc/udev/rules.d"};
  std::string rule;
  for (const char* folder : RULE_FOLDERS) {
    const std::string path = std::string(folder) + "/50-zuva-dfu.rules";
    if (rule.empty() && PlatformPathExists(path)) rule = path;
  }
  const std::string join =
      "join its group with\n"
      "  sudo usermod -aG plugdev $USER\n"
      "and log in again: the group applies from a new login only (log out and in, or "
      "reboot). Then replug the device.";
  if (rule.empty()) {
    return "The udev rule that gives access to DFU devices (50-zuva-dfu.rules) is not installed. "
           "The zuva package puts it in /usr/lib/udev/rules.d; without the package, copy it "
           "from the README to /etc/udev/rules.d and run\n"
           "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
           "Then " + join;
  }
  return "The udev rule " + rule + " gives DFU devices to the plugdev group (and to the user "
         "at the machine's own screen); " + join;
#endif
}

std::string InUseHint() {
  return "Another program is working with the device (another zuvatool, ZUVA or a DFU tool): "
         "let it finish, or close it, and try again.";
}

SelectionOutcome ClaimOutcome(const DfuDeviceInfo& device, StatusCode claimed) {
  SelectionOutcome outcome;
  if (claimed != DEV_ERR_IN_USE) return outcome;
  outcome.exitCode = TOOL_EXIT_CANNOT_OPEN;
  outcome.message = "the device " + ShownText(device.path) + " is in use by another program";
  outcome.hint = InUseHint();
  return outcome;
}

void ExplainUnusableFunctions(const std::vector<UnusableDfuFunction>& functions,
                              SelectionOutcome* outcome) {
  if (functions.empty() || outcome->exitCode != TOOL_EXIT_NO_DEVICE) return;
  outcome->exitCode = TOOL_EXIT_CANNOT_OPEN;
  outcome->message = "a DFU device is present but has a driver that zuvatool cannot use:";
  for (const UnusableDfuFunction& function : functions) {
    outcome->message += "\n  " + function.instanceId;
    if (!function.description.empty()) outcome->message += "  " + ShownText(function.description);
    outcome->message +=
        "  driver: " + (function.driver.empty() ? std::string("(none)") : function.driver);
  }
  outcome->hint =
      "Bind WinUSB (or the DFU driver) to it: in the Device Manager, Update driver > Browse my "
      "computer > Let me pick, and choose WinUSB, or run `pnputil /add-driver <the driver's "
      ".inf> /install` as administrator; then replug the device. A device bound to libusbK by "
      "another tool must be switched back this way.";
}

SelectionOutcome SelectDevice(const std::vector<DfuDeviceInfo>& devices, const ToolOptions& options,
                              bool dfuMode) {
  SelectionOutcome outcome;
  std::vector<const DfuDeviceInfo*> matches;
  bool otherModeMatches = false;
  bool unopenedPresent = false;
  bool unopenedAllInUse = true;
  const DfuDeviceInfo* denied = nullptr;  // the first one the system refused access to
  for (const DfuDeviceInfo& device : devices) {
    if (!device.opened) {
      unopenedPresent = true;
      if (device.openStatus != DEV_ERR_IN_USE) unopenedAllInUse = false;
      if (denied == nullptr && device.openStatus == DEV_ERR_ACCESS_DENIED) denied = &device;
    }
    if (!MatchesSelectors(device, options)) continue;
    if (device.dfuMode == dfuMode) {
      matches.push_back(&device);
    } else {
      otherModeMatches = true;
    }
  }
  if (matches.empty()) {
    if (unopenedPresent && !options.devicePath) {
      outcome.exitCode = TOOL_EXIT_CANNOT_OPEN;
      if (unopenedAllInUse) {
        outcome.message = "a DFU device is present but in use by another program";
        outcome.hint = InUseHint();
      } else {
        outcome.message = denied != nullptr
                              ? "the DFU device " + ShownText(denied->path) + " cannot be opened" +
                                    OpenRefusalText(*denied)
                              : "a DFU device is present but cannot be opened";
        outcome.hint = OpenFailureHint(denied);
      }
      return outcome;
    }
    outcome.exitCode = TOOL_EXIT_NO_DEVICE;
    outcome.message = HasSelectors(options) ? "no DFU device matches" : "no DFU device found";
    // What is there shows what the selectors should have said.
    if (!devices.empty()) {
      outcome.message += "; present:";
      for (const DfuDeviceInfo& device : devices) outcome.message += "\n" + Summary(device);
    }
    if (otherModeMatches) {
      outcome.hint = dfuMode ? "A matching device runs its application: `zuvatool detach` "
                               "switches it to DFU mode (`zuvatool flash FILE --detach` "
                               "detaches and flashes it in one command)."
                             : "A matching device is already in DFU mode.";
    } else if (options.vendorId && !devices.empty()) {
      // Scripts once gave the IDs in decimal.
      outcome.hint = "--vid and --pid are read as hexadecimal, as list shows them (0483:df11).";
    }
    return outcome;
  }
  if (matches.size() > 1) {
    outcome.exitCode = TOOL_EXIT_AMBIGUOUS;
    outcome.message = std::to_string(matches.size()) +
                      " devices match; choose one with --device, --serial or --vid/--pid:";
    for (const DfuDeviceInfo* device : matches) outcome.message += "\n" + Summary(*device);
    return outcome;
  }
  outcome.device = *matches.front();
  if (!outcome.device.opened && outcome.device.openStatus == DEV_ERR_IN_USE) {
    return ClaimOutcome(outcome.device, DEV_ERR_IN_USE);
  }
  if (!outcome.device.opened) {
    outcome.exitCode = TOOL_EXIT_CANNOT_OPEN;
    outcome.message = "the device " + ShownText(outcome.device.path) + " cannot be opened" +
                      OpenRefusalText(outcome.device);
    outcome.hint = OpenFailureHint(
        outcome.device.openStatus == DEV_ERR_ACCESS_DENIED ? &outcome.device : nullptr);
  }
  return outcome;
}

SelectionOutcome SelectDevices(const std::vector<DfuDeviceInfo>& devices,
                               const ToolOptions& options, bool dfuMode,
                               std::vector<DfuDeviceInfo>* chosen) {
  chosen->clear();
  for (const DfuDeviceInfo& device : devices) {
    if (device.dfuMode == dfuMode && MatchesSelectors(device, options)) chosen->push_back(device);
  }
  if (chosen->empty()) return SelectDevice(devices, options, dfuMode);
  return {};
}
