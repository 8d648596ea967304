// The checksum of the DFU file suffix: CRC-32 on the reflected polynomial
// 0xEDB88320, started at 0xFFFFFFFF and stored without the final complement
// (so it is the complement of the common CRC-32).
#ifndef ZUVA_DFUFILES_DFU_CRC_H_
#define ZUVA_DFUFILES_DFU_CRC_H_

#include <cstddef>
#include <cstdint>

constexpr uint32_t DFU_CRC_INITIAL = 0xFFFFFFFF;

// Runs the checksum from `crc` over `size` bytes; chain calls to cover data
// in pieces, starting from DFU_CRC_INITIAL.
uint32_t UpdateDfuCrc(uint32_t crc, const uint8_t* data, size_t size);

#endif  // ZUVA_DFUFILES_DFU_CRC_H_
