#include "tool/device_choice.h"

#include <string>
#include <utility>

#include "protocol/dfu.h"
#include "tool/device_selection.h"
#include "tool/exit_code.h"

namespace {

// False, with the failure reported, when the selection found nothing usable.
bool SelectionSucceeded(const ToolOptions& options, const std::vector<DfuDeviceInfo>& devices,
                        SelectionOutcome* outcome, CToolOutput* out, int* exitCode) {
  if (outcome->exitCode == TOOL_EXIT_NO_DEVICE && !options.devicePath) {
    std::vector<std::string> paths;
    for (const DfuDeviceInfo& listed : devices) paths.push_back(listed.path);
    ExplainUnusableFunctions(SurveyUnusableDfuFunctions(paths), outcome);
  }
  if (outcome->exitCode == TOOL_EXIT_OK) return true;
  *exitCode = out->Result(outcome->exitCode, outcome->message, outcome->hint);
  return false;
}

}  // namespace

bool ChooseDevice(const ToolOptions& options, CToolOutput* out, bool dfuMode, DfuDeviceInfo* device,
                  int* exitCode, CDeviceClaim* claim) {
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  SelectionOutcome outcome = SelectDevice(devices, options, dfuMode);
  if (!SelectionSucceeded(options, devices, &outcome, out, exitCode)) return false;
  // Claimed before the first request of the command, and kept until its end.
  const SelectionOutcome claimed =
      ClaimOutcome(outcome.device, claim->Take(outcome.device.path, outcome.device.interfaceNumber));
  if (claimed.exitCode != TOOL_EXIT_OK) {
    *exitCode = out->Result(claimed.exitCode, claimed.message, claimed.hint);
    return false;
  }
  *device = std::move(outcome.device);
  out->Device(*device);
  return true;
}

bool ChooseDevices(const ToolOptions& options, CToolOutput* out, bool dfuMode,
                   std::vector<DfuDeviceInfo>* chosen, int* exitCode) {
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  SelectionOutcome outcome = SelectDevices(devices, options, dfuMode, chosen);
  return SelectionSucceeded(options, devices, &outcome, out, exitCode);
}

std::string UnreadMemoryMapText(const DfuDeviceInfo& device, uint8_t alternate) {
  for (const DfuAlternateInfo& info : device.alternates) {
    if (info.alternateSetting == alternate && info.nameUnread) {
      return "the device did not answer the request for the interface string of alternate setting " +
             std::to_string(alternate) + ", which carries its memory map";
    }
  }
  return {};
}

std::string DfuSeDownloadRefusal(const DfuDeviceInfo& device) {
  if ((device.attributes & DFU_ATTR_CAN_DNLOAD) != 0) return {};
  return "the device does not take downloads (its DFU functional descriptor does not set "
         "bitCanDnload), and every DfuSe command, the address a read starts at included, "
         "travels as one: nothing is asked of it";
}
