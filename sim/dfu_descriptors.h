// The descriptors a virtual device shows, built from its profile: in DFU mode
// every memory is one alternate setting of interface 0 (protocol 2); an
// application offers a single run-time interface (protocol 1), after the
// vendor-specific interfaces of a composite device.
#ifndef ZUVA_SIM_DFU_DESCRIPTORS_H_
#define ZUVA_SIM_DFU_DESCRIPTORS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/profile.h"

// String descriptor indexes; interface strings follow from 4.
constexpr uint8_t SIM_STRING_MANUFACTURER = 1;
constexpr uint8_t SIM_STRING_PRODUCT = 2;
constexpr uint8_t SIM_STRING_SERIAL = 3;
constexpr uint8_t SIM_STRING_FIRST_INTERFACE = 4;

std::vector<uint8_t> SimDeviceDescriptor(const SimProfile& profile);
// The whole configuration set: configuration, interfaces, then the DFU
// functional descriptor after the last alternate setting.
std::vector<uint8_t> SimConfigurationDescriptor(const SimProfile& profile, bool dfuMode);
std::vector<uint8_t> SimFunctionalDescriptor(const SimProfile& profile);
// False for an index the device has no string for. `index` is the device's
// number among the devices of its process or bus, from 1 (`serial = auto`).
bool SimStringDescriptor(const SimProfile& profile, bool dfuMode, uint32_t deviceIndex,
                         uint8_t stringIndex, std::vector<uint8_t>* descriptor);
// bInterfaceNumber of the DFU interface in that mode.
uint8_t SimDfuInterfaceNumber(const SimProfile& profile, bool dfuMode);
// How many alternate settings the DFU interface has in that mode.
size_t SimAlternateCount(const SimProfile& profile, bool dfuMode);

#endif  // ZUVA_SIM_DFU_DESCRIPTORS_H_
