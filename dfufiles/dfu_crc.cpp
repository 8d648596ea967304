#include "dfufiles/dfu_crc.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> CRC_TABLE = MakeCrcTable();

}  // namespace

uint32_t UpdateDfuCrc(uint32_t crc, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) crc = CRC_TABLE[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}
