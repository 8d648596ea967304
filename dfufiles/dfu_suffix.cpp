#include "dfufiles/dfu_suffix.h"

#include <cstdio>
#include <cstring>

#include "dfufiles/dfu_crc.h"
#include "dfufiles/dfu_file.h"
#include "protocol/byte_order.h"
#include "protocol/dfu.h"

bool ReadDfuSuffix(const uint8_t* bytes, size_t size, DfuSuffix* suffix) {
  if (size < DFU_SUFFIX_SIZE) return false;
  const uint8_t* at = bytes + size - DFU_SUFFIX_SIZE;
  if (std::memcmp(at + 8, DFU_SUFFIX_SIGNATURE, 3) != 0 || at[11] != DFU_SUFFIX_SIZE) return false;
  suffix->deviceVersion = GetLe16(at);
  suffix->productId = GetLe16(at + 2);
  suffix->vendorId = GetLe16(at + 4);
  suffix->dfuVersion = GetLe16(at + 6);
  suffix->storedCrc = GetLe32(at + 12);
  suffix->computedCrc = UpdateDfuCrc(DFU_CRC_INITIAL, bytes, size - 4);
  return true;
}

bool HasPlainDfuSuffix(const uint8_t* bytes, size_t size) {
  if (size < DFU_SUFFIX_SIZE) return false;
  const uint8_t* at = bytes + size - DFU_SUFFIX_SIZE;
  return std::memcmp(at + 8, DFU_SUFFIX_SIGNATURE, 3) == 0 && at[11] == DFU_SUFFIX_SIZE &&
         GetLe16(at + 6) < DFU_VERSION_DFUSE;
}

std::string UnusableDfuSuffix(const uint8_t* bytes, size_t size) {
  // The signature and the length field end the suffix before its CRC,
  // whatever length the field gives.
  if (size < DFU_SUFFIX_SIZE) return {};
  const uint8_t* at = bytes + size - DFU_SUFFIX_SIZE;
  if (std::memcmp(at + 8, DFU_SUFFIX_SIGNATURE, 3) != 0) return {};
  if (at[11] != DFU_SUFFIX_SIZE) {
    return "its DFU suffix gives its own length as " + std::to_string(at[11]) + ", not 16";
  }
  const uint16_t version = GetLe16(at + 6);
  if (version >= DFU_VERSION_DFUSE) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", version);
    return std::string("its DFU suffix gives DFU version ") + text +
           ", a DfuSe file, but the file does not begin with the DfuSe prefix";
  }
  return {};
}

std::vector<uint8_t> DfuSuffixAfter(const DfuSuffix& suffix, uint32_t crc) {
  std::vector<uint8_t> tail(DFU_SUFFIX_SIZE);
  PutLe16(tail.data(), suffix.deviceVersion);
  PutLe16(tail.data() + 2, suffix.productId);
  PutLe16(tail.data() + 4, suffix.vendorId);
  PutLe16(tail.data() + 6, suffix.dfuVersion);
  std::memcpy(tail.data() + 8, DFU_SUFFIX_SIGNATURE, 3);
  tail[11] = static_cast<uint8_t>(DFU_SUFFIX_SIZE);
  PutLe32(tail.data() + 12, UpdateDfuCrc(crc, tail.data(), 12));
  return tail;
}

void AppendDfuSuffix(const DfuSuffix& suffix, std::vector<uint8_t>* bytes) {
  const std::vector<uint8_t> tail =
      DfuSuffixAfter(suffix, UpdateDfuCrc(DFU_CRC_INITIAL, bytes->data(), bytes->size()));
  bytes->insert(bytes->end(), tail.begin(), tail.end());
}
