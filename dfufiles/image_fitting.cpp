// Fitting an image to a device memory map for one operation, the assembly
// of an address range from overlapping elements, and the merging of touching
// elements after a read-back.
//
// Range ends are computed in 64 bits: an element or sector that ends exactly
// at the top of the 32-bit address space would otherwise end at 0 and never
// overlap anything.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "dfufiles/element_runs.h"
#include "dfufiles/image.h"
#include "dfufiles/sector_geometry.h"

namespace {

uint64_t EndOf(uint32_t start, uint32_t size) { return uint64_t{start} + size; }

// [s1, e1) and [s2, e2) overlap when each begins before the other ends.
bool Overlaps(uint64_t s1, uint64_t e1, uint64_t s2, uint64_t e2) { return s1 < e2 && s2 < e1; }

// Flash reads 0xFF where it is erased; an empty range counts as blank.
bool IsBlank(const uint8_t* bytes, size_t size) {
  return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0xFF; });
}

// Ranges sorted by start, each with the largest end among it and the ranges
// before it. The ranges that overlap a query then lie from the first whose
// running end passes the query's start up to the last that starts before the
// query's end, so fitting costs a sort and a short walk per query instead of
// a pass over every sector for every element (a map of tens of thousands of
// sectors fitted to an image of one element per sector).
class CRangeIndex {
 public:
  void Add(uint64_t start, uint64_t end, size_t id) { entries_.push_back({start, end, id, 0}); }

  void Build() {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.start < b.start; });
    uint64_t reach = 0;
    for (Entry& entry : entries_) {
      reach = std::max(reach, entry.end);
      entry.reach = reach;
    }
  }

  // The ids of the ranges that overlap [start, end), in ascending order.
  void Overlapping(uint64_t start, uint64_t end, std::vector<size_t>* ids) const {
    ids->clear();
    auto it = std::partition_point(entries_.begin(), entries_.end(),
                                   [start](const Entry& entry) { return entry.reach <= start; });
    for (; it != entries_.end() && it->start < end; ++it) {
      if (Overlaps(it->start, it->end, start, end)) ids->push_back(it->id);
    }
    // Ranges that start together, or a longer one before shorter ones, can
    // come out of address order; the callers want the order they were added.
    if (!std::is_sorted(ids->begin(), ids->end())) std::sort(ids->begin(), ids->end());
  }

 private:
  struct Entry {
    uint64_t start;
    uint64_t end;
    size_t id;
    uint64_t reach;
  };
  std::vector<Entry> entries_;
};

}  // namespace

bool CImage::ReadRange(uint32_t address, uint32_t length, uint8_t* buffer) const {
  if (isValid == 0) return false;
  return LayElements(Records(), address, std::span<uint8_t>(buffer, length));
}

bool CImage::FitToMapping(const MemoryMapping& mapping, OperationCode operation,
                          uint32_t skipBlank) {
  if (isValid == 0) return false;
  if (operation == OP_CODE_ERASE) {
    MarkErasableSectors(mapping, skipBlank);
  } else {
    CutToSectors(mapping, operation, skipBlank);
  }
  return true;
}

// The new list is built beside the old one and swapped in at the end, so an
// allocation failure leaves the image as it was.
void CImage::MarkErasableSectors(const MemoryMapping& mapping, uint32_t skipBlank) {
  CRangeIndex index;
  for (size_t i = 0; i < elements_.size(); ++i) {
    const ImageElement& element = elements_[i]->record;
    index.Add(element.address, EndOf(element.address, element.size), i);
  }
  index.Build();
  std::vector<std::unique_ptr<Slot>> markers;
  std::vector<size_t> touching;
  std::vector<uint8_t> scratch;
  std::vector<ImageElement> records;
  for (const MappingSector& sector : mapping.sectors) {
    if (!SectorQualifies(sector, OP_CODE_ERASE)) continue;
    index.Overlapping(sector.startAddress, EndOf(sector.startAddress, sector.sectorSize),
                      &touching);
    bool mark = !touching.empty();
    if (mark && skipBlank != 0) {
      // What the sector will hold is only known once the overlapping
      // elements are assembled in their order of precedence: the
      // lower-indexed element wins, so it is copied last.
      scratch.resize(sector.sectorSize);
      records.clear();
      for (size_t i : touching) records.push_back(elements_[i]->record);
      LayElements(records, sector.startAddress, scratch);
      mark = !IsBlank(scratch.data(), scratch.size());
    }
    // A marker names the sector to erase; the device erases it whole.
    if (mark) markers.push_back(MakeSlot(sector.startAddress, 0, nullptr));
  }
  elements_ = std::move(markers);
}

