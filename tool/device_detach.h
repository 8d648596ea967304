// Bringing a device that runs its application into DFU mode: the detach
// command's work, and flash --detach's first step.
#ifndef ZUVA_TOOL_DEVICE_DETACH_H_
#define ZUVA_TOOL_DEVICE_DETACH_H_

#include <string>
#include <vector>

#include "device/device_listing.h"
#include "tool/tool_options.h"
#include "tool/tool_output.h"

struct DetachOutcome {
  int exitCode = 0;  // 0: the device is back in DFU mode at `path`
  std::string message;
  std::string hint;
  std::string path;
};

// The devices the selectors match, by mode: those in DFU mode (in listing
// order) and whether any runs its application.
struct ModeMatches {
  std::vector<DfuDeviceInfo> inDfuMode;
  bool inApplication = false;
};
ModeMatches FindModeMatches(const ToolOptions& options);

// DETACH to `device` (in application mode, claimed by the caller), a USB
// reset where the device does not detach by itself, and the wait for its
// return in DFU mode, shown as the step "detach". Exit code 1 with the
// reason when it does not come back, or cannot be reset here.
DetachOutcome DetachToDfuMode(const DfuDeviceInfo& device, CToolOutput* out);

// flash --detach: when the selection matches no device in DFU mode but one
// that runs its application, that one is detached and *afterwards selects
// the device it became (by its new path: in DFU mode a board may show other
// IDs). Else *afterwards is `options`. False with the exit code reported in
// *exitCode when the device cannot be chosen or does not come back.
bool DetachBeforeFlash(const ToolOptions& options, CToolOutput* out, ToolOptions* afterwards,
                       int* exitCode);

#endif  // ZUVA_TOOL_DEVICE_DETACH_H_
