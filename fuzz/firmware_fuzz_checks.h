// What every firmware reader promises about the data it hands over, checked
// after each accepted input: runs in address order, none empty, none
// overlapping or touching (touching runs are joined), none past 4 GiB.
#ifndef ZUVA_FUZZ_FIRMWARE_FUZZ_CHECKS_H_
#define ZUVA_FUZZ_FIRMWARE_FUZZ_CHECKS_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dfufiles/image.h"

inline void CheckRuns(const CImage& image) {
  uint64_t previousEnd = 0;
  bool first = true;
  for (const ImageElement& element : image.Records()) {
    if (element.size == 0 || element.data == nullptr) std::abort();
    const uint64_t end = uint64_t{element.address} + element.size;
    if (end > (uint64_t{1} << 32)) std::abort();
    if (!first && element.address <= previousEnd) std::abort();
    previousEnd = end;
    first = false;
  }
}

inline bool SameRuns(const CImage& a, const CImage& b) {
  if (a.ElementCount() != b.ElementCount()) return false;
  for (uint32_t i = 0; i < a.ElementCount(); ++i) {
    const ImageElement& x = *a.ElementAt(i);
    const ImageElement& y = *b.ElementAt(i);
    if (x.address != y.address || x.size != y.size ||
        (x.size != 0 && std::memcmp(x.data, y.data, x.size) != 0)) {
      return false;
    }
  }
  return true;
}

#endif  // ZUVA_FUZZ_FIRMWARE_FUZZ_CHECKS_H_
