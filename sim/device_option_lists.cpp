#include "sim/device_option_lists.h"

#include <algorithm>

#include "sim/fault_plan.h"
#include "sim/profile.h"

namespace {

// Entry i of a list, or none.
std::string Nth(const std::vector<std::string>& given, size_t i) {
  return i < given.size() ? given[i] : std::string();
}

}  // namespace

std::vector<std::string>* SimDeviceOptionLists::ListOfOption(const std::string& option) {
  if (option == "--profile") return &profiles;
  if (option == "--flash") return &flashes;
  if (option == "--faults") return &faults;
  if (option == "--trace") return &traces;
  return nullptr;
}

size_t SimDeviceOptionLists::DeviceCount() const {
  return std::max<size_t>({1, profiles.size(), flashes.size(), faults.size(), traces.size()});
}

bool SimDeviceOptionsAt(const SimDeviceOptionLists& lists, size_t i, SimDeviceOptions* options,
                        std::string* error) {
  SimDeviceOptions device;
  device.index = static_cast<uint32_t>(i + 1);
  const std::string profile = lists.profiles.size() == 1 ? lists.profiles[0] : Nth(lists.profiles, i);
  if (!profile.empty() && !SimLoadProfile(profile, &device.profile, error)) return false;
  if (!SimParseFaultPlan(Nth(lists.faults, i), &device.faults, error)) return false;
  device.flashPath = Nth(lists.flashes, i);
  device.tracePath = Nth(lists.traces, i);
  *options = std::move(device);
  return true;
}
