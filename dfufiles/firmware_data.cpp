#include "dfufiles/firmware_data.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

constexpr uint64_t ADDRESS_SPACE_END = uint64_t{1} << 32;

}  // namespace

bool CFirmwareBuilder::Add(uint64_t address, const uint8_t* bytes, size_t size, size_t tag,
                           std::string* error) {
  if (size == 0) return true;
  if (address >= ADDRESS_SPACE_END || size > ADDRESS_SPACE_END - address) {
    *error = "data reaches beyond the 32-bit address space";
    return false;
  }
  chunks_.push_back({static_cast<uint32_t>(address), bytes_.size(), size, tag});
  bytes_.insert(bytes_.end(), bytes, bytes + size);
  return true;
}

bool CFirmwareBuilder::Take(std::vector<FirmwareElement>* elements, std::string* error) {
  std::vector<Chunk> chunks = std::move(chunks_);
  std::vector<uint8_t> bytes = std::move(bytes_);
  chunks_.clear();
  bytes_.clear();
  elements->clear();
  std::stable_sort(chunks.begin(), chunks.end(),
                   [](const Chunk& a, const Chunk& b) { return a.address < b.address; });
  uint64_t end = 0;
  size_t endTag = 0;
  for (const Chunk& chunk : chunks) {
    if (!elements->empty() && chunk.address < end) {
      // Of the two runs that claim the byte, the one later in the input is
      // the one in error.
      char text[96];
      std::snprintf(text, sizeof text, "%s %zu: data overlaps earlier data at 0x%08X", tagName_,
                    std::max(chunk.tag, endTag), chunk.address);
      *error = text;
      elements->clear();
      return false;
    }
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset);
    const auto last = first + static_cast<std::ptrdiff_t>(chunk.size);
    if (!elements->empty() && chunk.address == end) {
      elements->back().data.insert(elements->back().data.end(), first, last);
    } else {
      elements->push_back({chunk.address, std::vector<uint8_t>(first, last)});
    }
    end = uint64_t{chunk.address} + chunk.size;
    endTag = chunk.tag;
  }
  return true;
}

uint64_t FirmwareByteCount(const std::vector<FirmwareElement>& elements) {
  uint64_t total = 0;
  for (const FirmwareElement& element : elements) total += element.data.size();
  return total;
}

std::vector<ImageElement> ElementRecords(const std::vector<FirmwareElement>& elements) {
  std::vector<ImageElement> records;
  records.reserve(elements.size());
  for (const FirmwareElement& element : elements) {
    // Records carry a writable pointer; these are only ever read through.
    records.push_back({element.address, static_cast<uint32_t>(element.data.size()),
                       const_cast<uint8_t*>(element.data.data())});
  }
  return records;
}
