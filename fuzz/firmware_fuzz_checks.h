// What every firmware reader promises about the data it hands over, checked
// after each accepted input: runs in address order, none empty, none
// overlapping or touching (touching runs are joined), none past 4 GiB.
#ifndef ZUVA_FUZZ_FIRMWARE_FUZZ_CHECKS_H_
#define ZUVA_FUZZ_FIRMWARE_FUZZ_CHECKS_H_

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dfufiles/firmware_data.h"

inline void CheckRuns(const std::vector<FirmwareElement>& elements) {
  uint64_t previousEnd = 0;
  bool first = true;
  for (const FirmwareElement& element : elements) {
    if (element.data.empty()) std::abort();
    const uint64_t end = uint64_t{element.address} + element.data.size();
    if (end > (uint64_t{1} << 32)) std::abort();
    if (!first && element.address <= previousEnd) std::abort();
    previousEnd = end;
    first = false;
  }
}

inline bool SameRuns(const std::vector<FirmwareElement>& a, const std::vector<FirmwareElement>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].address != b[i].address || a[i].data != b[i].data) return false;
  }
  return true;
}

#endif  // ZUVA_FUZZ_FIRMWARE_FUZZ_CHECKS_H_
