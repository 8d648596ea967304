// Choosing the one device a command works on from the present DFU devices,
// by path, serial number or vendor and product ID. Several matches are
// refused rather than guessed at: serial numbers are not always unique.
#ifndef ZUVA_TOOL_DEVICE_SELECTION_H_
#define ZUVA_TOOL_DEVICE_SELECTION_H_

#include <string>
#include <vector>

#include "device/device_listing.h"
#include "platform/usb_driver_survey.h"
#include "tool/tool_options.h"

struct SelectionOutcome {
  int exitCode = 0;  // 0: `device` is the one
  DfuDeviceInfo device;
  std::string message;
  std::string hint;
};

// Picks among `devices` the one in the wanted mode (DFU mode, or application
// mode for detach) that the options' selectors match. Exit codes: 4 when
// none matches, 5 with the matches listed in the message when several do,
// 6 when the match (or, without a usable match, a device present) cannot be
// opened, with the platform's hint, or is in use by another program.
SelectionOutcome SelectDevice(const std::vector<DfuDeviceInfo>& devices, const ToolOptions& options,
                              bool dfuMode);

// Every device in the wanted mode that the selectors match, in listing
// order, for a command that works on all of them; one that cannot be opened
// is among them. Without any, the outcome that SelectDevice gives (4 or 6,
// with its hints); else exit code 0 and *chosen holds them.
SelectionOutcome SelectDevices(const std::vector<DfuDeviceInfo>& devices,
                               const ToolOptions& options, bool dfuMode,
                               std::vector<DfuDeviceInfo>* chosen);

// Whether a device satisfies every selector given.
bool MatchesSelectors(const DfuDeviceInfo& device, const ToolOptions& options);

// When no device matched: DFU functions that are present but bound to a
// driver this program cannot use make it exit 6 (naming each one's driver
// and saying how to change it) instead of 4; without any, `outcome` stays.
void ExplainUnusableFunctions(const std::vector<UnusableDfuFunction>& functions,
                              SelectionOutcome* outcome);

// What the system said when the device did not open, to follow "cannot be
// opened": ": permission denied on /dev/bus/usb/001/004" for a device the
// system refused access to, else empty.
std::string OpenRefusalText(const DfuDeviceInfo& device);

// What to do when a present device cannot be opened, for this platform. On
// Linux, for a device the system refused access to (`denied`): where the
// udev rule is (or that it is missing and how to install it), the command
// that joins its group, and that a new login is needed; without one, that
// permissions are not the cause.
std::string OpenFailureHint(const DfuDeviceInfo* denied);

// What to do when another program holds the device.
std::string InUseHint();

// The outcome of claiming the chosen `device` for the command (CDeviceClaim):
// exit code 6, naming the device, when another program holds it; else exit
// code 0, the command going on (where nothing could be claimed for another
// reason, its operations meet and report that reason themselves).
SelectionOutcome ClaimOutcome(const DfuDeviceInfo& device, StatusCode claimed);

#endif  // ZUVA_TOOL_DEVICE_SELECTION_H_
