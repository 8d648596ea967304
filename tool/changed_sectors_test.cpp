#include "tool/changed_sectors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(ChangedSectorsTest, ClippingKeepsTheDataInsideTheRangesJoinedWhereItMeets) {
  std::vector<uint8_t> low(0x30), top(0x10);
  for (size_t i = 0; i < low.size(); ++i) low[i] = static_cast<uint8_t>(i);
  for (size_t i = 0; i < top.size(); ++i) top[i] = static_cast<uint8_t>(0xA0 + i);
  // Given out of order, the top element last byte at the top of the address
  // space; two ranges meeting at 0x1020 inside the low element.
  const std::vector<FirmwareElement> elements = {{0xFFFFFFF0, top}, {0x1000, low}};
  const std::vector<AddressRange> ranges = {{0x1020, 0x1040},
                                            {0x1010, 0x1020},
                                            {0xFFFFFFF8, uint64_t{1} << 32}};
  const std::vector<FirmwareElement> clipped = ClipToRanges(elements, ranges);
  ASSERT_EQ(clipped.size(), 2u);
  EXPECT_EQ(clipped[0].address, 0x1010u);
  EXPECT_EQ(clipped[0].data, std::vector<uint8_t>(low.begin() + 0x10, low.end()));
  EXPECT_EQ(clipped[1].address, 0xFFFFFFF8u);
  EXPECT_EQ(clipped[1].data, std::vector<uint8_t>(top.begin() + 8, top.end()));
  EXPECT_TRUE(ClipToRanges(elements, {{0x2000, 0x3000}}).empty());
}

}  // namespace
