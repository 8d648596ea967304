#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dfufiles/element_runs.h"
#include "dfufiles/image.h"

namespace {

constexpr uint8_t ALL_ACCESS = SECTOR_READABLE | SECTOR_ERASABLE | SECTOR_WRITABLE;

MemoryMapping MakeMapping(const std::vector<MappingSector>& sectors) {
  MemoryMapping mapping{};
  mapping.sectors = sectors;
  mapping.sectorCount = static_cast<uint32_t>(sectors.size());
  return mapping;
}

MappingSector Sector(uint32_t start, uint32_t size, uint8_t type = ALL_ACCESS, uint32_t inUse = 1) {
  return MappingSector{start, 0, 0, size, type, inUse};
}

// Internal flash of eight sectors from 0x08000000 to 0x08080000: four of
// 16 KiB, one of 64 KiB, three of 128 KiB.
MemoryMapping FlashMapping() {
  std::vector<MappingSector> sectors;
  uint32_t address = 0x08000000;
  for (uint32_t size : {0x4000u, 0x4000u, 0x4000u, 0x4000u, 0x10000u, 0x20000u, 0x20000u, 0x20000u}) {
    sectors.push_back(Sector(address, size));
    address += size;
  }
  return MakeMapping(sectors);
}

using Layout = std::vector<std::pair<uint32_t, uint32_t>>;  // (address, size) per element

Layout LayoutOf(const CImage& image) {
  Layout layout;
  for (uint32_t i = 0; i < image.ElementCount(); ++i) {
    layout.emplace_back(image.ElementAt(i)->address, image.ElementAt(i)->size);
  }
  return layout;
}

// Bytes that differ at every position (never 0xFF), so misplaced copies show.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed = 0) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251 + seed) % 0xFF);
  return bytes;
}

void Add(CImage& image, uint32_t address, const std::vector<uint8_t>& bytes) {
  ImageElement element{address, static_cast<uint32_t>(bytes.size()),
                       const_cast<uint8_t*>(bytes.data())};
  ASSERT_TRUE(image.SetElement(image.ElementCount(), 1, element));
}

std::vector<uint8_t> Bytes(const CImage& image, uint32_t index) {
  const ImageElement* element = image.ElementAt(index);
  return std::vector<uint8_t>(element->data, element->data + element->size);
}

TEST(ImageFitting, WholeFlashImageFollowsTheWorkedExample) {
  const MemoryMapping flash = FlashMapping();
  const std::vector<uint8_t> firmware = Pattern(0x80000);
  const Layout sectors = {{0x08000000, 0x4000},  {0x08004000, 0x4000},  {0x08008000, 0x4000},
                          {0x0800C000, 0x4000},  {0x08010000, 0x10000}, {0x08020000, 0x20000},
                          {0x08040000, 0x20000}, {0x08060000, 0x20000}};

  CImage erase;
  Add(erase, 0x08000000, firmware);
  ASSERT_TRUE(erase.FitToMapping(flash, OP_CODE_ERASE, 0));
  ASSERT_EQ(erase.ElementCount(), 8u);
  for (uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(erase.ElementAt(i)->address, sectors[i].first);
    EXPECT_EQ(erase.ElementAt(i)->size, 0u);
    EXPECT_EQ(erase.ElementAt(i)->data, nullptr);
  }

  CImage download;
  Add(download, 0x08000000, firmware);
  ASSERT_TRUE(download.FitToMapping(flash, OP_CODE_DOWNLOAD, 1));
  EXPECT_EQ(LayoutOf(download), sectors);
  for (uint32_t i = 0; i < 8; ++i) {
    const uint32_t offset = sectors[i].first - 0x08000000;
    EXPECT_EQ(Bytes(download, i), std::vector<uint8_t>(firmware.begin() + offset,
                                                       firmware.begin() + offset + sectors[i].second));
  }

  CImage upload;
  Add(upload, 0x08000000, firmware);
  ASSERT_TRUE(upload.FitToMapping(flash, OP_CODE_UPLOAD, 0));
  EXPECT_EQ(LayoutOf(upload), (Layout{{0x08000000, 0x80000}}));
  EXPECT_EQ(Bytes(upload, 0), firmware);
}

