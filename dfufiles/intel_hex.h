// Intel HEX: text records ":LLAAAATT<data>CC", one per line. Data records
// (00) are placed by the extended segment (02, base x 16, the offset wrapping
// inside its 64 KiB segment) or extended linear (04, upper 16 bits) address
// in force; 03 and 05 give the start address; 01 ends the file.
#ifndef ZUVA_DFUFILES_INTEL_HEX_H_
#define ZUVA_DFUFILES_INTEL_HEX_H_

#include <span>
#include <string>
#include <string_view>

#include "dfufiles/firmware_data.h"

// RESULT_OK with the file's data, or FILE_ERR_BAD_CONTENT with the line and
// reason in *error: a malformed line, a bad checksum, a length that does not
// match the line, an unknown record type, data that overlaps earlier data,
// a missing end record, or anything but blank lines after it.
StatusCode ParseIntelHex(std::string_view text, FirmwareImage* image, std::string* error);

// The elements as Intel HEX text: 16 data bytes per record, an extended
// linear address record whenever the upper 16 bits change, the end record.
std::string FormatIntelHex(std::span<const ImageElement> elements);

// The same text in pieces, for data read piece after piece: the records of
// each piece's elements in turn, then the end record. Pieces that continue
// one another in lengths of whole records (multiples of 16 bytes) give the
// text FormatIntelHex gives for all their elements at once.
class CIntelHexText {
 public:
  std::string Add(std::span<const ImageElement> elements);
  std::string End();

 private:
  bool haveBase_ = false;
  uint32_t upper_ = 0;
};

#endif  // ZUVA_DFUFILES_INTEL_HEX_H_
