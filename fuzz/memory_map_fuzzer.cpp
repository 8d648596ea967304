// Feeds arbitrary bytes to the memory-map string parser. The parser must
// never read outside the text, never write past the counted sector list, and
// leave every sector it did not reach zeroed and out of use.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "device/memory_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  MemoryMapping record{};
  if (ParseMemoryMapString(text, &record) != RESULT_OK) {
    if (record.sectorCount != 0 || !record.sectors.empty()) std::abort();
    return 0;
  }
  if (record.sectorCount == 0 || record.sectors.size() != record.sectorCount) std::abort();
  if (std::memchr(record.memoryName, 0, sizeof record.memoryName) == nullptr) std::abort();
  // Sectors in use come first, numbered in order; the rest are all zero.
  bool reachedEnd = false;
  for (size_t i = 0; i < record.sectors.size(); ++i) {
    const MappingSector& s = record.sectors[i];
    if (s.inUse == 1 && !reachedEnd) {
      if (s.sectorIndex != i) std::abort();
      continue;
    }
    reachedEnd = true;
    if (s.inUse != 0 || s.startAddress != 0 || s.pairedAddress != 0 || s.sectorIndex != 0 ||
        s.sectorSize != 0 || s.sectorType != 0) {
      std::abort();
    }
  }
  return 0;
}
