#include "tool/after_leave.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <thread>

#include "common/guid.h"
#include "platform/driver_port.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto LEAVE_POLL_INTERVAL = std::chrono::milliseconds(100);

// Interface paths compare without regard to letter case, as the system's do.
std::string PathKey(const std::string& path) {
  std::string key = path;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return key;
}

bool SameBoard(const DfuDeviceInfo& seen, const DfuDeviceInfo& device) {
  // An application often has a product id of its own.
  return seen.vendorId == device.vendorId && seen.serial == device.serial &&
         (!seen.dfuMode || seen.productId == device.productId);
}

bool Listed(const Guid& interfaceClass, const std::string& key) {
  std::vector<InterfaceInfo> listed;
  if (!EnumerateInterfaces(interfaceClass, &listed)) return false;
  return std::any_of(listed.begin(), listed.end(),
                     [&key](const InterfaceInfo& info) { return PathKey(info.path) == key; });
}

}  // namespace

std::vector<std::string> PresentInterfacePaths() {
  std::vector<std::string> paths;
  for (const Guid& interfaceClass : {DFU_INTERFACE_GUID, APP_INTERFACE_GUID}) {
    std::vector<InterfaceInfo> listed;
    EnumerateInterfaces(interfaceClass, &listed);
    for (const InterfaceInfo& info : listed) paths.push_back(info.path);
  }
  return paths;
}

AfterLeave WatchAfterLeave(const DfuDeviceInfo& device, const std::vector<std::string>& before,
                           std::chrono::milliseconds settle, std::chrono::milliseconds confirm) {
  // The others present before; the device's own path counts as new, since a
  // system may give the board the same path when it comes back.
  std::set<std::string> others;
  for (const std::string& path : before) others.insert(PathKey(path));
  others.erase(PathKey(device.path));
  const Clock::time_point deadline = Clock::now() + settle;
  for (;;) {
    for (const bool dfuMode : {true, false}) {
      const Guid& interfaceClass = dfuMode ? DFU_INTERFACE_GUID : APP_INTERFACE_GUID;
      std::vector<InterfaceInfo> listed;
      if (!EnumerateInterfaces(interfaceClass, &listed)) continue;
      for (const InterfaceInfo& info : listed) {
        const std::string key = PathKey(info.path);
        if (others.count(key) != 0) continue;
        DfuDeviceInfo seen;
        // One that cannot be opened yet (its permissions not yet set) is
        // looked at again in the next round.
        if (!DescribeDfuDevice(info.path, dfuMode, &seen)) continue;
        if (!SameBoard(seen, device)) {
          others.insert(key);
          continue;
        }
        if (!dfuMode) return {AfterLeave::Where::kApplication, info.path};
        std::this_thread::sleep_for(confirm);
        if (Listed(DFU_INTERFACE_GUID, key)) return {AfterLeave::Where::kDfuMode, info.path};
        // Gone again: its application may be starting.
        others.insert(key);
      }
    }
    if (Clock::now() >= deadline) return {};
    std::this_thread::sleep_for(LEAVE_POLL_INTERVAL);
  }
}

std::string ManifestationTolerantText() {
  return "the device is manifestation tolerant (bitManifestationTolerant): it stays in DFU mode after the leave "
         "request, so zuvatool does not send it and the device is still in DFU mode";
}
