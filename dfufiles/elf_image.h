// ELF executables: the file bytes of every loadable segment (PT_LOAD), placed
// at its physical address, which is where a linker puts the load image of
// code that runs from flash. 32- and 64-bit, either byte order; the memory
// size beyond a segment's file size (zero-initialised data) is not part of
// the image.
#ifndef ZUVA_DFUFILES_ELF_IMAGE_H_
#define ZUVA_DFUFILES_ELF_IMAGE_H_

#include <cstddef>
#include <cstdint>

#include "dfufiles/firmware_data.h"

// RESULT_OK with the segments' data and the entry address, or
// FILE_ERR_BAD_CONTENT with the reason in *error: a truncated or malformed
// header, a program header table or segment outside the file, an address
// beyond 32 bits, overlapping segments, or no loadable data at all.
StatusCode ParseElf(const uint8_t* bytes, size_t size, FirmwareImage* image, std::string* error);

#endif  // ZUVA_DFUFILES_ELF_IMAGE_H_