TEST(ImageFitting, ElementAcrossASectorBoundaryIsCutThere) {
  const MemoryMapping flash = FlashMapping();
  const std::vector<uint8_t> bytes = Pattern(0x100);
  const struct {
    OperationCode operation;
    Layout expected;
  } cases[] = {
      {OP_CODE_DOWNLOAD, {{0x08003F80, 0x80}, {0x08004000, 0x80}}},
      {OP_CODE_LEAVE_DFU, {{0x08003F80, 0x80}, {0x08004000, 0x80}}},
      {OP_CODE_UPLOAD, {{0x08003F80, 0x100}}},  // merged again
      {OP_CODE_ERASE, {{0x08000000, 0}, {0x08004000, 0}}},
  };
  for (const auto& c : cases) {
    CImage image;
    Add(image, 0x08003F80, bytes);
    ASSERT_TRUE(image.FitToMapping(flash, c.operation, 0));
    EXPECT_EQ(LayoutOf(image), c.expected) << c.operation;
  }
  CImage download;
  Add(download, 0x08003F80, bytes);
  ASSERT_TRUE(download.FitToMapping(flash, OP_CODE_DOWNLOAD, 0));
  EXPECT_EQ(Bytes(download, 1), std::vector<uint8_t>(bytes.begin() + 0x80, bytes.end()));
}

// One sector of each kind, with a gap and a sector not in use; one element
// spans them all.
class SectorQualification : public ::testing::TestWithParam<std::pair<OperationCode, Layout>> {};

