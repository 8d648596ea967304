#include "tool/data_placement.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "dfufiles/sector_geometry.h"
#include "tool/tool_text.h"

namespace {

// Runs of more than this many are listed in part.
constexpr size_t TOOL_RUNS_SHOWN = 3;

struct Range {
  uint32_t start;
  uint64_t end;  // the first address after it
};

std::string RangeText(const Range& range) {
  return HexText(range.start, 8) + "-" + HexText(static_cast<uint32_t>(range.end - 1), 8);
}

std::string RangesText(const std::vector<Range>& ranges) {
  std::string text;
  for (size_t i = 0; i < ranges.size() && i < TOOL_RUNS_SHOWN; ++i) {
    text += (i == 0 ? "" : ", ") + RangeText(ranges[i]);
  }
  if (ranges.size() > TOOL_RUNS_SHOWN) {
    text += " and " + std::to_string(ranges.size() - TOOL_RUNS_SHOWN) + " more";
  }
  return text;
}

// The data's contiguous runs, in address order.
std::vector<Range> DataRuns(const CImage& target) {
  std::vector<ImageElement> records = target.Records();
  std::sort(records.begin(), records.end(),
            [](const ImageElement& a, const ImageElement& b) { return a.address < b.address; });
  std::vector<Range> runs;
  for (const ImageElement& record : records) {
    if (record.size == 0) continue;
    const uint64_t end = uint64_t{record.address} + record.size;
    if (!runs.empty() && record.address <= runs.back().end) {
      runs.back().end = std::max(runs.back().end, end);
    } else {
      runs.push_back({record.address, end});
    }
  }
  return runs;
}

// The memory's runs of adjacent sectors that all have `access`, or that all
// lack it, in map order.
std::vector<Range> SectorRuns(const MemoryMapping& memory, uint8_t access, bool having) {
  std::vector<Range> runs;
  for (const MappingSector& sector : memory.sectors) {
    if (sector.inUse == 0 || sector.sectorSize == 0) continue;
    if (SectorHolds(sector, access) != having) continue;
    const uint64_t end = uint64_t{sector.startAddress} + sector.sectorSize;
    if (!runs.empty() && runs.back().end == sector.startAddress) {
      runs.back().end = end;
    } else {
      runs.push_back({sector.startAddress, end});
    }
  }
  return runs;
}

std::optional<Range> RunHolding(const std::vector<Range>& runs, uint32_t address) {
  for (const Range& run : runs) {
    if (address >= run.start && address < run.end) return run;
  }
  return std::nullopt;
}

// The memory's name as its interface string gives it, without the spaces
// that pad it.
std::string MemoryName(const MemoryMapping& memory) {
  std::string name = ShownText(memory.memoryName);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name.empty() ? "the memory" : name;
}

std::string OriginText(AddressOrigin origin, uint8_t alternate) {
  switch (origin) {
    case AddressOrigin::kOption:
      return "at --address";
    case AddressOrigin::kMemoryStart:
      return "the start of alternate setting " + std::to_string(alternate) + ": no --address given";
    case AddressOrigin::kFile:
      break;
  }
  return "at the file's own addresses";
}

std::string Bytes(uint64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

}  // namespace

std::string PlacementText(const CImage& target, const MemoryMapping& memory, AddressOrigin origin) {
  return Bytes(target.ByteCount()) + " to " + RangesText(DataRuns(target)) + ", " +
         MemoryName(memory) + ", " + OriginText(origin, target.alternateSetting);
}

MisfitText DescribeMisfit(const CImage& target, const MemoryMapping& memory, uint32_t outside,
                          AddressOrigin origin, const std::string& fileName,
                          const DfuDeviceInfo& device) {
  const uint8_t alternate = target.alternateSetting;
  const std::string name = MemoryName(memory);
  const std::vector<Range> data = DataRuns(target);
  const std::vector<Range> writable = SectorRuns(memory, SECTOR_WRITABLE, true);
  const std::vector<Range> sectors = SectorRuns(memory, 0, true);
  // The run of data that does not fit: for raw bytes the whole file.
  const Range misfit = RunHolding(data, outside).value_or(Range{outside, uint64_t{outside} + 1});
  MisfitText text;
  text.message = fileName + ": " + Bytes(target.ByteCount()) + " to " +
                 (origin == AddressOrigin::kFile ? RangesText(data) : RangeText(misfit)) + " (" +
                 OriginText(origin, alternate) + ") do not fit: ";
  const std::optional<Range> readOnly = RunHolding(SectorRuns(memory, SECTOR_WRITABLE, false), outside);
  if (readOnly) {
    text.message += RangeText(*readOnly) + " of " + name + " cannot be written";
  } else if (RunHolding(sectors, outside)) {
    text.message += HexText(outside, 8) + " of " + name + " cannot be written";
  } else {
    text.message += HexText(outside, 8) + " is outside " + name;
  }
  text.message += writable.empty() ? "; alternate setting " + std::to_string(alternate) +
                                         " has no writable memory"
                                   : "; its writable range is " + RangesText(writable);

  // Another alternate setting that holds every byte would take the file.
  for (const DfuAlternateInfo& other : device.alternates) {
    if (!other.hasMemory || other.alternateSetting == alternate) continue;
    if (FirstAddressOutside(target.Records(), other.memory, SECTOR_WRITABLE, OutsideBytes::kAny)) {
      continue;
    }
    text.hint = "Alternate setting " + std::to_string(other.alternateSetting) + " (" +
                MemoryName(other.memory) + ") holds these addresses: give --alt " +
                std::to_string(other.alternateSetting) + ".";
    return text;
  }
  if (origin == AddressOrigin::kFile) {
    text.hint = "The file is linked for other addresses: check that it is the image for this device.";
    return text;
  }
  const uint64_t size = misfit.end - misfit.start;
  uint64_t largest = 0;
  for (const Range& run : writable) largest = std::max(largest, run.end - run.start);
  if (size > largest) {
    text.hint = "The file is larger than any writable range (" + Bytes(largest) +
                "): check that it is the image for this device.";
    return text;
  }
  // Where the bytes would fit: the writable runs with room for them.
  std::string room;
  for (const Range& run : writable) {
    if (run.end - run.start < size) continue;
    room += (room.empty() ? "" : ", ") + HexText(run.start, 8) + " to " +
            HexText(static_cast<uint32_t>(run.end - size), 8);
  }
  text.hint = origin == AddressOrigin::kMemoryStart
                  ? "A raw file carries no address: give --address with the address the image "
                    "was linked for (from " + room + "), or flash its HEX or ELF file."
                  : "Give an --address with room for the file: from " + room + ".";
  return text;
}
