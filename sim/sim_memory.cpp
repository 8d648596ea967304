#include "sim/sim_memory.h"

#include <algorithm>
#include <cstring>

namespace {

// A device describes its memories in a 126-character string; more sectors
// than this (the whole 32-bit address space in 4 KiB sectors) is refused
// before anything is allocated. Sectors hold no cells until they are written,
// so a large external flash costs memory only where it holds data.
constexpr size_t SIM_MAX_SECTORS = size_t{1} << 20;

void SkipSpaces(std::string_view text, size_t* pos) {
  while (*pos < text.size() && text[*pos] == ' ') ++*pos;
}

bool ParseHex(std::string_view text, uint32_t* value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
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

// One group "count*size<unit><type>" at *pos, appended from address *next.
// Real devices write spaces around the count and the '*', units in either
// case, a space for plain bytes, and may end the string after the unit.
bool ParseGroup(std::string_view text, size_t* pos, uint64_t* next, std::vector<SimSectorLayout>* result) {
  uint64_t count, size;
  SkipSpaces(text, pos);
  if (!ReadDecimal(text, pos, &count)) return false;
  SkipSpaces(text, pos);
  if (*pos >= text.size() || text[*pos] != '*') return false;
  ++*pos;
  SkipSpaces(text, pos);
  if (!ReadDecimal(text, pos, &size)) return false;
  const char unit = *pos < text.size() ? text[*pos] : '\0';
  if (unit == 'K' || unit == 'k') size <<= 10;
  if (unit == 'M' || unit == 'm') size <<= 20;
  uint8_t type = 0;
  if (unit != '\0') {
    ++*pos;
    if (*pos < text.size()) type = static_cast<uint8_t>(text[(*pos)++]);
  }
  if (size == 0 || size > 0xFFFFFFFFull) return false;
  if (count > SIM_MAX_SECTORS - result->size()) return false;
  for (uint64_t k = 0; k < count; ++k) {
    if (*next + size > 0x100000000ull) return false;
    result->push_back({static_cast<uint32_t>(*next), static_cast<uint32_t>(size),
                       static_cast<uint8_t>(type & 0x07)});
    *next += size;
  }
  return true;
}

}  // namespace

bool SimParseMemoryMap(std::string_view text, std::vector<SimSectorLayout>* sectors) {
  sectors->clear();
  if (text.empty() || text[0] != '@') return false;
  size_t pos = text.find('/');
  if (pos == std::string_view::npos) return false;
  std::vector<SimSectorLayout> result;
  while (pos < text.size() && text[pos] == '/') {
    // pos is at the '/' in front of a block's address.
    size_t addressEnd = text.find('/', pos + 1);
    if (addressEnd == std::string_view::npos) {
      // A '/' after the last group that starts no block is trailing text.
      if (!result.empty()) break;
      return false;
    }
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
      if (!ParseGroup(text, &pos, &next, &result)) return false;
      SkipSpaces(text, &pos);
    } while (pos < text.size() && text[pos] == ',');
    // Anything else after a group ends the map: devices pad their strings.
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
    : layout_(std::move(layout)), cells_(layout_.size()), uniform_(layout_.size(), fill) {
  for (const SimSectorLayout& sector : layout_) {
    fileOffsets_.push_back(size_);
    size_ += sector.size;
  }
  byAddress_.resize(layout_.size());
  for (size_t i = 0; i < byAddress_.size(); ++i) byAddress_[i] = i;
  std::sort(byAddress_.begin(), byAddress_.end(),
            [this](size_t a, size_t b) { return layout_[a].address < layout_[b].address; });
}

int CSimMemory::Find(uint32_t address) const {
  // The last sector that starts at or below the address.
  auto after = std::upper_bound(byAddress_.begin(), byAddress_.end(), address,
                                [this](uint32_t a, size_t i) { return a < layout_[i].address; });
  if (after == byAddress_.begin()) return -1;
  const size_t index = *(after - 1);
  if (address - layout_[index].address >= layout_[index].size) return -1;
  return static_cast<int>(index);
}

uint8_t* CSimMemory::WritableCells(size_t index) {
  if (cells_[index].empty()) cells_[index].assign(layout_[index].size, uniform_[index]);
  return cells_[index].data();
}

uint8_t CSimMemory::CellAt(size_t index, size_t offset) const {
  return cells_[index].empty() ? uniform_[index] : cells_[index][offset];
}

void CSimMemory::Blank(size_t index) {
  cells_[index].clear();
  cells_[index].shrink_to_fit();
  uniform_[index] = 0xFF;
}

SimMemoryResult CSimMemory::EraseSector(uint32_t address, uint32_t* erasedBytes) {
  *erasedBytes = 0;
  int index = Find(address);
  if (index < 0) return SimMemoryResult::kAddress;
  if ((layout_[index].access & SIM_ACCESS_ERASE) == 0) return SimMemoryResult::kAccess;
  Blank(static_cast<size_t>(index));
  *erasedBytes = layout_[index].size;
  return SimMemoryResult::kOk;
}

SimMemoryResult CSimMemory::EraseAll(uint64_t* erasedBytes) {
  *erasedBytes = 0;
  for (size_t i = 0; i < layout_.size(); ++i) {
    if ((layout_[i].access & SIM_ACCESS_ERASE) == 0) continue;
    Blank(i);
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
    uint8_t* cells = WritableCells(static_cast<size_t>(index)) + offset;
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
    if (cells_[index].empty()) {
      std::memset(out + *got, uniform_[index], run);
    } else {
      std::memcpy(out + *got, cells_[index].data() + offset, run);
    }
    *got += run;
    at += run;
  }
  return (*got == 0 && count > 0) ? SimMemoryResult::kAddress : SimMemoryResult::kOk;
}

std::vector<uint8_t> CSimMemory::Contents() const {
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(size_));
  for (size_t i = 0; i < layout_.size(); ++i) {
    if (cells_[i].empty()) {
      bytes.insert(bytes.end(), layout_[i].size, uniform_[i]);
    } else {
      bytes.insert(bytes.end(), cells_[i].begin(), cells_[i].end());
    }
  }
  return bytes;
}

bool CSimMemory::LoadContents(const std::vector<uint8_t>& bytes) {
  if (bytes.size() > size_) return false;
  size_t done = 0;
  for (size_t i = 0; i < layout_.size() && done < bytes.size(); ++i) {
    size_t run = std::min<size_t>(layout_[i].size, bytes.size() - done);
    std::memcpy(WritableCells(i), bytes.data() + done, run);
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
    (*out)[k] = CellAt(static_cast<size_t>(index), static_cast<uint32_t>(at) - layout_[index].address);
  }
  return true;
}

bool CSimMemory::SectorHolding(uint32_t address, uint32_t* start, uint32_t* size) const {
  const int index = Find(address);
  if (index < 0) return false;
  *start = layout_[index].address;
  *size = layout_[index].size;
  return true;
}

bool CSimMemory::WriteSectorPiece(size_t index, uint32_t from, uint64_t count,
                                  const PieceWriter& write) const {
  const uint64_t offset = fileOffsets_[index] + from;
  if (!cells_[index].empty()) {
    return write(offset, cells_[index].data() + from, static_cast<size_t>(count));
  }
  constexpr size_t kChunk = 65536;
  static const std::vector<uint8_t> erased(kChunk, 0xFF);
  std::vector<uint8_t> other;
  const std::vector<uint8_t>* chunk = &erased;
  if (uniform_[index] != 0xFF) {
    other.assign(static_cast<size_t>(std::min<uint64_t>(count, kChunk)), uniform_[index]);
    chunk = &other;
  }
  for (uint64_t done = 0; done < count;) {
    const size_t run = static_cast<size_t>(std::min<uint64_t>(count - done, kChunk));
    if (!write(offset + done, chunk->data(), run)) return false;
    done += run;
  }
  return true;
}

bool CSimMemory::WritePieces(uint32_t address, uint64_t count, const PieceWriter& write) const {
  const uint64_t end = uint64_t{address} + count;
  // The first sector (by address) that ends after `address`; sectors never
  // overlap, so the ones that follow it in address order are the rest.
  auto it = std::partition_point(byAddress_.begin(), byAddress_.end(), [&](size_t i) {
    return uint64_t{layout_[i].address} + layout_[i].size <= address;
  });
  for (; it != byAddress_.end() && layout_[*it].address < end; ++it) {
    const SimSectorLayout& sector = layout_[*it];
    const uint64_t from = std::max<uint64_t>(sector.address, address);
    const uint64_t to = std::min<uint64_t>(uint64_t{sector.address} + sector.size, end);
    if (to > from &&
        !WriteSectorPiece(*it, static_cast<uint32_t>(from - sector.address), to - from, write)) {
      return false;
    }
  }
  return true;
}

bool CSimMemory::WriteAllPieces(const PieceWriter& write) const {
  for (size_t i = 0; i < layout_.size(); ++i) {
    if (!WriteSectorPiece(i, 0, layout_[i].size, write)) return false;
  }
  return true;
}

bool CSimMemory::Poke(uint32_t address, const std::vector<uint8_t>& bytes) {
  for (size_t k = 0; k < bytes.size(); ++k) {
    uint64_t at = static_cast<uint64_t>(address) + k;
    int index = at > 0xFFFFFFFFull ? -1 : Find(static_cast<uint32_t>(at));
    if (index < 0) return false;
    WritableCells(static_cast<size_t>(index))[static_cast<uint32_t>(at) - layout_[index].address] = bytes[k];
  }
  return true;
}
