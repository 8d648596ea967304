#include "dfufiles/sector_geometry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

constexpr uint8_t R = SECTOR_READABLE;
constexpr uint8_t E = SECTOR_ERASABLE;
constexpr uint8_t W = SECTOR_WRITABLE;
constexpr uint8_t ALL = R | E | W;

MappingSector Sector(uint32_t start, uint32_t size, uint8_t type = ALL, uint32_t inUse = 1) {
  return MappingSector{start, 0, 0, size, type, inUse};
}

MemoryMapping Mapping(const std::vector<MappingSector>& sectors) {
  MemoryMapping memory{};
  memory.sectors = sectors;
  memory.sectorCount = static_cast<uint32_t>(sectors.size());
  return memory;
}

// A record over caller-owned bytes.
ImageElement Element(uint32_t address, std::vector<uint8_t>& bytes) {
  return {address, static_cast<uint32_t>(bytes.size()), bytes.data()};
}

std::vector<uint32_t> Starts(const std::vector<const MappingSector*>& sectors) {
  std::vector<uint32_t> starts;
  for (const MappingSector* sector : sectors) starts.push_back(sector->startAddress);
  return starts;
}

TEST(SectorGeometry, OperationsUseTheSectorsWithTheirAccess) {
  const struct {
    OperationCode operation;
    uint8_t type;
    uint32_t inUse;
    bool qualifies;
  } cases[] = {
      {OP_CODE_DOWNLOAD, W, 1, true},     {OP_CODE_DOWNLOAD, R | E, 1, false},
      {OP_CODE_ERASE, E, 1, true},        {OP_CODE_ERASE, R | W, 1, false},
      {OP_CODE_UPLOAD, R, 1, true},       {OP_CODE_UPLOAD, E | W, 1, false},
      {OP_CODE_LEAVE_DFU, R, 1, true},    {OP_CODE_DOWNLOAD, ALL, 0, false},
      {OP_CODE_DETACH, ALL, 1, false},    {OP_CODE_DETACH_RESET, ALL, 1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SectorQualifies(Sector(0, 0x100, c.type, c.inUse), c.operation), c.qualifies)
        << "operation " << c.operation << " type " << int{c.type} << " in use " << c.inUse;
  }
  EXPECT_TRUE(SectorHolds(Sector(0, 0x100, R), 0));
  EXPECT_FALSE(SectorHolds(Sector(0, 0x100, ALL, 0), 0));
  EXPECT_FALSE(SectorHolds(Sector(0, 0x100, R | W), R | E));
}

TEST(SectorGeometry, TouchedSectorsCountEachOverlappedSectorOnce) {
  // The last sector ends at the top of the address space.
  const MemoryMapping memory =
      Mapping({Sector(0x1000, 0x100), Sector(0x1100, 0x100, R), Sector(0x1200, 0x100, ALL, 0),
               Sector(0x1300, 0x100), Sector(0xFFFFFF00, 0x100)});
  std::vector<uint8_t> ending(0x10), crossing(0x20), unused(0x10), top(1), empty;
  const std::vector<ImageElement> elements = {
      Element(0x0FF0, ending),     // ends where the first sector starts
      Element(0x10F0, crossing),   // first and second sector
      Element(0x1000, crossing),   // first sector again
      Element(0x1200, unused),     // a sector not in use
      Element(0x1300, empty),      // no bytes
      Element(0xFFFFFFFF, top)};   // the last byte of the address space
  EXPECT_EQ(Starts(TouchedSectors(elements, memory, 0)),
            (std::vector<uint32_t>{0x1000, 0x1100, 0xFFFFFF00}));
  EXPECT_EQ(Starts(TouchedSectors(elements, memory, E)),
            (std::vector<uint32_t>{0x1000, 0xFFFFFF00}));
  EXPECT_EQ(SectorBytesTouched(elements, memory, E), 0x200u);
  EXPECT_EQ(SectorBytesTouched({}, memory, 0), 0u);
}

