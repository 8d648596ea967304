// A device memory as its DfuSe interface string describes it: one record per
// alternate setting, each with its sectors in the order of the string.
#ifndef ZUVA_COMMON_MEMORY_MAPPING_H_
#define ZUVA_COMMON_MEMORY_MAPPING_H_

#include <cstdint>
#include <vector>

// Access bits of MappingSector::sectorType.
constexpr uint8_t SECTOR_READABLE = 0x01;
constexpr uint8_t SECTOR_ERASABLE = 0x02;
constexpr uint8_t SECTOR_WRITABLE = 0x04;

struct MappingSector {
  uint32_t startAddress;
  uint32_t pairedAddress;
  uint32_t sectorIndex;
  uint32_t sectorSize;
  uint8_t sectorType;  // the type character; its low three bits are access flags
  uint32_t inUse;      // 0: skipped by every consumer
};

struct MemoryMapping {
  uint8_t alternateSetting;
  char memoryName[260];
  uint32_t sectorCount;                // always sectors.size()
  std::vector<MappingSector> sectors;  // empty in the record that ends an array
};

#endif  // ZUVA_COMMON_MEMORY_MAPPING_H_
