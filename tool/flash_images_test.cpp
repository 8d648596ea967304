#include "tool/flash_images.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/memory_map.h"
#include "dfufiles/firmware_test_support.h"
#include "dfufiles/image_registry.h"

namespace {

MemoryMapping Map(const char* text) {
  MemoryMapping memory{};
  EXPECT_EQ(ParseMemoryMapString(text, &memory), RESULT_OK);
  return memory;
}

// The element records of an image as (address, size, first byte or -1).
std::vector<std::vector<int64_t>> Shape(ImageHandle image) {
  std::vector<std::vector<int64_t>> shape;
  const CImage* held = FindImage(image);
  for (uint32_t i = 0; held != nullptr && i < held->ElementCount(); ++i) {
    const ImageElement* element = held->ElementAt(i);
    shape.push_back({element->address, element->size,
                     element->size != 0 ? int64_t{element->data[0]} : -1});
  }
  return shape;
}

TEST(FittedImagesTest, AreMadeOncePerDataMapAndOperationAndSharedByThreads) {
  const CImage data = ImageOf(0, {{0x08000000, std::vector<uint8_t>(0x5000, 0x11)}});
  const CImage second = ImageOf(1, {{0x08000000, std::vector<uint8_t>(0x5000, 0x11)}});
  const MemoryMapping map = Map("@Internal Flash  /0x08000000/04*016Kg");
  CFittedImages images;
  // Devices that start at once ask at once: each gets the one image.
  std::vector<ImageHandle> got(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back(
        [&, i] { got[i] = images.Get(data, map, OP_CODE_DOWNLOAD, 1); });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(got[0], nullptr);
  for (ImageHandle image : got) EXPECT_EQ(image, got[0]);
  // Cut at the sector boundary, as the download needs it.
  EXPECT_EQ(Shape(got[0]), (std::vector<std::vector<int64_t>>{{0x08000000, 0x4000, 0x11},
                                                              {0x08004000, 0x1000, 0x11}}));

  // Each thing the fitting depends on gives an image of its own.
  const CImage same(data);  // equal, but other data
  const MemoryMapping otherMap = Map("@Internal Flash  /0x08000000/01*064Kg");
  const ImageHandle others[] = {
      images.Get(data, map, OP_CODE_ERASE, 0),    images.Get(data, map, OP_CODE_UPLOAD, 0),
      images.Get(data, map, OP_CODE_DOWNLOAD, 0), images.Get(second, map, OP_CODE_DOWNLOAD, 1),
      images.Get(same, map, OP_CODE_DOWNLOAD, 1), images.Get(data, otherMap, OP_CODE_DOWNLOAD, 1)};
  for (size_t i = 0; i < std::size(others); ++i) {
    EXPECT_NE(others[i], nullptr) << i;
    EXPECT_NE(others[i], got[0]) << i;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(others[i], others[j]) << i << " " << j;
  }
  // The erase image holds markers, the other map one piece.
  EXPECT_EQ(Shape(others[0]), (std::vector<std::vector<int64_t>>{{0x08000000, 0, -1},
                                                                 {0x08004000, 0, -1}}));
  EXPECT_EQ(Shape(others[5]), (std::vector<std::vector<int64_t>>{{0x08000000, 0x5000, 0x11}}));
  EXPECT_EQ(FindImage(others[3])->alternateSetting, 1);
  // An equal map from another device shares the image.
  EXPECT_EQ(images.Get(data, Map("@Internal Flash  /0x08000000/04*016Kg"), OP_CODE_DOWNLOAD, 1),
            got[0]);
}

TEST(FittedImagesTest, GoWithTheirOwner) {
  const CImage data = ImageOf(0, {{0x08000000, {1, 2, 3}}});
  ImageHandle image = nullptr;
  {
    CFittedImages images;
    image = images.Get(data, Map("@Flash /0x08000000/01*016Kg"), OP_CODE_DOWNLOAD, 0);
    ASSERT_NE(FindImage(image), nullptr);
  }
  EXPECT_EQ(FindImage(image), nullptr);
}

TEST(FlashShareTest, PlansEachPlaceOnce) {
  CFlashShare share;
  int plans = 0;
  const auto plan = [&](uint32_t address) {
    return [&plans, address] {
      ++plans;
      std::vector<CImage> targets;
      targets.push_back(ImageOf(0, {{address, {1}}}));
      return targets;
    };
  };
  const std::vector<CImage>* first = &share.Targets(0x08000000, plan(0x08000000));
  EXPECT_EQ(&share.Targets(0x08000000, plan(0x08000000)), first);
  const std::vector<CImage>& other = share.Targets(0x20000000, plan(0x20000000));
  EXPECT_EQ(plans, 2);
  EXPECT_EQ(other[0].ElementAt(0)->address, 0x20000000u);
  EXPECT_EQ((*first)[0].ElementAt(0)->address, 0x08000000u);
}

// What the device returned, block by block, and the first difference the
// verify reports.
struct ReadBackCase {
  const char* name;
  std::vector<std::pair<size_t, std::vector<uint8_t>>> blocks;  // (element, bytes at offset 0)
  std::optional<uint32_t> first;
};

class ReadBackComparisonTest : public testing::TestWithParam<ReadBackCase> {};

TEST_P(ReadBackComparisonTest, ReportsTheLowestAddressThatDiffersAsLastRead) {
  // Elements in the order a file may list them: the higher one first.
  std::vector<uint8_t> high = {1, 2, 3, 4}, low = {5, 6, 7, 8};
  const ImageElement elements[] = {{0x08001000, 4, high.data()}, {0x08000000, 4, low.data()}};
  CReadBackComparison comparison;
  for (const auto& [index, bytes] : GetParam().blocks) {
    comparison.Received(elements[index], 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  EXPECT_EQ(comparison.FirstDifference(), GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadBackComparisonTest,
    testing::Values(
        ReadBackCase{"AllAsWritten", {{0, {1, 2, 3, 4}}, {1, {5, 6, 7, 8}}}, std::nullopt},
        ReadBackCase{"LowerAddressArrivingLaterWins",
                     {{0, {1, 0, 3, 4}}, {1, {5, 6, 0, 8}}}, 0x08000002},
        ReadBackCase{"FirstByteOfTheBlock", {{0, {1, 2, 3, 0}}, {1, {0, 6, 7, 8}}}, 0x08000000},
        ReadBackCase{"AShortBlockComparesItsOwnBytes", {{1, {5, 6}}}, std::nullopt},
        ReadBackCase{"ABlockReadAgainCorrectlyDiffersNoMore",
                     {{1, {5, 0, 7, 8}}, {1, {5, 6, 7, 8}}, {0, {1, 2, 3, 4}}}, std::nullopt},
        ReadBackCase{"ABlockReadAgainDiffersWhereItNowDiffers",
                     {{1, {5, 0, 7, 8}}, {1, {5, 6, 7, 0}}}, 0x08000003}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadBackComparison, NamesEachSectorThatHoldsADifferenceAsLastRead) {
  // Sectors of 2 bytes, blocks of 4: a block spans two sectors, and only the
  // one whose bytes differ is named.
  MemoryMapping memory{};
  for (uint32_t start : {0x08000000u, 0x08000002u, 0x08000004u, 0x08000006u}) {
    memory.sectors.push_back({});
    memory.sectors.back().startAddress = start;
    memory.sectors.back().sectorSize = 2;
  }
  std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
  const ImageElement element = {0x08000000, 8, data.data()};
  CReadBackComparison comparison(&memory);
  const std::vector<uint8_t> first = {1, 2, 3, 0}, second = {0, 6, 7, 0}, again = {5, 6, 7, 8};
  comparison.Received(element, 0, first.data(), 4);
  comparison.Received(element, 4, second.data(), 4);
  EXPECT_EQ(comparison.DifferingSectors(),
            (std::vector<uint32_t>{0x08000002, 0x08000004, 0x08000006}));
  comparison.Received(element, 4, again.data(), 4);
  EXPECT_EQ(comparison.DifferingSectors(), (std::vector<uint32_t>{0x08000002}));
  EXPECT_EQ(comparison.FirstDifference(), 0x08000003u);
}

}  // namespace
