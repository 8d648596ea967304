// Where data laid over a device's memory map meets its sectors: which
// sectors serve an operation, which ones some data touches, where data lies
// outside them, the run of usable sectors at an address, and the bytes a
// range holds once elements are laid over it. Elements are read through
// their records (address, size, data), so an image's own records and views
// of other element lists are handled alike.
//
// Range ends are computed in 64 bits: a sector or element that ends at the
// top of the 32-bit address space would otherwise end at 0.
#ifndef ZUVA_DFUFILES_SECTOR_GEOMETRY_H_
#define ZUVA_DFUFILES_SECTOR_GEOMETRY_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/memory_mapping.h"
#include "common/operation_code.h"
#include "dfufiles/image.h"

// The type bits a sector needs to take part in `operation`; none for the
// operations that move no data (detach), which no sector serves.
std::optional<uint8_t> SectorAccessFor(OperationCode operation);

// An in-use sector whose type has every bit of `access` (0: any in-use
// sector).
bool SectorHolds(const MappingSector& sector, uint8_t access);

// A sector that fitting keeps data in for `operation`.
bool SectorQualifies(const MappingSector& sector, OperationCode operation);

// The sectors holding `access` that some element overlaps, in map order;
// each once however many elements overlap it.
std::vector<const MappingSector*> TouchedSectors(std::span<const ImageElement> elements,
                                                 const MemoryMapping& memory, uint8_t access);

// Total size of those sectors.
uint64_t SectorBytesTouched(std::span<const ImageElement> elements, const MemoryMapping& memory,
                            uint8_t access);

// Which bytes outside the sectors count: every one, or only those other than
// the erased value 0xFF (bytes a fitting that drops them would lose).
enum class OutsideBytes { kAny, kProgrammed };

// The first address, in element order, of a byte that counts and that no
// sector holding `access` covers (with no `access`, no sector covers any).
std::optional<uint32_t> FirstAddressOutside(std::span<const ImageElement> elements,
                                            const MemoryMapping& memory,
                                            std::optional<uint8_t> access, OutsideBytes which);

// The run of adjacent sectors holding `access` that contains `from` (or,
// without it, the first such run in map order): *start is `from` or the
// run's start, *end the end of the run. False when there is none.
bool AccessibleRunAt(const MemoryMapping& memory, uint8_t access, std::optional<uint32_t> from,
                     uint32_t* start, uint64_t* end);

// Lays the elements over `bytes`, which stands for [start, start +
// bytes.size()): when an element overlaps that range, the range is filled
// with the erased value 0xFF and each element's bytes inside it are copied
// in, the earlier element's byte kept where elements overlap, and marked in
// *seen when given (sized like `bytes`). False, with `bytes` untouched, when
// no element overlaps the range.
bool LayElements(std::span<const ImageElement> elements, uint32_t start, std::span<uint8_t> bytes,
                 std::vector<bool>* seen = nullptr);

#endif  // ZUVA_DFUFILES_SECTOR_GEOMETRY_H_
