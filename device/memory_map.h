// The memory map of a DfuSe device, decoded from the interface strings of its
// DFU alternate settings ("@Internal Flash  /0x08000000/04*016Kg,...").
#ifndef ZUVA_DEVICE_MEMORY_MAP_H_
#define ZUVA_DEVICE_MEMORY_MAP_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/memory_mapping.h"
#include "common/status_code.h"

// The most sectors one decode lists, over all alternate settings together. A
// hostile interface string could announce billions, and the list is allocated
// before it is filled; real maps list from a few sectors to 131,072 (512 MiB
// of external flash in 4 KiB sectors). 2^20 sectors are the whole 32-bit
// address space in 4 KiB sectors and cost at most 24 MiB of records.
constexpr uint64_t MEMORY_MAP_MAX_SECTORS = 1u << 20;

// A0 + 1 records: record k describes alternate index k; the last one is all
// zero (no sectors) and ends the array.
using MemoryMappingArray = std::unique_ptr<MemoryMapping[]>;

// Opens the device at `path` for the duration of the call, reads the
// functional descriptor and every alternate setting's interface string, and
// decodes them. On RESULT_OK *mapping holds the array and *alternateCount the
// number of alternate settings; on failure neither is written. A missing or
// malformed string fails the whole decode with OP_ERR_BAD_PARAMETER.
StatusCode DecodeMemoryMapping(const std::string& path, MemoryMappingArray* mapping,
                               uint32_t* alternateCount);

// Releases the array and clears the variable; a null pointer or an empty
// variable does nothing.
void FreeMemoryMapping(MemoryMappingArray* mapping);

// Decodes one interface string into `record` (its alternateSetting is left as
// it is). OP_ERR_BAD_PARAMETER when the text does not begin with '@', has no
// '/' or no '*' after it, or its group counts add up to 0; `record` is then
// left as it was.
StatusCode ParseMemoryMapString(std::string_view text, MemoryMapping* record);

#endif  // ZUVA_DEVICE_MEMORY_MAP_H_
