#include "tool/changed_sectors.h"

#include <algorithm>
#include <cstddef>

#include "common/operation_code.h"
#include "dfufiles/image_registry.h"
#include "dfufiles/sector_geometry.h"
#include "tool/engine_images.h"
#include "tool/engine_step.h"

CImage ClipToRanges(const CImage& data, const std::vector<AddressRange>& ranges) {
  std::vector<ImageElement> pieces;
  for (const ImageElement& element : data.Records()) {
    const uint64_t elementEnd = element.address + uint64_t{element.size};
    for (const AddressRange& range : ranges) {
      const uint64_t from = std::max<uint64_t>(element.address, range.start);
      const uint64_t to = std::min(elementEnd, range.end);
      if (from >= to) continue;
      pieces.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(to - from),
                        element.data + (from - element.address)});
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(), [](const ImageElement& a, const ImageElement& b) {
    return a.address < b.address;
  });
  // Pieces that meet (a sector boundary inside an element) travel as one.
  CImage clipped(data.alternateSetting, 0, nullptr);
  clipped.AppendJoined(pieces);
  return clipped;
}

StatusCode RangesToRewrite(const CImage& target, const MemoryMapping& memory,
                           const std::string& path, bool* fastPoll, CToolOutput* out,
                           std::vector<AddressRange>* rewrite) {
  const std::vector<ImageElement> wantedRecords = target.Records();
  const std::vector<const MappingSector*> touched = TouchedSectors(wantedRecords, memory, 0);
  std::vector<const MappingSector*> comparable;
  std::vector<ImageElement> wholeSectors;
  uint32_t largest = 0;
  uint64_t readBytes = 0;
  for (const MappingSector* sector : touched) {
    const uint8_t both = SECTOR_READABLE | SECTOR_ERASABLE;
    if ((sector->sectorType & both) != both) {
      rewrite->push_back({sector->startAddress, uint64_t{sector->startAddress} + sector->sectorSize});
      continue;
    }
    comparable.push_back(sector);
    wholeSectors.push_back({sector->startAddress, sector->sectorSize, nullptr});
    largest = std::max(largest, sector->sectorSize);
    readBytes += sector->sectorSize;
  }
  if (comparable.empty()) return RESULT_OK;
  // The sectors to read, zeroed, in address order; sectors that meet are
  // read as one element.
  const std::vector<uint8_t> zeros(largest, 0);
  for (ImageElement& sector : wholeSectors) sector.data = const_cast<uint8_t*>(zeros.data());
  std::stable_sort(
      wholeSectors.begin(), wholeSectors.end(),
      [](const ImageElement& a, const ImageElement& b) { return a.address < b.address; });
  CImage toRead(target.alternateSetting, 0, nullptr);
  toRead.AppendJoined(wholeSectors);
  CImageHolder current(MakeImage(std::move(toRead)));
  if (current.get() == nullptr) return OP_ERR_UNEXPECTED;
  const StatusCode status = RunEngineStep(
      {.name = "compare", .opCode = OP_CODE_UPLOAD, .image = current.get(),
       .alternate = target.alternateSetting, .bytes = readBytes, .fitTo = &memory,
       .fastPoll = fastPoll},
      path, out);
  if (status != RESULT_OK) return status;
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

