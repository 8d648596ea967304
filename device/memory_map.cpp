#include "device/memory_map.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "device/device_manager.h"
#include "device/dfu_requests.h"

// The separators searched for below ('/', '*', '-', ',') are all below 0x40.
// No trail byte of a Windows double-byte code page is below 0x40, and no byte
// of a UTF-8 multi-byte character is below 0x80, so a plain byte search never
// takes half of a character for a separator.

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An unsigned 32-bit hexadecimal number at `pos`: leading white space and a
// "0x" prefix allowed, reading stops at the first non-hex character, a value
// beyond 32 bits reads as 0xFFFFFFFF. Returns the position after the number.
size_t ReadHex(std::string_view s, size_t pos, uint32_t* value) {
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  if (pos + 2 < s.size() && s[pos] == '0' && (s[pos + 1] == 'x' || s[pos + 1] == 'X') &&
      HexDigitValue(s[pos + 2]) >= 0) {
    pos += 2;
  }
  uint64_t result = 0;
  while (pos < s.size() && HexDigitValue(s[pos]) >= 0) {
    result = std::min<uint64_t>((result << 4) | static_cast<uint64_t>(HexDigitValue(s[pos])),
                                0x100000000ull);
    ++pos;
  }
  *value = result > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(result);
  return pos;
}

// The decimal count of a group, from `pos` up to (not including) `end`:
// leading white space and a sign allowed, reading stops at the first
// non-digit. A negative count wraps to a huge unsigned one; the caller never
// writes past the counted list.
uint32_t ReadCount(std::string_view s, size_t pos, size_t end) {
  while (pos < end && IsSpace(s[pos])) ++pos;
  bool negative = false;
  if (pos < end && (s[pos] == '+' || s[pos] == '-')) {
    negative = s[pos] == '-';
    ++pos;
  }
  uint64_t value = 0;
  while (pos < end && IsDigit(s[pos])) {
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(s[pos] - '0'), 0xFFFFFFFFull);
    ++pos;
  }
  uint32_t count = static_cast<uint32_t>(value);
  return negative ? 0u - count : count;
}

// Counting pass: the digits right before every '*' from the first one after
// the name onwards.
bool CountSectors(std::string_view s, size_t firstStar, uint64_t* total) {
  *total = 0;
  for (size_t star = firstStar; star != std::string_view::npos; star = s.find('*', star + 1)) {
    size_t begin = star;
    while (begin > 0 && IsDigit(s[begin - 1])) --begin;
    uint64_t count = 0;
    for (size_t i = begin; i < star; ++i) {
      count = count * 10 + static_cast<uint64_t>(s[i] - '0');
      if (count > MEMORY_MAP_MAX_SECTORS) return false;
    }
    *total += count;
    if (*total > MEMORY_MAP_MAX_SECTORS) return false;
  }
  return *total != 0;
}

char CharAt(std::string_view s, size_t pos) { return pos < s.size() ? s[pos] : '\0'; }

// Parse pass over the blocks "/address/group,group..." that follow the name.
// Writes at most sectors->size() sectors.
void ParseBlocks(std::string_view s, size_t p, std::vector<MappingSector>* sectors) {
  const size_t total = sectors->size();
  size_t j = 0;
  while (j < total) {
    // Block: the address runs from after the '/' at p up to the next '/'.
    if (p >= s.size() || ++p >= s.size()) return;
    size_t addressEnd = s.find('/', p);
    if (addressEnd == std::string_view::npos) return;
    std::string_view address = s.substr(0, addressEnd);
    uint32_t first = 0;
    uint32_t second = 0;
    size_t afterFirst = ReadHex(address, p, &first);
    second = first;
    if (address.find('-', p) != std::string_view::npos) {
      // The second address of a paired block starts right after whatever
      // character ended the first.
      ReadHex(address, afterFirst + 1, &second);
    }

    // Groups "count*size<unit><type>", introduced by the '/' ending the
    // address and then by ','.
    p = addressEnd;
    for (;;) {
      ++p;  // past the separator
      size_t star = s.find('*', p);
      if (star == std::string_view::npos) break;
      uint32_t count = ReadCount(s, p, star);
      size_t digitsEnd = star + 1;
      uint32_t size = 0;
      while (digitsEnd < s.size() && IsDigit(s[digitsEnd])) {
        size = size * 10 + static_cast<uint32_t>(s[digitsEnd] - '0');  // wraps in 32 bits
        ++digitsEnd;
      }
      char unit = CharAt(s, digitsEnd);
      if (unit == 'K') size <<= 10;
      if (unit == 'M') size <<= 20;
      // A string that ends inside the group has no unit or type; nothing is
      // read beyond its end.
      char type = unit == '\0' ? '\0' : CharAt(s, digitsEnd + 1);
      uint32_t emit = static_cast<uint32_t>(std::min<uint64_t>(count, total - j));
      for (uint32_t k = 0; k < emit; ++k, ++j) {
        MappingSector& sector = (*sectors)[j];
        sector.startAddress = first;
        sector.pairedAddress = second;
        sector.sectorIndex = static_cast<uint32_t>(j);
        sector.sectorSize = size;
        sector.sectorType = static_cast<uint8_t>(type);
        sector.inUse = 1;
        first += size;  // addresses wrap in 32 bits
        second += size;
      }
      p = std::min(digitsEnd + 2, s.size());
      if (CharAt(s, p) != ',') break;
    }
  }
}

}  // namespace

