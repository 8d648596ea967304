#include "tool/flash_images.h"

#include <algorithm>

#include "tool/engine_images.h"

namespace {

// Two maps that fit an image alike.
bool SameMemory(const MemoryMapping& a, const MemoryMapping& b) {
  return a.alternateSetting == b.alternateSetting &&
         std::equal(a.sectors.begin(), a.sectors.end(), b.sectors.begin(), b.sectors.end(),
                    [](const MappingSector& x, const MappingSector& y) {
                      return x.startAddress == y.startAddress && x.sectorSize == y.sectorSize &&
                             x.sectorType == y.sectorType && x.inUse == y.inUse &&
                             x.pairedAddress == y.pairedAddress && x.sectorIndex == y.sectorIndex;
                    });
}

}  // namespace

ImageHandle CFittedImages::Get(const CImage& data, const MemoryMapping& memory,
                               OperationCode opCode, uint32_t skipBlank) {
  // Made under the lock: devices that need the same image wait for the one
  // that makes it instead of each making a copy.
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Entry& entry : entries_) {
    if (entry.data == &data && entry.opCode == opCode &&
        entry.skipBlank == skipBlank && SameMemory(entry.memory, memory)) {
      return entry.image->get();
    }
  }
  auto image = std::make_unique<CImageHolder>(MakeImage(data));
  if (image->get() == nullptr ||
      ImageFitToMapping(image->get(), &memory, opCode, skipBlank) != RESULT_OK) {
    return nullptr;
  }
  entries_.push_back({&data, memory, opCode, skipBlank, std::move(image)});
  return entries_.back().image->get();
}

const std::vector<CImage>& CFlashShare::Targets(uint32_t rawAddress,
                                                const std::function<std::vector<CImage>()>& plan) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto& targets = targets_[rawAddress];
  if (!targets) targets = std::make_unique<const std::vector<CImage>>(plan());
  return *targets;
}

void CReadBackComparison::Received(const ImageElement& element, uint32_t offset,
                                   const uint8_t* bytes, uint32_t length) {
  const uint32_t block = element.address + offset;
  const uint8_t* wanted = element.data + offset;
  const auto [read, written] = std::mismatch(bytes, bytes + length, wanted);
  if (read == bytes + length) {
    differing_.erase(block);
    return;
  }
  Difference difference{block + static_cast<uint32_t>(read - bytes), {}};
  if (memory_ != nullptr) {
    // A block may span several sectors, and a sector several blocks.
    const uint64_t blockEnd = uint64_t{block} + length;
    for (const MappingSector& sector : memory_->sectors) {
      const uint64_t from = std::max<uint64_t>(block, sector.startAddress);
      const uint64_t to = std::min(blockEnd, uint64_t{sector.startAddress} + sector.sectorSize);
      if (from >= to) continue;
      if (!std::equal(bytes + (from - block), bytes + (to - block), wanted + (from - block))) {
        difference.sectors.push_back(sector.startAddress);
      }
    }
  }
  differing_[block] = std::move(difference);
}

std::optional<uint32_t> CReadBackComparison::FirstDifference() const {
  // Blocks never overlap: the lowest block's difference is the first.
  if (differing_.empty()) return std::nullopt;
  return differing_.begin()->second.first;
}

std::vector<uint32_t> CReadBackComparison::DifferingSectors() const {
  std::vector<uint32_t> sectors;
  for (const auto& [block, difference] : differing_) {
    sectors.insert(sectors.end(), difference.sectors.begin(), difference.sectors.end());
  }
  std::sort(sectors.begin(), sectors.end());
  sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
  return sectors;
}
