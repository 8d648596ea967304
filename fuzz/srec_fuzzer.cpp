// Feeds arbitrary text to the S-record reader.
#include <string>
#include <string_view>

#include "dfufiles/srec.h"
#include "fuzz/firmware_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FirmwareImage image;
  std::string error;
  if (ParseSrec(std::string_view(reinterpret_cast<const char*>(data), size), &image, &error) !=
      RESULT_OK) {
    if (error.empty()) std::abort();
    return 0;
  }
  CheckRuns(image.data);
  return 0;
}