TEST(SectorGeometry, FirstAddressOutsideFindsTheFirstUncoveredByte) {
  // Two overlapping sectors, a gap, a read-only sector, and a last sector at
  // the top of the address space.
  const MemoryMapping memory = Mapping({Sector(0x1000, 0x100), Sector(0x1080, 0x100),
                                        Sector(0x1200, 0x100), Sector(0x1300, 0x100, R),
                                        Sector(0xFFFFFF00, 0x100)});
  const struct {
    const char* name;
    uint32_t address;
    size_t size;
    size_t programmed;  // offset of the one byte other than 0xFF; SIZE_MAX: none
    std::optional<uint32_t> any;
    std::optional<uint32_t> programmedOutside;
  } cases[] = {
      {"inside overlapping sectors", 0x1000, 0x180, 0x17F, std::nullopt, std::nullopt},
      {"across the gap", 0x1100, 0x180, 0x90, 0x1180, 0x1190},
      {"blank gap", 0x1100, 0x180, 0x0, 0x1180, std::nullopt},
      {"into a read-only sector", 0x1280, 0x100, 0xC0, 0x1300, 0x1340},
      {"below the map", 0x0F00, 0x101, 0x100, 0x0F00, std::nullopt},
      {"at the top", 0xFFFFFF00, 0x100, 0xFF, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes(c.size, 0xFF);
    if (c.programmed != SIZE_MAX) bytes[c.programmed] = 0x00;
    const std::vector<ImageElement> elements = {Element(c.address, bytes)};
    EXPECT_EQ(FirstAddressOutside(elements, memory, W, OutsideBytes::kAny), c.any) << c.name;
    EXPECT_EQ(FirstAddressOutside(elements, memory, W, OutsideBytes::kProgrammed),
              c.programmedOutside)
        << c.name;
  }
}

TEST(SectorGeometry, FirstAddressOutsideGoesByElementOrder) {
  const MemoryMapping memory = Mapping({Sector(0x1000, 0x100)});
  std::vector<uint8_t> high(0x10, 0x00), low(0x10, 0x00), inside(0x10, 0x00);
  const std::vector<ImageElement> elements = {Element(0x1000, inside), Element(0x2000, high),
                                              Element(0x0100, low)};
  EXPECT_EQ(FirstAddressOutside(elements, memory, W, OutsideBytes::kAny), 0x2000u);
  // With no access no sector covers anything.
  EXPECT_EQ(FirstAddressOutside(elements, memory, std::nullopt, OutsideBytes::kProgrammed),
            0x1000u);
}

TEST(SectorGeometry, AccessibleRunsEndAtAGapOrAnotherAccess) {
  const MemoryMapping memory =
      Mapping({Sector(0x1000, 0x100, R), Sector(0x1100, 0x100), Sector(0x1200, 0x100, R | E),
               Sector(0x1300, 0x100, W), Sector(0x1800, 0x100, R)});
  const struct {
    std::optional<uint32_t> from;
    bool found;
    uint32_t start;
    uint64_t end;
  } cases[] = {
      {std::nullopt, true, 0x1000, 0x1300},
      {0x1150, true, 0x1150, 0x1300},
      {0x1300, false, 0, 0},
      {0x1850, true, 0x1850, 0x1900},
      {0x1900, false, 0, 0},
  };
  for (const auto& c : cases) {
    uint32_t start = 0;
    uint64_t end = 0;
    ASSERT_EQ(AccessibleRunAt(memory, R, c.from, &start, &end), c.found) << c.from.value_or(0);
    if (!c.found) continue;
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
  }
}

TEST(SectorGeometry, LayingElementsKeepsTheEarlierOneAndMarksWhatItCopies) {
  std::vector<uint8_t> first{0x11, 0x12, 0x13, 0x14}, second{0x21, 0x22, 0x23, 0x24};
  const std::vector<ImageElement> elements = {Element(0x1002, first), Element(0x1000, second)};
  std::vector<uint8_t> bytes(8, 0x00);
  std::vector<bool> seen(8, false);
  ASSERT_TRUE(LayElements(elements, 0x1001, bytes, &seen));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x22, 0x11, 0x12, 0x13, 0x14, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(seen, (std::vector<bool>{true, true, true, true, true, false, false, false}));

  std::vector<uint8_t> untouched(4, 0xAA);
  EXPECT_FALSE(LayElements(elements, 0x1006, untouched));
  EXPECT_EQ(untouched, std::vector<uint8_t>(4, 0xAA));
}

}  // namespace
