#include "sim/sim_memory.h"

#include <algorithm>
#include <cstring>

namespace {

// More sectors than this is not a memory a device describes in a 126-character
// string; it is refused before anything is allocated.
constexpr size_t SIM_MAX_SECTORS = 65536;

bool ParseHex(std::string_view text, uint32_t* value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 8) return false;
  uint32_t result = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    result = (result << 4) | digit;
  }
  *value = result;
  return true;
}

// Reads a run of decimal digits at *pos; false when there is none or it does
// not fit 32 bits.
bool ReadDecimal(std::string_view text, size_t* pos, uint64_t* value) {
  size_t start = *pos;
  uint64_t result = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9') {
    result = result * 10 + static_cast<uint64_t>(text[*pos] - '0');
    if (result > 0xFFFFFFFFull) return false;
    ++*pos;
  }
  *value = result;
  return *pos > start;
}

}  // namespace

bool SimParseMemoryMap(std::string_view text, std::vector<SimSectorLayout>* sectors) {
  sectors->clear();
  if (text.empty() || text[0] != '@') return false;
  size_t pos = text.find('/');
  if (pos == std::string_view::npos) return false;
  std::vector<SimSectorLayout> result;
  while (pos < text.size()) {
    // pos is at the '/' in front of a block's address.
    size_t addressEnd = text.find('/', pos + 1);
    if (addressEnd == std::string_view::npos) return false;
    std::string_view addressText = text.substr(pos + 1, addressEnd - pos - 1);
    // A second address after '-' names the same sectors elsewhere; the cells
    // live at the first.
    addressText = addressText.substr(0, addressText.find('-'));
    uint32_t address;
    if (!ParseHex(addressText, &address)) return false;
    uint64_t next = address;
    pos = addressEnd;
    do {
      ++pos;  // past the '/' or ','
      uint64_t count, size;
      if (!ReadDecimal(text, &pos, &count) || pos >= text.size() || text[pos] != '*') return false;
      ++pos;
      if (!ReadDecimal(text, &pos, &size) || pos + 2 > text.size()) return false;
      char unit = text[pos];
      auto type = static_cast<uint8_t>(text[pos + 1]);
      pos += 2;
      if (unit == 'K') size <<= 10;
      if (unit == 'M') size <<= 20;
      if (size == 0 || size > 0xFFFFFFFFull) return false;
      if (count > SIM_MAX_SECTORS - result.size()) return false;
      for (uint64_t k = 0; k < count; ++k) {
        if (next + size > 0x100000000ull) return false;
        result.push_back({static_cast<uint32_t>(next), static_cast<uint32_t>(size),
                          static_cast<uint8_t>(type & 0x07)});
        next += size;
      }
    } while (pos < text.size() && text[pos] == ',');
    if (pos < text.size() && text[pos] != '/') return false;
  }
  if (result.empty()) return false;
  // Overlapping sectors would make an address ambiguous.
  std::vector<SimSectorLayout> sorted = result;
  std::sort(sorted.begin(), sorted.end(), [](const SimSectorLayout& a, const SimSectorLayout& b) {
    return a.address < b.address;
  });
  for (size_t i = 1; i < sorted.size(); ++i) {
    if (static_cast<uint64_t>(sorted[i - 1].address) + sorted[i - 1].size > sorted[i].address) {
      return false;
    }
  }
  *sectors = std::move(result);
  return true;
}

uint64_t SimMemoryMapSize(const std::vector<SimSectorLayout>& sectors) {
  uint64_t total = 0;
  for (const SimSectorLayout& sector : sectors) total += sector.size;
  return total;
}

CSimMemory::CSimMemory(std::vector<SimSectorLayout> layout, uint8_t fill)
    : layout_(std::move(layout)) {
  for (const SimSectorLayout& sector : layout_) {
    cells_.emplace_back(sector.size, fill);
    size_ += sector.size;
  }
}

