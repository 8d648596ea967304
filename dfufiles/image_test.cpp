#include "dfufiles/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

class ImageTest : public ::testing::Test {
 protected:
  void TearDown() override { ImageDestroyAll(); }

  // A registered image holding one element per (address, bytes) pair.
  static ImageHandle MakeImage(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& parts) {
    ImageHandle image = nullptr;
    EXPECT_EQ(ImageCreate(&image), RESULT_OK);
    uint32_t index = 0;
    for (auto part : parts) {
      ImageElement element{part.first, static_cast<uint32_t>(part.second.size()),
                           part.second.data()};
      EXPECT_EQ(ImageSetElement(image, index++, 1, &element), RESULT_OK);
    }
    return image;
  }

  static std::vector<uint8_t> BytesOf(ImageHandle image, uint32_t index) {
    ImageElement element{0, 0, nullptr};
    EXPECT_EQ(ImageGetElement(image, index, &element), RESULT_OK);
    std::vector<uint8_t> bytes(element.size);
    element.data = bytes.data();
    EXPECT_EQ(ImageGetElement(image, index, &element), RESULT_OK);
    return bytes;
  }
};

TEST_F(ImageTest, HandleOperationsRefuseAnUnregisteredHandle) {
  CImage stranger;  // a real image, but never registered
  ImageHandle handle = &stranger;
  ImageHandle out = nullptr;
  uint8_t byte = 1;
  ImageElement element{0, 1, &byte};
  MemoryMapping mapping{};
  struct Case {
    const char* name;
    std::function<StatusCode()> call;
    StatusCode expected;
  };
  const Case cases[] = {
      {"Duplicate", [&] { return ImageDuplicate(handle, &out); }, OP_ERR_BAD_PARAMETER},
      {"GetElement", [&] { return ImageGetElement(handle, 0, &element); }, FILE_ERR_BAD_PARAMETER},
      {"SetElement", [&] { return ImageSetElement(handle, 0, 1, &element); }, FILE_ERR_BAD_PARAMETER},
      {"SetName", [&] { return ImageSetName(handle, "x"); }, FILE_ERR_BAD_PARAMETER},
      {"Destroy", [&] { return ImageDestroy(&handle); }, FILE_ERR_BAD_PARAMETER},
      {"Fit", [&] { return ImageFitToMapping(handle, &mapping, OP_CODE_UPLOAD, 0); },
       FILE_ERR_BAD_PARAMETER},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.name;
  EXPECT_EQ(handle, &stranger);
  EXPECT_EQ(stranger.ElementCount(), 0u);
}

TEST_F(ImageTest, GetElementGivesSizeFirstThenCopiesTheBytes) {
  ImageHandle image = MakeImage({{0x08000000, {1, 2, 3}}});
  ImageElement element{0, 0, nullptr};
  ASSERT_EQ(ImageGetElement(image, 0, &element), RESULT_OK);
  EXPECT_EQ(element.address, 0x08000000u);
  EXPECT_EQ(element.size, 3u);
  EXPECT_EQ(element.data, nullptr);
  EXPECT_EQ(BytesOf(image, 0), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(ImageGetElement(image, 1, &element), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(ImageGetElement(image, 0, nullptr), FILE_ERR_BAD_PARAMETER);
}

TEST_F(ImageTest, SetElementInsertsAtAnyIndexUpToTheCountAndReplacesBelowIt) {
  ImageHandle image = MakeImage({{0x10, {1}}, {0x30, {3}}});
  std::vector<uint8_t> two = {2, 2};
  ImageElement middle{0x20, 2, two.data()};
  ASSERT_EQ(ImageSetElement(image, 1, 1, &middle), RESULT_OK);
  ImageElement last{0x40, 2, two.data()};
  ASSERT_EQ(ImageSetElement(image, 3, 1, &last), RESULT_OK);  // index == count appends
  ASSERT_EQ(image->ElementCount(), 4u);
  const uint32_t expected[] = {0x10, 0x20, 0x30, 0x40};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(image->ElementAt(i)->address, expected[i]);

  // Replace needs an existing element.
  EXPECT_EQ(ImageSetElement(image, 4, 0, &last), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(ImageSetElement(image, 6, 1, &last), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(image->ElementCount(), 4u);

  std::vector<uint8_t> bigger = {9, 8, 7, 6, 5};
  ImageElement replacement{0x31, 5, bigger.data()};
  ASSERT_EQ(ImageSetElement(image, 2, 0, &replacement), RESULT_OK);
  EXPECT_EQ(image->ElementAt(2)->address, 0x31u);
  EXPECT_EQ(BytesOf(image, 2), bigger);
  EXPECT_EQ(image->ElementCount(), 4u);
}

// The upload thread passes an element's own bytes back in replace mode.
TEST_F(ImageTest, ReplaceAcceptsTheElementsOwnBuffer) {
  ImageHandle image = MakeImage({{0x100, {1, 2, 3, 4}}});
  const ImageElement* record = image->ElementAt(0);
  record->data[1] = 0x55;
  ASSERT_TRUE(image->SetElement(0, 0, ImageElement{0x100, 4, record->data}));
  EXPECT_EQ(BytesOf(image, 0), (std::vector<uint8_t>{1, 0x55, 3, 4}));
  // A new size moves the bytes to a new buffer; the source is read first.
  ASSERT_TRUE(image->SetElement(0, 0, ImageElement{0x100, 2, record->data}));
  EXPECT_EQ(BytesOf(image, 0), (std::vector<uint8_t>{1, 0x55}));
}

TEST_F(ImageTest, SetElementRefusesBytesWithoutABuffer) {
  ImageHandle image = MakeImage({});
  ImageElement noBytes{0x100, 16, nullptr};
  EXPECT_EQ(ImageSetElement(image, 0, 1, &noBytes), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(image->ElementCount(), 0u);
  ImageElement marker{0x100, 0, nullptr};  // a zero-size element needs none
  EXPECT_EQ(ImageSetElement(image, 0, 1, &marker), RESULT_OK);
  EXPECT_EQ(ImageSetElement(image, 0, 1, nullptr), FILE_ERR_BAD_PARAMETER);
}

TEST_F(ImageTest, DestroyClearsTheCallersHandleAndRefusesItThen) {
  ImageHandle image = MakeImage({{0, {1}}});
  ASSERT_EQ(ImageDestroy(&image), RESULT_OK);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(ImageDestroy(&image), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(ImageDestroy(nullptr), FILE_ERR_BAD_PARAMETER);
}

TEST_F(ImageTest, DuplicateOwnsItsOwnBuffers) {
  ImageHandle source = MakeImage({{0x08000000, {1, 2, 3}}, {0x08001000, {4}}});
  ASSERT_EQ(ImageSetName(source, "Internal Flash"), RESULT_OK);
  source->alternateSetting = 2;
  ImageHandle copy = nullptr;
  ASSERT_EQ(ImageDuplicate(source, &copy), RESULT_OK);
  ASSERT_NE(copy, source);
  EXPECT_EQ(copy->alternateSetting, 2);
  EXPECT_EQ(copy->isNamed, 1);
  EXPECT_STREQ(copy->name, "Internal Flash");
  ASSERT_EQ(copy->ElementCount(), 2u);
  EXPECT_NE(copy->ElementAt(0)->data, source->ElementAt(0)->data);

  std::vector<uint8_t> other = {7, 7, 7};
  ImageElement changed{0x08000000, 3, other.data()};
  ASSERT_EQ(ImageSetElement(copy, 0, 0, &changed), RESULT_OK);
  EXPECT_EQ(BytesOf(source, 0), (std::vector<uint8_t>{1, 2, 3}));
  ASSERT_EQ(ImageDestroy(&copy), RESULT_OK);
  EXPECT_EQ(BytesOf(source, 0), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(BytesOf(source, 1), (std::vector<uint8_t>{4}));
}

TEST_F(ImageTest, AnInvalidImageIsRefusedAndNotDuplicated) {
  ImageHandle image = MakeImage({{0, {1}}});
  image->isValid = 0;
  ImageElement element{0, 0, nullptr};
  ImageHandle copy = nullptr;
  EXPECT_EQ(ImageGetElement(image, 0, &element), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(ImageSetElement(image, 0, 1, &element), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(ImageDuplicate(image, &copy), FILE_ERR_BAD_CONTENT);
  EXPECT_EQ(copy, nullptr);
  EXPECT_FALSE(image->RemoveElement(0));
  EXPECT_EQ(image->ElementCount(), 1u);
}

TEST_F(ImageTest, RemovingTheLastElementLeavesAUsableImage) {
  ImageHandle image = MakeImage({{0x10, {1}}, {0x20, {2}}});
  EXPECT_FALSE(image->RemoveElement(2));
  ASSERT_TRUE(image->RemoveElement(0));
  EXPECT_EQ(image->ElementAt(0)->address, 0x20u);
  ASSERT_TRUE(image->RemoveElement(0));
  EXPECT_EQ(image->ElementCount(), 0u);
  EXPECT_EQ(image->isValid, 1);
  uint8_t byte = 5;
  ImageElement again{0x30, 1, &byte};
  ASSERT_EQ(ImageSetElement(image, 0, 1, &again), RESULT_OK);
  EXPECT_EQ(BytesOf(image, 0), std::vector<uint8_t>{5});
}

TEST_F(ImageTest, SetNameKeepsAtMost255Characters) {
  ImageHandle image = MakeImage({});
  const struct {
    size_t length;
    size_t kept;
  } cases[] = {{0, 0}, {254, 254}, {255, 255}, {300, 255}};
  for (const auto& c : cases) {
    const std::string name(c.length, 'n');
    ASSERT_EQ(ImageSetName(image, name.c_str()), RESULT_OK);
    EXPECT_EQ(image->isNamed, 1);
    EXPECT_EQ(std::string(image->name), std::string(c.kept, 'n')) << c.length;
  }
  EXPECT_EQ(ImageSetName(image, nullptr), FILE_ERR_BAD_PARAMETER);
}

TEST_F(ImageTest, DestroyAllEmptiesTheRegistry) {
  ImageHandle first = MakeImage({{0, {1}}});
  ImageHandle second = MakeImage({});
  ImageDestroyAll();
  EXPECT_EQ(ImageDestroy(&first), FILE_ERR_BAD_PARAMETER);
  EXPECT_EQ(ImageDestroy(&second), FILE_ERR_BAD_PARAMETER);
  ImageHandle fresh = nullptr;
  EXPECT_EQ(ImageCreate(&fresh), RESULT_OK);
  EXPECT_EQ(ImageDestroy(&fresh), RESULT_OK);
}

TEST_F(ImageTest, ImageFromAFileTargetCopiesTheNameOnlyWhenNamed) {
  CImage named(3, 1, "Option Bytes");
  EXPECT_EQ(named.alternateSetting, 3);
  EXPECT_STREQ(named.name, "Option Bytes");
  CImage unnamed(0, 0, "ignored");
  EXPECT_EQ(unnamed.isNamed, 0);
  EXPECT_STREQ(unnamed.name, "");
}

// Pieces join only with the piece just before them, and only where it ends;
// the joined bytes are copies, in order.
TEST_F(ImageTest, AppendJoinedJoinsEachPieceThatStartsWhereTheOneBeforeEnds) {
  uint8_t a[] = {1, 2};
  uint8_t b[] = {3};
  uint8_t c[] = {4, 5};
  const ImageElement pieces[] = {{0x100, 2, a}, {0x102, 0, nullptr}, {0x102, 1, b},
                                 {0x200, 2, c}, {0x103, 1, b}};
  CImage image(7, 0, nullptr);
  image.AppendJoined(pieces);
  a[0] = 0;  // the image holds its own copy
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> runs;
  for (const ImageElement& e : image.Records()) {
    runs.push_back({e.address, {e.data, e.data + e.size}});
  }
  EXPECT_EQ(runs, (std::vector<std::pair<uint32_t, std::vector<uint8_t>>>{
                      {0x100, {1, 2, 3}}, {0x200, {4, 5}}, {0x103, {3}}}));
  EXPECT_EQ(image.ByteCount(), 6u);

  // Moved, the elements keep their buffers and leave the source empty.
  const uint8_t* held = image.ElementAt(0)->data;
  CImage moved(std::move(image));
  EXPECT_EQ(moved.alternateSetting, 7);
  EXPECT_EQ(moved.ElementAt(0)->data, held);
  EXPECT_EQ(image.ElementCount(), 0u);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