void CImage::CutToSectors(const MemoryMapping& mapping, OperationCode operation,
                          uint32_t skipBlank) {
  // Writing erased bytes is wasted time: erased flash already reads 0xFF.
  const bool dropBlank = operation == OP_CODE_DOWNLOAD && skipBlank != 0;
  CRangeIndex index;
  for (size_t i = 0; i < mapping.sectors.size(); ++i) {
    const MappingSector& sector = mapping.sectors[i];
    if (!SectorQualifies(sector, operation)) continue;
    index.Add(sector.startAddress, EndOf(sector.startAddress, sector.sectorSize), i);
  }
  index.Build();
  std::vector<std::unique_ptr<Slot>> pieces;
  std::vector<size_t> inside;
  for (const auto& slot : elements_) {
    const ImageElement& element = slot->record;
    if (dropBlank && (element.data == nullptr || IsBlank(element.data, element.size))) continue;
    const uint64_t elementEnd = EndOf(element.address, element.size);
    index.Overlapping(element.address, elementEnd, &inside);
    // In map order, as the device lists its sectors.
    for (size_t i : inside) {
      const MappingSector& sector = mapping.sectors[i];
      const uint64_t sectorEnd = EndOf(sector.startAddress, sector.sectorSize);
      const uint64_t from = std::max<uint64_t>(sector.startAddress, element.address);
      const uint64_t to = std::min(sectorEnd, elementEnd);
      const uint32_t size = static_cast<uint32_t>(to - from);
      const uint8_t* bytes =
          element.data == nullptr ? nullptr : element.data + (from - element.address);
      if (dropBlank && IsBlank(bytes, size)) continue;
      pieces.push_back(MakeSlot(static_cast<uint32_t>(from), size, bytes));
    }
  }
  if (operation == OP_CODE_UPLOAD) {
    // Merge before swapping so that a failure leaves the image untouched.
    CImage merged;
    merged.elements_ = std::move(pieces);
    merged.MergeAdjacent();
    pieces = std::move(merged.elements_);
  }
  elements_ = std::move(pieces);
}

bool CImage::HasDataOutside(const MemoryMapping& mapping, OperationCode operation) const {
  return FirstAddressOutside(Records(), mapping, SectorAccessFor(operation),
                             OutsideBytes::kProgrammed)
      .has_value();
}

std::vector<ElementRun> TouchingRuns(const std::vector<ElementExtent>& sorted) {
  std::vector<ElementRun> runs;
  size_t first = 0;
  while (first < sorted.size()) {
    uint64_t runEnd = EndOf(sorted[first].address, sorted[first].size);
    uint64_t runSize = sorted[first].size;
    size_t last = first;
    while (last + 1 < sorted.size()) {
      const ElementExtent& next = sorted[last + 1];
      if (next.address != runEnd || runSize + next.size > std::numeric_limits<uint32_t>::max()) {
        break;
      }
      runEnd += next.size;
      runSize += next.size;
      ++last;
    }
    runs.push_back({first, last, static_cast<uint32_t>(runSize)});
    first = last + 1;
  }
  return runs;
}

void CImage::MergeAdjacent() {
  // Sort positions rather than elements so that nothing is moved until every
  // joined buffer exists: an allocation failure leaves the image as it was.
  std::vector<size_t> order(elements_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Stable: elements at equal addresses keep their relative order.
  std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
    return elements_[a]->record.address < elements_[b]->record.address;
  });
  auto at = [&](size_t position) -> const ImageElement& {
    return elements_[order[position]]->record;
  };

  std::vector<ElementExtent> extents;
  extents.reserve(order.size());
  for (size_t i = 0; i < order.size(); ++i) extents.push_back({at(i).address, at(i).size});

  // Each run of touching elements becomes one element.
  struct Run {
    size_t first;
    std::unique_ptr<Slot> joined;  // null for a run of one
  };
  std::vector<Run> runs;
  for (const ElementRun& span : TouchingRuns(extents)) {
    Run run{span.first, nullptr};
    if (span.last != span.first) {
      run.joined = MakeSlot(at(span.first).address, span.size, nullptr);
      uint8_t* out = run.joined->buffer.get();
      for (size_t i = span.first; i <= span.last; ++i) {
        if (at(i).size != 0) std::memcpy(out, at(i).data, at(i).size);
        out += at(i).size;
      }
    }
    runs.push_back(std::move(run));
  }

  std::vector<std::unique_ptr<Slot>> merged;
  merged.reserve(runs.size());
  for (Run& run : runs) {
    merged.push_back(run.joined ? std::move(run.joined) : std::move(elements_[order[run.first]]));
  }
  elements_ = std::move(merged);
}
