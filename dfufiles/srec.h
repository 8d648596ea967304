// Motorola S-records: text records "S<type><count><address><data><checksum>".
// S1, S2 and S3 carry data at 16-, 24- and 32-bit addresses; S7, S8 and S9
// end the file with the entry address; S5 and S6 count the data records;
// S0 is a header.
#ifndef ZUVA_DFUFILES_SREC_H_
#define ZUVA_DFUFILES_SREC_H_

#include <string_view>

#include "dfufiles/firmware_data.h"

// RESULT_OK with the file's data, or FILE_ERR_BAD_CONTENT with the line and
// reason in *error: a malformed line, a bad checksum, a count that does not
// match the line, an unknown type, overlapping data, a count record that
// disagrees with the data records before it, records after the end, or no
// end record at all.
StatusCode ParseSrec(std::string_view text, FirmwareImage* image, std::string* error);

#endif  // ZUVA_DFUFILES_SREC_H_
