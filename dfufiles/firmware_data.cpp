#include "dfufiles/firmware_data.h"

#include <cstdio>
#include <iterator>
#include <utility>

namespace {

constexpr uint64_t ADDRESS_SPACE_END = uint64_t{1} << 32;

std::string OverlapText(uint64_t address) {
  char text[64];
  std::snprintf(text, sizeof text, "data overlaps earlier data at 0x%08llX",
                static_cast<unsigned long long>(address));
  return text;
}

}  // namespace

bool CFirmwareBuilder::Add(uint64_t address, const uint8_t* bytes, size_t size,
                           std::string* error) {
  if (size == 0) return true;
  if (address >= ADDRESS_SPACE_END || size > ADDRESS_SPACE_END - address) {
    *error = "data reaches beyond the 32-bit address space";
    return false;
  }
  const uint64_t end = address + size;
  auto next = runs_.upper_bound(static_cast<uint32_t>(address));
  if (next != runs_.end() && next->first < end) {
    *error = OverlapText(next->first);
    return false;
  }
  if (next != runs_.begin()) {
    auto previous = std::prev(next);
    const uint64_t previousEnd = uint64_t{previous->first} + previous->second.size();
    if (previousEnd > address) {
      *error = OverlapText(address);
      return false;
    }
    if (previousEnd == address) {
      previous->second.insert(previous->second.end(), bytes, bytes + size);
      if (next != runs_.end() && next->first == end) {
        previous->second.insert(previous->second.end(), next->second.begin(), next->second.end());
        runs_.erase(next);
      }
      return true;
    }
  }
  std::vector<uint8_t> run(bytes, bytes + size);
  if (next != runs_.end() && next->first == end) {
    run.insert(run.end(), next->second.begin(), next->second.end());
    runs_.erase(next);
  }
  runs_.emplace(static_cast<uint32_t>(address), std::move(run));
  return true;
}

std::vector<FirmwareElement> CFirmwareBuilder::Take() {
  std::vector<FirmwareElement> elements;
  elements.reserve(runs_.size());
  for (auto& [address, data] : runs_) elements.push_back({address, std::move(data)});
  runs_.clear();
  return elements;
}

uint64_t FirmwareByteCount(const std::vector<FirmwareElement>& elements) {
  uint64_t total = 0;
  for (const FirmwareElement& element : elements) total += element.data.size();
  return total;
}
