#include "tool/device_detach.h"

#include <utility>
#include <vector>

#include "common/operation_code.h"
#include "device/device_claim.h"
#include "operations/operation_context.h"
#include "tool/device_choice.h"
#include "tool/device_selection.h"
#include "tool/engine_run.h"
#include "tool/engine_step.h"
#include "tool/exit_code.h"

ModeMatches FindModeMatches(const ToolOptions& options) {
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  ModeMatches matches;
  for (DfuDeviceInfo& device : devices) {
    if (!MatchesSelectors(device, options)) continue;
    if (device.dfuMode) {
      matches.inDfuMode.push_back(std::move(device));
    } else {
      matches.inApplication = true;
    }
  }
  return matches;
}

DetachOutcome DetachToDfuMode(const DfuDeviceInfo& device, CToolOutput* out) {
  // A device that does not detach by itself waits for the USB reset that
  // OP_CODE_DETACH_RESET sends after DFU_DETACH.
  OperationContext final{};
  const StatusCode status = RunEngineStep(
      {.name = "detach", .opCode = OP_CODE_DETACH_RESET, .noteLongWait = false, .final = &final},
      device.path, out);
  if (status == TOOL_INTERRUPTED) {
    return {TOOL_EXIT_FAILED, "detach interrupted: the device may still be in application mode", {}, {}};
  }
  if (status == DEV_ERR_RESET_UNSUPPORTED) {
    return {TOOL_EXIT_FAILED,
            "detach failed: the device waits for a USB reset to enter DFU mode, and " + StatusText(status),
            "unplug the device and plug it in again", {}};
  }
  if (status != RESULT_OK) return {TOOL_EXIT_FAILED, "detach failed: " + StatusText(status), {}, {}};
  return {TOOL_EXIT_OK, "the device is in DFU mode", {}, final.devicePath};
}

bool DetachBeforeFlash(const ToolOptions& options, CToolOutput* out, ToolOptions* afterwards,
                       int* exitCode) {
  *afterwards = options;
  // A board already in DFU mode is flashed as it is; without any board the
  // flash's own choice says what is missing.
  const ModeMatches matches = FindModeMatches(options);
  if (!matches.inDfuMode.empty() || !matches.inApplication) return true;
  DfuDeviceInfo application;
  DetachOutcome detached;
  {
    CDeviceClaim claim;
    if (!ChooseDevice(options, out, false, &application, exitCode, &claim)) return false;
    detached = DetachToDfuMode(application, out);
  }
  if (detached.exitCode != TOOL_EXIT_OK) {
    *exitCode = out->Result(detached.exitCode, detached.message, detached.hint);
    return false;
  }
  out->Note("detached " + application.path + ": back in DFU mode as " + detached.path);
  afterwards->devicePath = detached.path;
  afterwards->serial.reset();
  afterwards->vendorId.reset();
  afterwards->productId.reset();
  return true;
}
