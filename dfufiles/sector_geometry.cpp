#include "dfufiles/sector_geometry.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

uint64_t EndOf(uint32_t start, uint32_t size) { return uint64_t{start} + size; }

uint64_t SectorEnd(const MappingSector& sector) {
  return EndOf(sector.startAddress, sector.sectorSize);
}

// [s1, e1) and [s2, e2) overlap when each begins before the other ends.
bool Overlaps(uint64_t s1, uint64_t e1, uint64_t s2, uint64_t e2) { return s1 < e2 && s2 < e1; }

// The addresses that sectors holding `access` cover, as sorted, disjoint
// ranges.
std::vector<std::pair<uint64_t, uint64_t>> CoveredRanges(const MemoryMapping& memory,
                                                         std::optional<uint8_t> access) {
  std::vector<std::pair<uint64_t, uint64_t>> covered;
  if (!access) return covered;
  for (const MappingSector& sector : memory.sectors) {
    if (SectorHolds(sector, *access) && sector.sectorSize != 0) {
      covered.emplace_back(sector.startAddress, SectorEnd(sector));
    }
  }
  std::sort(covered.begin(), covered.end());
  std::vector<std::pair<uint64_t, uint64_t>> joined;
  for (const auto& range : covered) {
    if (!joined.empty() && range.first <= joined.back().second) {
      joined.back().second = std::max(joined.back().second, range.second);
    } else {
      joined.push_back(range);
    }
  }
  return joined;
}

}  // namespace

std::optional<uint8_t> SectorAccessFor(OperationCode operation) {
  switch (operation) {
    case OP_CODE_DETACH:
    case OP_CODE_DETACH_RESET:
      return std::nullopt;
    case OP_CODE_LEAVE_DFU:
    case OP_CODE_UPLOAD:
      return SECTOR_READABLE;
    case OP_CODE_ERASE:
      return SECTOR_ERASABLE;
    case OP_CODE_DOWNLOAD:
      return SECTOR_WRITABLE;
    default:
      return 0;
  }
}

bool SectorHolds(const MappingSector& sector, uint8_t access) {
  return sector.inUse != 0 && (sector.sectorType & access) == access;
}

bool SectorQualifies(const MappingSector& sector, OperationCode operation) {
  const std::optional<uint8_t> access = SectorAccessFor(operation);
  return access && SectorHolds(sector, *access);
}

std::vector<const MappingSector*> TouchedSectors(std::span<const ImageElement> elements,
                                                 const MemoryMapping& memory, uint8_t access) {
  std::vector<const MappingSector*> touched;
  for (const MappingSector& sector : memory.sectors) {
    if (!SectorHolds(sector, access)) continue;
    const uint64_t end = SectorEnd(sector);
    for (const ImageElement& element : elements) {
      if (element.address < end && EndOf(element.address, element.size) > sector.startAddress) {
        touched.push_back(&sector);
        break;
      }
    }
  }
  return touched;
}

uint64_t SectorBytesTouched(std::span<const ImageElement> elements, const MemoryMapping& memory,
                            uint8_t access) {
  uint64_t total = 0;
  for (const MappingSector* sector : TouchedSectors(elements, memory, access)) {
    total += sector->sectorSize;
  }
  return total;
}

std::optional<uint32_t> FirstAddressOutside(std::span<const ImageElement> elements,
                                            const MemoryMapping& memory,
                                            std::optional<uint8_t> access, OutsideBytes which) {
  const auto covered = CoveredRanges(memory, access);
  for (const ImageElement& element : elements) {
    if (which == OutsideBytes::kProgrammed && element.data == nullptr) continue;
    const uint64_t end = EndOf(element.address, element.size);
    uint64_t at = element.address;
    auto next = std::partition_point(covered.begin(), covered.end(),
                                     [at](const auto& range) { return range.second <= at; });
    // Walk the gaps between covered ranges inside the element.
    while (at < end) {
      const uint64_t gapEnd = next == covered.end() ? end : std::min<uint64_t>(next->first, end);
      if (gapEnd > at) {
        if (which == OutsideBytes::kAny) return static_cast<uint32_t>(at);
        const uint8_t* first = element.data + (at - element.address);
        const uint8_t* last = element.data + (gapEnd - element.address);
        const uint8_t* programmed =
            std::find_if(first, last, [](uint8_t b) { return b != 0xFF; });
        if (programmed != last) {
          return static_cast<uint32_t>(element.address + (programmed - element.data));
        }
      }
      if (next == covered.end()) break;
      at = std::max(at, next->second);
      ++next;
    }
  }
  return std::nullopt;
}

bool AccessibleRunAt(const MemoryMapping& memory, uint8_t access, std::optional<uint32_t> from,
                     uint32_t* start, uint64_t* end) {
  bool inRun = false;
  for (const MappingSector& sector : memory.sectors) {
    if (!SectorHolds(sector, access)) {
      if (inRun) break;
      continue;
    }
    const uint64_t sectorEnd = SectorEnd(sector);
    if (!inRun) {
      if (from && (*from < sector.startAddress || *from >= sectorEnd)) continue;
      inRun = true;
      *start = from ? *from : sector.startAddress;
      *end = sectorEnd;
      continue;
    }
    if (sector.startAddress != *end) break;
    *end = sectorEnd;
  }
  return inRun;
}

bool LayElements(std::span<const ImageElement> elements, uint32_t start, std::span<uint8_t> bytes,
                 std::vector<bool>* seen) {
  const uint64_t rangeEnd = EndOf(start, static_cast<uint32_t>(bytes.size()));
  bool touched = false;
  // From the last element to the first, so that where elements overlap the
  // earlier one is copied last and wins.
  for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
    const ImageElement& element = *it;
    const uint64_t elementEnd = EndOf(element.address, element.size);
    if (!Overlaps(element.address, elementEnd, start, rangeEnd)) continue;
    if (!touched) {
      std::fill(bytes.begin(), bytes.end(), uint8_t{0xFF});
      touched = true;
    }
    const uint64_t from = std::max<uint64_t>(element.address, start);
    const uint64_t to = std::min(elementEnd, rangeEnd);
    if (to > from && element.data != nullptr) {
      std::memcpy(bytes.data() + (from - start), element.data + (from - element.address),
                  to - from);
      if (seen != nullptr) {
        std::fill(seen->begin() + static_cast<std::ptrdiff_t>(from - start),
                  seen->begin() + static_cast<std::ptrdiff_t>(to - start), true);
      }
    }
  }
  return touched;
}