TEST_P(SectorQualification, OnlySectorsThatAllowTheOperationKeepData) {
  const MemoryMapping mapping = MakeMapping({
      Sector(0x1000, 0x100, SECTOR_READABLE),
      Sector(0x1100, 0x100, SECTOR_ERASABLE),
      Sector(0x1200, 0x100, SECTOR_WRITABLE),
      Sector(0x1300, 0x100, ALL_ACCESS, 0),  // not in use
      Sector(0x1500, 0x100, ALL_ACCESS),     // after a gap
  });
  CImage image;
  Add(image, 0x1000, Pattern(0x700));
  ASSERT_TRUE(image.FitToMapping(mapping, GetParam().first, 0));
  EXPECT_EQ(LayoutOf(image), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, SectorQualification,
    ::testing::Values(
        std::make_pair(OP_CODE_DETACH, Layout{}),
        std::make_pair(OP_CODE_LEAVE_DFU, Layout{{0x1000, 0x100}, {0x1500, 0x100}}),
        std::make_pair(OP_CODE_UPLOAD, Layout{{0x1000, 0x100}, {0x1500, 0x100}}),
        std::make_pair(OP_CODE_ERASE, Layout{{0x1100, 0}, {0x1500, 0}}),
        std::make_pair(OP_CODE_DOWNLOAD, Layout{{0x1200, 0x100}, {0x1500, 0x100}}),
        std::make_pair(OperationCode{99},
                       Layout{{0x1000, 0x100}, {0x1100, 0x100}, {0x1200, 0x100}, {0x1500, 0x100}})));

TEST(ImageFitting, DataOutsideQualifyingSectorsIsDropped) {
  const MemoryMapping mapping = MakeMapping({Sector(0x1000, 0x100), Sector(0x2000, 0x100, SECTOR_READABLE)});
  CImage image;
  Add(image, 0x1800, Pattern(0x10));   // in the gap
  Add(image, 0x2000, Pattern(0x10));   // only in a sector that cannot be written
  Add(image, 0x10F0, Pattern(0x40));   // runs past the last writable sector
  ASSERT_TRUE(image.FitToMapping(mapping, OP_CODE_DOWNLOAD, 0));
  EXPECT_EQ(LayoutOf(image), (Layout{{0x10F0, 0x10}}));

  CImage nowhere;
  Add(nowhere, 0x1800, Pattern(0x10));
  ASSERT_TRUE(nowhere.FitToMapping(mapping, OP_CODE_ERASE, 0));
  EXPECT_EQ(nowhere.ElementCount(), 0u);
}

TEST(ImageFitting, CutElementsKeepTheirOrderAndPiecesFollowTheMap) {
  const MemoryMapping mapping = MakeMapping({Sector(0x1000, 0x100), Sector(0x1100, 0x100)});
  CImage image;
  Add(image, 0x1080, Pattern(0x100, 1));  // listed first, lies higher
  Add(image, 0x1000, Pattern(0x10, 2));
  ASSERT_TRUE(image.FitToMapping(mapping, OP_CODE_DOWNLOAD, 0));
  EXPECT_EQ(LayoutOf(image), (Layout{{0x1080, 0x80}, {0x1100, 0x80}, {0x1000, 0x10}}));
}

// A map need not list its sectors by address, and sectors may overlap: each
// element's pieces still come in map order, one per sector it touches.
TEST(ImageFitting, PiecesFollowAMapOutOfAddressOrderWithOverlaps) {
  const MemoryMapping mapping =
      MakeMapping({Sector(0x1100, 0x100), Sector(0x1000, 0x200), Sector(0x1000, 0x80)});
  const std::vector<uint8_t> first = Pattern(0x200, 1);
  CImage image;
  Add(image, 0x1000, first);
  Add(image, 0x1100, Pattern(0x10, 2));  // inside the long sector, not the short one
  Add(image, 0x0F00, Pattern(0x100, 3));  // below every sector
  ASSERT_TRUE(image.FitToMapping(mapping, OP_CODE_DOWNLOAD, 0));
  EXPECT_EQ(LayoutOf(image), (Layout{{0x1100, 0x100}, {0x1000, 0x200}, {0x1000, 0x80},
                                     {0x1100, 0x10}, {0x1100, 0x10}}));
  EXPECT_EQ(Bytes(image, 0), std::vector<uint8_t>(first.begin() + 0x100, first.end()));
}

// Data that fitting for a download would drop: non-blank bytes where no
// writable sector lies (gaps, read-only sectors, sectors not in use, below
// or above the map). Blank bytes there are no loss.
TEST(ImageFitting, DataOutsideWritableSectorsIsFound) {
  const MemoryMapping mapping = MakeMapping(
      {Sector(0x1000, 0x100), Sector(0x1080, 0x100), Sector(0x1200, 0x100),
       Sector(0x1300, 0x100, SECTOR_READABLE), Sector(0x1400, 0x100, ALL_ACCESS, 0)});
  const struct {
    const char* name;
    uint32_t address;
    size_t size;
    size_t programmed;  // offset of the one non-blank byte; SIZE_MAX: none
    bool outside;
  } cases[] = {
      {"inside overlapping sectors", 0x1000, 0x180, 0x17F, false},
      {"in the gap", 0x1000, 0x300, 0x1A0, true},
      {"blank gap", 0x1000, 0x300, 0x0, false},
      {"in a read-only sector", 0x1200, 0x200, 0x150, true},
      {"in a sector not in use", 0x1400, 0x10, 0x0, true},
      {"below the map", 0x0F00, 0x101, 0x0, true},
      {"above the map", 0x1200, 0x400, 0x3FF, true},
      {"nothing programmed", 0x0000, 0x10000, SIZE_MAX, false},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes(c.size, 0xFF);
    if (c.programmed != SIZE_MAX) bytes[c.programmed] = 0x00;
    CImage image;
    Add(image, 0x1200, std::vector<uint8_t>(0x10, 0x00));  // another element, inside
    Add(image, c.address, bytes);
    EXPECT_EQ(image.HasDataOutside(mapping, OP_CODE_DOWNLOAD), c.outside) << c.name;
  }
}

TEST(ImageFitting, DownloadWithSkipBlankDropsOnlyBlankPieces) {
  const MemoryMapping mapping = MakeMapping({Sector(0x1000, 0x100), Sector(0x1100, 0x100)});
  std::vector<uint8_t> mostlyBlank(0x200, 0xFF);
  mostlyBlank[0x17F] = 0x00;  // one programmed byte in the second sector
  const std::vector<uint8_t> allBlank(0x40, 0xFF);

  CImage skipping;
  Add(skipping, 0x1000, mostlyBlank);
  Add(skipping, 0x1000, allBlank);
  ASSERT_TRUE(skipping.FitToMapping(mapping, OP_CODE_DOWNLOAD, 1));
  ASSERT_EQ(LayoutOf(skipping), (Layout{{0x1100, 0x100}}));
  EXPECT_EQ(Bytes(skipping, 0), std::vector<uint8_t>(mostlyBlank.begin() + 0x100, mostlyBlank.end()));

  CImage keeping;
  Add(keeping, 0x1000, mostlyBlank);
  Add(keeping, 0x1000, allBlank);
  ASSERT_TRUE(keeping.FitToMapping(mapping, OP_CODE_DOWNLOAD, 0));
  EXPECT_EQ(LayoutOf(keeping), (Layout{{0x1000, 0x100}, {0x1100, 0x100}, {0x1000, 0x40}}));
}

TEST(ImageFitting, EraseWithSkipBlankMarksOnlySectorsThatGetData) {
  const MemoryMapping mapping =
      MakeMapping({Sector(0x1000, 0x100), Sector(0x1100, 0x100), Sector(0x1200, 0x100)});
  // Sector 0x1000: blank bytes only. Sector 0x1100: data, but hidden under a
  // blank element of lower index. Sector 0x1200: one programmed byte.
  CImage image;
  Add(image, 0x1000, std::vector<uint8_t>(0x200, 0xFF));
  Add(image, 0x1100, Pattern(0x100));
  std::vector<uint8_t> last(0x100, 0xFF);
  last[0xFF] = 0x12;
  Add(image, 0x1200, last);
  CImage withoutSkip(image);
  ASSERT_TRUE(image.FitToMapping(mapping, OP_CODE_ERASE, 1));
  EXPECT_EQ(LayoutOf(image), (Layout{{0x1200, 0}}));
  ASSERT_TRUE(withoutSkip.FitToMapping(mapping, OP_CODE_ERASE, 0));
  EXPECT_EQ(LayoutOf(withoutSkip), (Layout{{0x1000, 0}, {0x1100, 0}, {0x1200, 0}}));
}

TEST(ImageFitting, UploadMergesOnlyTouchingElements) {
  const MemoryMapping flash = FlashMapping();
  CImage touching;
  Add(touching, 0x08000000, Pattern(0x4000, 1));
  Add(touching, 0x08004000, Pattern(0x4000, 2));
  ASSERT_TRUE(touching.FitToMapping(flash, OP_CODE_UPLOAD, 0));
  EXPECT_EQ(LayoutOf(touching), (Layout{{0x08000000, 0x8000}}));
  std::vector<uint8_t> joined = Pattern(0x4000, 1);
  const std::vector<uint8_t> second = Pattern(0x4000, 2);
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(Bytes(touching, 0), joined);

  CImage gap;
  Add(gap, 0x08000000, Pattern(0x4000));
  Add(gap, 0x08004001, Pattern(0x10));
  ASSERT_TRUE(gap.FitToMapping(flash, OP_CODE_UPLOAD, 0));
  EXPECT_EQ(LayoutOf(gap), (Layout{{0x08000000, 0x4000}, {0x08004001, 0x10}}));
}

TEST(ImageFitting, MergeAdjacentSortsUnsignedAndKeepsEqualAddressesInOrder) {
  CImage image;
  Add(image, 0x90000000, Pattern(0x10));
  Add(image, 0x08000000, std::vector<uint8_t>{1});
  Add(image, 0x08000000, std::vector<uint8_t>{2, 2});  // overlaps: stays separate
  Add(image, 0x08000002, std::vector<uint8_t>{3});     // touches the second one only
  image.MergeAdjacent();
  EXPECT_EQ(LayoutOf(image), (Layout{{0x08000000, 1}, {0x08000000, 3}, {0x90000000, 0x10}}));
  EXPECT_EQ(Bytes(image, 1), (std::vector<uint8_t>{2, 2, 3}));
}

TEST(ImageFitting, TouchingRunsStopAtGapsOverlapsAndTheSizeLimit) {
  // Extents only: the size limit is reached by 4 GiB of elements, which no
  // test can allocate.
  struct Case {
    const char* name;
    std::vector<ElementExtent> extents;
    std::vector<std::pair<size_t, size_t>> runs;  // (first, last)
  };
  const Case cases[] = {
      {"gap", {{0x1000, 0x10}, {0x1011, 0x10}}, {{0, 0}, {1, 1}}},
      {"overlap", {{0x1000, 0x10}, {0x1008, 0x10}}, {{0, 0}, {1, 1}}},
      {"touching, with an empty one between", {{0x1000, 0x10}, {0x1010, 0}, {0x1010, 4}},
       {{0, 2}}},
      {"exactly the largest size", {{0, 0x80000000}, {0x80000000, 0x7FFFFFFF}}, {{0, 1}}},
      {"one byte over the largest size", {{0, 0xFFFFFFFF}, {0xFFFFFFFF, 1}}, {{0, 0}, {1, 1}}},
      {"the cut starts a new run that joins on",
       {{0, 0x80000000}, {0x80000000, 0x80000000u - 1}, {0xFFFFFFFF, 1}},
       {{0, 1}, {2, 2}}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<size_t, size_t>> runs;
    uint64_t covered = 0;
    for (const ElementRun& run : TouchingRuns(c.extents)) {
      runs.emplace_back(run.first, run.last);
      uint64_t size = 0;
      for (size_t i = run.first; i <= run.last; ++i) size += c.extents[i].size;
      EXPECT_EQ(run.size, size) << c.name;
      covered += run.last - run.first + 1;
    }
    EXPECT_EQ(runs, c.runs) << c.name;
    EXPECT_EQ(covered, c.extents.size()) << c.name;
  }
}

TEST(ImageFitting, ReadRangeAssemblesWithLowerIndexOnTop) {
  CImage image;
  Add(image, 0x1004, std::vector<uint8_t>{1, 1});
  Add(image, 0x1002, std::vector<uint8_t>{2, 2, 2, 2});
  std::vector<uint8_t> buffer(8, 0xAA);
  ASSERT_TRUE(image.ReadRange(0x1000, 8, buffer.data()));
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0xFF, 0xFF, 2, 2, 1, 1, 0xFF, 0xFF}));

  std::vector<uint8_t> untouched(4, 0xAA);
  EXPECT_FALSE(image.ReadRange(0x1006, 4, untouched.data()));
  EXPECT_EQ(untouched, std::vector<uint8_t>(4, 0xAA));
}

