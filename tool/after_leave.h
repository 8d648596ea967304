// What became of a DfuSe device after it left the bus at the leave request:
// a board whose application starts is not seen again in DFU mode (it may
// show up running its application, with a run-time DFU interface); a board
// that finds no valid application comes straight back in DFU mode.
#ifndef ZUVA_TOOL_AFTER_LEAVE_H_
#define ZUVA_TOOL_AFTER_LEAVE_H_

#include <chrono>
#include <string>
#include <vector>

#include "device/device_listing.h"

// How long a board is given to reset and show up again, and how long a DFU
// interface that came back must stay before it counts (a board may show it
// for a moment before its application starts).
constexpr auto TOOL_LEAVE_SETTLE_TIME = std::chrono::milliseconds(3000);
constexpr auto TOOL_LEAVE_CONFIRM_TIME = std::chrono::milliseconds(1000);

// The interface paths present now, DFU and run-time ones, to tell a device
// that appears later from the others. Asks the platform's listing only.
std::vector<std::string> PresentInterfacePaths();

struct AfterLeave {
  enum class Where { kNotSeen, kDfuMode, kApplication };
  Where where = Where::kNotSeen;
  std::string path;  // where it was seen
};

// Watches for `device` (by VID, PID and serial; in application mode by VID
// and serial) at a path not in `before`, its own old path aside, for up to
// `settle` after it left the bus. A DFU interface must still be listed
// `confirm` after it was found.
AfterLeave WatchAfterLeave(const DfuDeviceInfo& device, const std::vector<std::string>& before,
                           std::chrono::milliseconds settle, std::chrono::milliseconds confirm);

// Why a device that announces bitManifestationTolerant is not sent the
// leave request: it stays on the bus in DFU mode after manifestation, so its
// departure, which the leave waits for, never comes; nothing was sent.
std::string ManifestationTolerantText();

#endif  // ZUVA_TOOL_AFTER_LEAVE_H_
