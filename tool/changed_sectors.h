// What flash --changed-only compares: which sectors a target touches still
// hold something other than what a flash would leave there, read from the
// device before anything is erased; and the parts of the data that lie in
// given ranges, which is what is then written.
#ifndef ZUVA_TOOL_CHANGED_SECTORS_H_
#define ZUVA_TOOL_CHANGED_SECTORS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/memory_mapping.h"
#include "common/status_code.h"
#include "dfufiles/image.h"
#include "tool/tool_output.h"

// [start, end): end is 64-bit so that a range may end at the top of the
// address space.
struct AddressRange {
  uint32_t start = 0;
  uint64_t end = 0;
};

// The parts of the data inside the ranges, in address order, for the same
// alternate setting; pieces that meet become one element.
CImage ClipToRanges(const CImage& data, const std::vector<AddressRange>& ranges);

// The sectors of `memory` that a flash of `target` must still erase and
// write, appended to *rewrite in map order: each touched sector whose content
// differs from what a plain flash leaves there (the data's bytes, 0xFF
// elsewhere), read first through the engine as the "compare" step on the
// device at `path`; and each touched sector that cannot be both read and
// erased, since what it holds cannot be predicted.
StatusCode RangesToRewrite(const CImage& target, const MemoryMapping& memory,
                           const std::string& path, bool* fastPoll, CToolOutput* out,
                           std::vector<AddressRange>* rewrite);

#endif  // ZUVA_TOOL_CHANGED_SECTORS_H_
