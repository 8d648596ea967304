// Feeds arbitrary bytes to the ELF reader.
#include <string>

#include "dfufiles/elf_image.h"
#include "fuzz/firmware_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FirmwareImage image;
  std::string error;
  if (ParseElf(data, size, &image, &error) != RESULT_OK) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (image.data.ElementCount() == 0) std::abort();
  CheckRuns(image.data);
  return 0;
}
