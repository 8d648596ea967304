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

bool CFirmwareBuilder::Take(CImage* image, std::string* error) {
  std::vector<Chunk> chunks = std::move(chunks_);
  std::vector<uint8_t> bytes = std::move(bytes_);
  chunks_.clear();
  bytes_.clear();
  std::stable_sort(chunks.begin(), chunks.end(),
                   [](const Chunk& a, const Chunk& b) { return a.address < b.address; });
  std::vector<ImageElement> pieces;
  pieces.reserve(chunks.size());
  uint64_t end = 0;
  size_t endTag = 0;
  for (const Chunk& chunk : chunks) {
    if (!pieces.empty() && chunk.address < end) {
      // Of the two runs that claim the byte, the one later in the input is
      // the one in error.
      char text[96];
      std::snprintf(text, sizeof text, "%s %zu: data overlaps earlier data at 0x%08X", tagName_,
                    std::max(chunk.tag, endTag), chunk.address);
      *error = text;
      return false;
    }
    pieces.push_back(RecordOver(chunk.address, std::span(bytes).subspan(chunk.offset, chunk.size)));
    end = uint64_t{chunk.address} + chunk.size;
    endTag = chunk.tag;
  }
  image->AppendJoined(pieces);
  return true;
}

ImageElement RecordOver(uint32_t address, std::span<const uint8_t> bytes) {
  return {address, static_cast<uint32_t>(bytes.size()), const_cast<uint8_t*>(bytes.data())};
}
