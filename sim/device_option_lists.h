// The settings of several virtual devices given as lists with one entry per
// device: repeated command-line options (--profile, --flash, --faults,
// --trace) or the ZUVA_SIM* variables. The i-th device takes the i-th entry
// of each list, a profile listed once serves every device, and a missing or
// empty entry is the default: the default profile, no faults, no flash file,
// no trace.
#ifndef ZUVA_SIM_DEVICE_OPTION_LISTS_H_
#define ZUVA_SIM_DEVICE_OPTION_LISTS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "sim/dfu_device.h"

struct SimDeviceOptionLists {
  std::vector<std::string> profiles;
  std::vector<std::string> flashes;
  std::vector<std::string> faults;
  std::vector<std::string> traces;

  // The list a command-line option adds to ("--profile", "--flash",
  // "--faults", "--trace"); null for any other argument.
  std::vector<std::string>* ListOfOption(const std::string& option);
  // As many devices as the longest list has entries, at least one.
  size_t DeviceCount() const;
};

// The options of device i (from 0; its index is i + 1). False with *error
// when its profile or fault plan is refused.
bool SimDeviceOptionsAt(const SimDeviceOptionLists& lists, size_t i, SimDeviceOptions* options,
                        std::string* error);

#endif  // ZUVA_SIM_DEVICE_OPTION_LISTS_H_
