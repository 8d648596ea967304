// Finding the DFU device to upgrade and checking it before any operation
// touches it, with the operator's retry dialogue.
#ifndef ZUVA_APP_DEVICE_DISCOVERY_H_
#define ZUVA_APP_DEVICE_DISCOVERY_H_

#include <cstdint>
#include <string>

#include "device/memory_map.h"

// Lists the present DFU interfaces and validates the one listed last: it must
// open, give its device descriptor and DFU functional descriptor, speak the
// DfuSe protocol revision and publish a memory map that decodes. Reports the
// device and returns true, with its path in *devicePath, its 18-byte device
// descriptor in `deviceDescriptor` and its map in *mapping (released by the
// caller with FreeMemoryMapping). Otherwise asks the operator whether to
// retry, and returns false when the answer is not 'y'.
//
// *devicePath is kept between attempts: an attempt that lists nothing
// validates the path of an earlier one again.
bool DiscoverDevice(std::string* devicePath, uint8_t* deviceDescriptor,
                    MemoryMappingArray* mapping);

#endif  // ZUVA_APP_DEVICE_DISCOVERY_H_
