#include "tool/changed_sectors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dfufiles/firmware_test_support.h"

namespace {

TEST(ChangedSectorsTest, ClippingKeepsTheDataInsideTheRangesJoinedWhereItMeets) {
  std::vector<uint8_t> low(0x30), top(0x10);
  for (size_t i = 0; i < low.size(); ++i) low[i] = static_cast<uint8_t>(i);
  for (size_t i = 0; i < top.size(); ++i) top[i] = static_cast<uint8_t>(0xA0 + i);
  // Given out of order, the top element last byte at the top of the address
  // space; two ranges meeting at 0x1020 inside the low element.
  const CImage data = ImageOf(3, {{0xFFFFFFF0, top}, {0x1000, low}});
  const std::vector<AddressRange> ranges = {{0x1020, 0x1040},
                                            {0x1010, 0x1020},
                                            {0xFFFFFFF8, uint64_t{1} << 32}};
  const CImage clipped = ClipToRanges(data, ranges);
  EXPECT_EQ(clipped.alternateSetting, 3);
  const RunList wanted = {{0x1010, std::vector<uint8_t>(low.begin() + 0x10, low.end())},
                          {0xFFFFFFF8, std::vector<uint8_t>(top.begin() + 8, top.end())}};
  EXPECT_EQ(Runs(clipped), wanted);
  EXPECT_EQ(ClipToRanges(data, {{0x2000, 0x3000}}).ElementCount(), 0u);
}

}  // namespace