int CSimMemory::Find(uint32_t address) const {
  for (size_t i = 0; i < layout_.size(); ++i) {
    if (address >= layout_[i].address && address - layout_[i].address < layout_[i].size) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

SimMemoryResult CSimMemory::EraseSector(uint32_t address, uint32_t* erasedBytes) {
  *erasedBytes = 0;
  int index = Find(address);
  if (index < 0) return SimMemoryResult::kAddress;
  if ((layout_[index].access & SIM_ACCESS_ERASE) == 0) return SimMemoryResult::kAccess;
  std::fill(cells_[index].begin(), cells_[index].end(), 0xFF);
  *erasedBytes = layout_[index].size;
  return SimMemoryResult::kOk;
}

SimMemoryResult CSimMemory::EraseAll(uint64_t* erasedBytes) {
  *erasedBytes = 0;
  for (size_t i = 0; i < layout_.size(); ++i) {
    if ((layout_[i].access & SIM_ACCESS_ERASE) == 0) continue;
    std::fill(cells_[i].begin(), cells_[i].end(), 0xFF);
    *erasedBytes += layout_[i].size;
  }
  return *erasedBytes == 0 ? SimMemoryResult::kAccess : SimMemoryResult::kOk;
}

SimMemoryResult CSimMemory::Program(uint32_t address, const uint8_t* data, size_t count,
                                    const std::set<uint32_t>& badCells) {
  // Check the whole range first: a refused block writes nothing.
  uint64_t at = address;
  const uint64_t end = static_cast<uint64_t>(address) + count;
  while (at < end) {
    if (at > 0xFFFFFFFFull) return SimMemoryResult::kAddress;
    int index = Find(static_cast<uint32_t>(at));
    if (index < 0) return SimMemoryResult::kAddress;
    if ((layout_[index].access & SIM_ACCESS_WRITE) == 0) return SimMemoryResult::kAccess;
    at = static_cast<uint64_t>(layout_[index].address) + layout_[index].size;
  }
  bool verified = true;
  at = address;
  size_t done = 0;
  while (done < count) {
    int index = Find(static_cast<uint32_t>(at));
    const SimSectorLayout& sector = layout_[index];
    size_t offset = static_cast<uint32_t>(at) - sector.address;
    size_t run = std::min<size_t>(count - done, sector.size - offset);
    uint8_t* cells = cells_[index].data() + offset;
    for (size_t k = 0; k < run; ++k) {
      // A flash cell can only be pulled from 1 to 0 by programming.
      auto stored = static_cast<uint8_t>(cells[k] & data[done + k]);
      if (badCells.count(static_cast<uint32_t>(at + k)) != 0) {
        stored ^= 0x01;
      } else if (stored != data[done + k]) {
        verified = false;
      }
      cells[k] = stored;
    }
    done += run;
    at += run;
  }
  return verified ? SimMemoryResult::kOk : SimMemoryResult::kVerify;
}

SimMemoryResult CSimMemory::Read(uint32_t address, size_t count, uint8_t* out, size_t* got) const {
  *got = 0;
  uint64_t at = address;
  while (*got < count && at <= 0xFFFFFFFFull) {
    int index = Find(static_cast<uint32_t>(at));
    if (index < 0) break;
    const SimSectorLayout& sector = layout_[index];
    if ((sector.access & SIM_ACCESS_READ) == 0) return SimMemoryResult::kAccess;
    size_t offset = static_cast<uint32_t>(at) - sector.address;
    size_t run = std::min<size_t>(count - *got, sector.size - offset);
    std::memcpy(out + *got, cells_[index].data() + offset, run);
    *got += run;
    at += run;
  }
  return (*got == 0 && count > 0) ? SimMemoryResult::kAddress : SimMemoryResult::kOk;
}

std::vector<uint8_t> CSimMemory::Contents() const {
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(size_));
  for (const auto& cells : cells_) bytes.insert(bytes.end(), cells.begin(), cells.end());
  return bytes;
}

bool CSimMemory::LoadContents(const std::vector<uint8_t>& bytes) {
  if (bytes.size() > size_) return false;
  size_t done = 0;
  for (auto& cells : cells_) {
    size_t run = std::min(cells.size(), bytes.size() - done);
    std::memcpy(cells.data(), bytes.data() + done, run);
    done += run;
  }
  return true;
}

bool CSimMemory::Peek(uint32_t address, size_t count, std::vector<uint8_t>* out) const {
  out->assign(count, 0);
  for (size_t k = 0; k < count; ++k) {
    uint64_t at = static_cast<uint64_t>(address) + k;
    int index = at > 0xFFFFFFFFull ? -1 : Find(static_cast<uint32_t>(at));
    if (index < 0) return false;
    (*out)[k] = cells_[index][static_cast<uint32_t>(at) - layout_[index].address];
  }
  return true;
}

bool CSimMemory::Poke(uint32_t address, const std::vector<uint8_t>& bytes) {
  for (size_t k = 0; k < bytes.size(); ++k) {
    uint64_t at = static_cast<uint64_t>(address) + k;
    int index = at > 0xFFFFFFFFull ? -1 : Find(static_cast<uint32_t>(at));
    if (index < 0) return false;
    cells_[index][static_cast<uint32_t>(at) - layout_[index].address] = bytes[k];
  }
  return true;
}
