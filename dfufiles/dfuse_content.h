// A whole DfuSe file in memory: the reader behind `info` and the firmware
// loader, and the writer behind conversions that set their own suffix
// identity. The file is an 11-byte prefix ("DfuSe", version 1, the size of
// everything before the suffix, the target count), the targets (a 274-byte
// prefix, then elements of address, size and bytes) and the 16-byte suffix,
// whose CRC covers every byte before the CRC field.
#ifndef ZUVA_DFUFILES_DFUSE_CONTENT_H_
#define ZUVA_DFUFILES_DFUSE_CONTENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dfufiles/dfu_suffix.h"
#include "dfufiles/image.h"

struct DfuSeContent {
  // One image per target: its alternate setting, its name when it is named,
  // its elements as the file lists them.
  std::vector<CImage> targets;
  // The identity the file is for (any device unless set) and, as read, both
  // checksums; the writer computes the checksum itself.
  DfuSuffix suffix{.dfuVersion = DFU_SUFFIX_DFUSE_VERSION};
  uint32_t imageSize = 0;  // the prefix's size field, as read
};

// RESULT_OK with the content (a checksum that does not match is reported in
// it, not refused: the caller decides), or FILE_ERR_BAD_CONTENT with the
// reason in *error for a file whose structure is broken: wrong signatures or
// version, a target or element that reaches outside its container, target
// sizes that disagree with their elements, or bytes after the last target.
StatusCode ParseDfuSe(const uint8_t* bytes, size_t size, DfuSeContent* content, std::string* error);

// Whether two elements for one alternate setting claim the same byte, in one
// target or in two targets of that setting: the device would be asked to
// program the byte twice, and nothing says which value was meant. True with
// *error naming the later of the two elements and the first address both
// claim.
bool FindDfuSeOverlap(const DfuSeContent& content, std::string* error);

// The file for the content: sizes, counts and the checksum are computed; a
// name is cut to 254 characters. FILE_ERR_BAD_PARAMETER for more than 255
// targets or a target or file beyond 4 GiB.
StatusCode FormatDfuSe(const DfuSeContent& content, std::vector<uint8_t>* bytes);

// The start of the file FormatDfuSe gives for one target (the alternate
// setting and name of `target`, whose elements do not matter) with one
// element of `size` bytes at `address`: everything before the element's
// bytes, for a writer that sends those bytes on as they come and ends the
// file with the suffix (DfuSuffixAfter). FILE_ERR_BAD_PARAMETER for a file
// beyond 4 GiB.
StatusCode FormatDfuSeHead(const CImage& target, uint32_t address, uint32_t size, std::vector<uint8_t>* bytes);

#endif  // ZUVA_DFUFILES_DFUSE_CONTENT_H_