StatusCode ParseMemoryMapString(std::string_view text, MemoryMapping* record) {
  if (record == nullptr) return OP_ERR_BAD_PARAMETER;
  // Like every C string, the text ends at its first NUL.
  text = text.substr(0, text.find('\0'));
  if (text.empty() || text[0] != '@') return OP_ERR_BAD_PARAMETER;
  size_t firstSlash = text.find('/');
  if (firstSlash == std::string_view::npos) return OP_ERR_BAD_PARAMETER;
  size_t firstStar = text.find('*', firstSlash);
  if (firstStar == std::string_view::npos) return OP_ERR_BAD_PARAMETER;
  uint64_t total = 0;
  if (!CountSectors(text, firstStar, &total)) return OP_ERR_BAD_PARAMETER;

  // Sectors the parse pass does not reach stay zero, with inUse 0.
  std::vector<MappingSector> sectors(static_cast<size_t>(total), MappingSector{});
  ParseBlocks(text, firstSlash, &sectors);

  std::string_view name = text.substr(1, firstSlash - 1);
  name = name.substr(0, sizeof(record->memoryName) - 1);
  std::memset(record->memoryName, 0, sizeof(record->memoryName));
  std::memcpy(record->memoryName, name.data(), name.size());
  record->sectorCount = static_cast<uint32_t>(total);
  record->sectors = std::move(sectors);
  return RESULT_OK;
}

StatusCode DecodeMemoryMapping(const std::string& path, MemoryMappingArray* mapping,
                               uint32_t* alternateCount) {
  if (mapping == nullptr || alternateCount == nullptr) return DEV_ERR_BAD_PARAMETER;
  DeviceHandle handle = DEVICE_INVALID_HANDLE;
  StatusCode status = OpenDevice(path, &handle);
  if (status != RESULT_OK) return status;

  uint32_t interfaceNumber = 0;
  uint32_t count = 0;
  DfuFunctionalDescriptor functional{};
  MemoryMappingArray records;
  uint64_t sectorTotal = 0;
  status = ReadDfuFunctionalDescriptor(&handle, &interfaceNumber, &count, &functional);
  if (status == RESULT_OK) {
    records = std::make_unique<MemoryMapping[]>(static_cast<size_t>(count) + 1);
  }
  for (uint32_t k = 0; status == RESULT_OK && k < count; ++k) {
    uint8_t interfaceDescriptor[DEVICE_INTERFACE_DESCRIPTOR_SIZE] = {};
    // A DFU-mode device has the one interface 0, so its number serves as
    // the ordinal.
    status = ReadInterfaceDescriptor(handle, interfaceNumber, k, interfaceDescriptor);
    if (status != RESULT_OK) break;
    uint8_t stringIndex = interfaceDescriptor[8];
    if (stringIndex == 0) {
      status = OP_ERR_BAD_PARAMETER;  // no memory-map string for this setting
      break;
    }
    char text[DEVICE_STRING_BUFFER_SIZE] = {};
    status = ReadStringDescriptor(handle, stringIndex, text);
    if (status != RESULT_OK) break;
    status = ParseMemoryMapString(std::string_view(text, sizeof text), &records[k]);
    records[k].alternateSetting = interfaceDescriptor[3];
    // Every string alone is within the bound; so must all of them be, or a
    // device with many alternate settings could still ask for gigabytes.
    sectorTotal += records[k].sectorCount;
    if (status == RESULT_OK && sectorTotal > MEMORY_MAP_MAX_SECTORS) status = OP_ERR_BAD_PARAMETER;
  }
  CloseDevice(handle);
  if (status != RESULT_OK) return status;  // `records` and its lists go with it
  *mapping = std::move(records);
  *alternateCount = count;
  return RESULT_OK;
}

void FreeMemoryMapping(MemoryMappingArray* mapping) {
  if (mapping != nullptr) mapping->reset();
}
