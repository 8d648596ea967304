// Feeds arbitrary text to the Intel HEX reader. Accepted data must keep the
// readers' promises and survive being written out and read again unchanged.
#include <string>
#include <string_view>

#include "dfufiles/intel_hex.h"
#include "fuzz/firmware_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FirmwareImage image;
  std::string error;
  if (ParseIntelHex(std::string_view(reinterpret_cast<const char*>(data), size), &image, &error) !=
      RESULT_OK) {
    if (error.empty()) std::abort();
    return 0;
  }
  CheckRuns(image.data);
  FirmwareImage again;
  if (ParseIntelHex(FormatIntelHex(image.data.Records()), &again, &error) != RESULT_OK) {
    std::abort();
  }
  if (!SameRuns(image.data, again.data)) std::abort();
  return 0;
}
