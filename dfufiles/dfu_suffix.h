// The 16-byte DFU suffix that ends every DFU file, DfuSe or plain: bcdDevice,
// idProduct, idVendor, bcdDFU, the signature "UFD", its own length and a CRC
// over every byte of the file before the CRC field. A plain DFU file is the
// firmware image as the device takes it, followed by this suffix alone.
#ifndef ZUVA_DFUFILES_DFU_SUFFIX_H_
#define ZUVA_DFUFILES_DFU_SUFFIX_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// bcdDFU of a plain DFU file (no DfuSe prefix), and of a DfuSe file.
constexpr uint16_t DFU_SUFFIX_PLAIN_VERSION = 0x0100;
constexpr uint16_t DFU_SUFFIX_DFUSE_VERSION = 0x011A;
// A suffix id of 0xFFFF matches any device.
constexpr uint16_t DFU_SUFFIX_ANY_ID = 0xFFFF;

struct DfuSuffix {
  uint16_t deviceVersion = DFU_SUFFIX_ANY_ID;  // bcdDevice
  uint16_t productId = DFU_SUFFIX_ANY_ID;
  uint16_t vendorId = DFU_SUFFIX_ANY_ID;
  uint16_t dfuVersion = DFU_SUFFIX_PLAIN_VERSION;
  uint32_t storedCrc = 0;    // as read
  uint32_t computedCrc = 0;  // over the bytes read
  bool CrcMatches() const { return storedCrc == computedCrc; }
};

// True when the last 16 bytes are a DFU suffix (signature and length); its
// fields and both checksums then go to *suffix.
bool ReadDfuSuffix(const uint8_t* bytes, size_t size, DfuSuffix* suffix);

// True when the bytes end in a suffix of a plain DFU file: a DFU suffix whose
// bcdDFU is below the DfuSe version.
bool HasPlainDfuSuffix(const uint8_t* bytes, size_t size);

// Why the bytes' tail, which carries the suffix's signature, is no suffix of
// a plain DFU file: its length field is not 16, or its bcdDFU is a DfuSe
// version (a DfuSe file begins with its prefix, which these bytes lack).
// Empty when the tail has no signature or is a plain DFU file's suffix.
std::string UnusableDfuSuffix(const uint8_t* bytes, size_t size);

// Appends the suffix's identity and the CRC over everything in *bytes before
// it; storedCrc and computedCrc are not used.
void AppendDfuSuffix(const DfuSuffix& suffix, std::vector<uint8_t>* bytes);

// The suffix's 16 bytes for a file written in pieces, whose bytes before the
// suffix took the checksum from DFU_CRC_INITIAL to `crc` (UpdateDfuCrc).
std::vector<uint8_t> DfuSuffixAfter(const DfuSuffix& suffix, uint32_t crc);

#endif  // ZUVA_DFUFILES_DFU_SUFFIX_H_