TEST(ImageFitting, AnElementEndingAtTheTopOfTheAddressSpaceStillOverlaps) {
  const MemoryMapping mapping = MakeMapping({Sector(0xFFFFF000, 0x1000)});
  CImage image;
  Add(image, 0xFFFFFF00, Pattern(0x100));
  std::vector<uint8_t> buffer(0x80);
  EXPECT_TRUE(image.ReadRange(0xFFFFFF80, 0x80, buffer.data()));
  CImage erase(image);
  ASSERT_TRUE(image.FitToMapping(mapping, OP_CODE_UPLOAD, 0));
  EXPECT_EQ(LayoutOf(image), (Layout{{0xFFFFFF00, 0x100}}));
  ASSERT_TRUE(erase.FitToMapping(mapping, OP_CODE_ERASE, 1));
  EXPECT_EQ(LayoutOf(erase), (Layout{{0xFFFFF000, 0}}));
}

TEST(ImageFitting, AnInvalidImageIsNotFitted) {
  const MemoryMapping flash = FlashMapping();
  ImageHandle image = nullptr;
  ASSERT_EQ(ImageCreate(&image), RESULT_OK);
  uint8_t byte = 1;
  ImageElement element{0x08000000, 1, &byte};
  ASSERT_EQ(ImageSetElement(image, 0, 1, &element), RESULT_OK);
  EXPECT_EQ(ImageFitToMapping(image, nullptr, OP_CODE_ERASE, 0), FILE_ERR_BAD_PARAMETER);
  image->isValid = 0;
  EXPECT_EQ(ImageFitToMapping(image, &flash, OP_CODE_ERASE, 0), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(LayoutOf(*image), (Layout{{0x08000000, 1}}));
  EXPECT_FALSE(image->ReadRange(0x08000000, 1, &byte));
  image->isValid = 1;
  EXPECT_EQ(ImageFitToMapping(image, &flash, OP_CODE_ERASE, 0), RESULT_OK);
  EXPECT_EQ(LayoutOf(*image), (Layout{{0x08000000, 0}}));
  EXPECT_EQ(ImageDestroy(&image), RESULT_OK);
}

TEST(ImageFitting, ImageFromMappingHoldsErasedInUseSectors) {
  MemoryMapping mapping = MakeMapping({Sector(0x1000, 0x20), Sector(0x2000, 0x10, ALL_ACCESS, 0),
                                       Sector(0x3000, 0x08, SECTOR_READABLE)});
  mapping.alternateSetting = 2;
  ImageHandle image = nullptr;
  ASSERT_EQ(ImageCreateFromMapping(&mapping, &image), RESULT_OK);
  EXPECT_EQ(image->alternateSetting, 2);
  EXPECT_EQ(image->isNamed, 0);
  EXPECT_EQ(LayoutOf(*image), (Layout{{0x1000, 0x20}, {0x3000, 0x08}}));
  EXPECT_EQ(Bytes(*image, 0), std::vector<uint8_t>(0x20, 0xFF));
  EXPECT_EQ(Bytes(*image, 1), std::vector<uint8_t>(0x08, 0xFF));
  EXPECT_EQ(ImageDestroy(&image), RESULT_OK);

  const MemoryMapping unused = MakeMapping({Sector(0x1000, 0x20, ALL_ACCESS, 0)});
  ASSERT_EQ(ImageCreateFromMapping(&unused, &image), RESULT_OK);
  EXPECT_EQ(image->ElementCount(), 0u);
  EXPECT_EQ(ImageDestroy(&image), RESULT_OK);
  EXPECT_EQ(ImageCreateFromMapping(nullptr, &image), FILE_ERR_BAD_PARAMETER);
}

TEST(ImageFitting, AnEmptyMappingLeavesNoElements) {
  const MemoryMapping empty = MakeMapping({});
  for (OperationCode operation : {OP_CODE_ERASE, OP_CODE_DOWNLOAD, OP_CODE_UPLOAD}) {
    CImage image;
    Add(image, 0x08000000, Pattern(0x10));
    ASSERT_TRUE(image.FitToMapping(empty, operation, 0));
    EXPECT_EQ(image.ElementCount(), 0u) << operation;
  }
}

}  // namespace
