#include "tool/changed_sectors.h"

#include <algorithm>
#include <cstddef>

#include "common/operation_code.h"
#include "dfufiles/image_registry.h"
#include "dfufiles/sector_geometry.h"
#include "tool/engine_images.h"
#include "tool/engine_step.h"

std::vector<FirmwareElement> ClipToRanges(const std::vector<FirmwareElement>& elements,
                                          const std::vector<AddressRange>& ranges) {
  std::vector<FirmwareElement> pieces;
  for (const FirmwareElement& element : elements) {
    const uint64_t elementEnd = element.address + uint64_t{element.data.size()};
    for (const AddressRange& range : ranges) {
      const uint64_t from = std::max<uint64_t>(element.address, range.start);
      const uint64_t to = std::min(elementEnd, range.end);
      if (from >= to) continue;
      const auto first = element.data.begin() + static_cast<ptrdiff_t>(from - element.address);
      pieces.push_back({static_cast<uint32_t>(from),
                        std::vector<uint8_t>(first, first + static_cast<ptrdiff_t>(to - from))});
    }
  }
  std::sort(pieces.begin(), pieces.end(),
            [](const FirmwareElement& a, const FirmwareElement& b) { return a.address < b.address; });
  // Pieces that meet (a sector boundary inside an element) travel as one.
  std::vector<FirmwareElement> joined;
  for (FirmwareElement& piece : pieces) {
    if (!joined.empty() &&
        joined.back().address + uint64_t{joined.back().data.size()} == piece.address) {
      joined.back().data.insert(joined.back().data.end(), piece.data.begin(), piece.data.end());
    } else {
      joined.push_back(std::move(piece));
    }
  }
  return joined;
}

StatusCode RangesToRewrite(const FlashTarget& target, const MemoryMapping& memory,
                           const std::string& path, bool* fastPoll, CToolOutput* out,
                           std::vector<AddressRange>* rewrite) {
  const std::vector<const MappingSector*> touched =
      TouchedSectors(ElementRecords(target.elements), memory, 0);
  std::vector<const MappingSector*> comparable;
  std::vector<FirmwareElement> wholeSectors;
  uint64_t readBytes = 0;
  for (const MappingSector* sector : touched) {
    const uint8_t both = SECTOR_READABLE | SECTOR_ERASABLE;
    if ((sector->sectorType & both) != both) {
      rewrite->push_back({sector->startAddress, uint64_t{sector->startAddress} + sector->sectorSize});
      continue;
    }
    comparable.push_back(sector);
    wholeSectors.push_back({sector->startAddress, std::vector<uint8_t>(sector->sectorSize)});
    readBytes += sector->sectorSize;
  }
  if (comparable.empty()) return RESULT_OK;
  wholeSectors = ClipToRanges(wholeSectors, {{0, uint64_t{1} << 32}});
  CImageHolder current(MakeImage(target.alternate, wholeSectors));
  if (current.get() == nullptr) return OP_ERR_UNEXPECTED;
  const StatusCode status = RunEngineStep(
      {.name = "compare", .opCode = OP_CODE_UPLOAD, .image = current.get(),
       .alternate = target.alternate, .bytes = readBytes, .fitTo = &memory, .fastPoll = fastPoll},
      path, out);
  if (status != RESULT_OK) return status;
  const std::vector<ImageElement> wantedRecords = ElementRecords(target.elements);
  const std::vector<ImageElement> read = FindImage(current.get())->Records();
  for (const MappingSector* sector : comparable) {
    std::vector<uint8_t> wanted(sector->sectorSize, 0xFF);
    LayElements(wantedRecords, sector->startAddress, wanted);
    std::vector<uint8_t> held(sector->sectorSize, 0);
    std::vector<bool> seen(sector->sectorSize, false);
    LayElements(read, sector->startAddress, held, &seen);
    const bool allSeen = std::find(seen.begin(), seen.end(), false) == seen.end();
    if (!allSeen || held != wanted) {
      rewrite->push_back({sector->startAddress, uint64_t{sector->startAddress} + sector->sectorSize});
    }
  }
  return RESULT_OK;
}

