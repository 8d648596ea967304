// Feeds arbitrary bytes to the DfuSe file reader. An accepted file must come
// back unchanged through the writer and the reader: same targets, same
// elements, same suffix identity, a matching checksum.
#include <cstring>
#include <string>
#include <vector>

#include "dfufiles/dfuse_content.h"
#include "fuzz/firmware_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DfuSeContent content;
  std::string error;
  if (ParseDfuSe(data, size, &content, &error) != RESULT_OK) {
    if (error.empty()) std::abort();
    return 0;
  }
  std::vector<uint8_t> written;
  if (FormatDfuSe(content, &written) != RESULT_OK) std::abort();
  DfuSeContent again;
  if (ParseDfuSe(written.data(), written.size(), &again, &error) != RESULT_OK) std::abort();
  const DfuSuffix& was = content.suffix;
  const DfuSuffix& is = again.suffix;
  if (!is.CrcMatches() || again.targets.size() != content.targets.size() ||
      is.vendorId != was.vendorId || is.productId != was.productId ||
      is.deviceVersion != was.deviceVersion || is.dfuVersion != was.dfuVersion) {
    std::abort();
  }
  for (size_t t = 0; t < content.targets.size(); ++t) {
    const CImage& a = content.targets[t];
    const CImage& b = again.targets[t];
    if (a.alternateSetting != b.alternateSetting || a.isNamed != b.isNamed ||
        std::strcmp(a.name, b.name) != 0 || !SameRuns(a, b)) {
      std::abort();
    }
  }
  return 0;
}
