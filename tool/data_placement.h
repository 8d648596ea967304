// Words for where flash puts a file's data on a device's memory, and for why
// data that does not fit there is refused: the file's size, the addresses it
// would take and where they came from, the memory's writable range, and the
// option that would help.
#ifndef ZUVA_TOOL_DATA_PLACEMENT_H_
#define ZUVA_TOOL_DATA_PLACEMENT_H_

#include <cstdint>
#include <string>

#include "common/memory_mapping.h"
#include "device/device_listing.h"
#include "dfufiles/image.h"

// Where a target's addresses came from.
enum class AddressOrigin {
  kFile,           // the file's own (HEX, S-records, ELF, DfuSe)
  kOption,         // raw bytes at --address
  kMemoryStart,    // raw bytes at the start of the alternate setting's memory
};

// "49152 bytes to 0x08000000-0x0800BFFF, Internal Flash, the start of
// alternate setting 0: no --address given"; several runs are listed (the
// first few, then how many more).
std::string PlacementText(const CImage& target, const MemoryMapping& memory, AddressOrigin origin);

struct MisfitText {
  std::string message;
  std::string hint;
};

// Why the target's data, whose byte at `outside` no writable sector of
// `memory` holds, is refused, for the file `fileName`; the hint names the
// option that would help (--address, --alt) where one would.
MisfitText DescribeMisfit(const CImage& target, const MemoryMapping& memory, uint32_t outside,
                          AddressOrigin origin, const std::string& fileName,
                          const DfuDeviceInfo& device);

#endif  // ZUVA_TOOL_DATA_PLACEMENT_H_
