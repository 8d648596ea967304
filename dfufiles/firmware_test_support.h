// Builders of firmware files for the reader tests: records with their
// checksums computed, so that each case states only what it is about.
#ifndef ZUVA_DFUFILES_FIRMWARE_TEST_SUPPORT_H_
#define ZUVA_DFUFILES_FIRMWARE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dfufiles/firmware_data.h"

// One Intel HEX line with a correct checksum.
inline std::string HexRecord(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
  char text[8];
  std::string line = ":";
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                                type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  for (uint8_t b : bytes) {
    std::snprintf(text, sizeof text, "%02X", b);
    line += text;
  }
  return line + "\n";
}

// One S-record line with a correct count and checksum.
inline std::string SrecRecord(int type, uint32_t address, size_t addressBytes,
                              const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(addressBytes + data.size() + 1)};
  for (size_t i = addressBytes; i-- > 0;) bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(~sum));
  std::string line = "S" + std::to_string(type);
  char text[4];
  for (uint8_t b : bytes) {
    std::snprintf(text, sizeof text, "%02X", b);
    line += text;
  }
  return line + "\n";
}

using RunList = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

// A compact view of an image's elements for comparisons: address and bytes
// per element.
inline RunList Runs(const CImage& image) {
  RunList runs;
  for (const ImageElement& e : image.Records()) {
    runs.emplace_back(e.address, std::vector<uint8_t>(e.data, e.data + e.size));
  }
  return runs;
}

// An image holding the runs as its elements, in the order given; named when
// `name` is given.
inline CImage ImageOf(uint8_t alternate, const RunList& runs, const char* name = nullptr) {
  CImage image(alternate, name != nullptr ? 1 : 0, name);
  for (const auto& [address, bytes] : runs) {
    image.SetElement(image.ElementCount(), 1, RecordOver(address, bytes));
  }
  return image;
}

// A target as a case states it: its alternate setting and its runs.
struct TargetRuns {
  uint8_t alternate;
  RunList runs;
};

inline std::vector<CImage> ImagesOf(const std::vector<TargetRuns>& targets) {
  std::vector<CImage> images;
  for (const TargetRuns& target : targets) images.push_back(ImageOf(target.alternate, target.runs));
  return images;
}

// Cases of the text readers (Intel HEX, S-records).
struct RecordValidCase {
  const char* name;
  std::string text;
  RunList runs;
  bool hasEntry;
  uint32_t entry;
};

struct RecordInvalidCase {
  const char* name;
  std::string text;
  const char* reason;  // a piece of the error text
};

using RecordParser = StatusCode (*)(std::string_view, FirmwareImage*, std::string*);

inline void ExpectParsed(RecordParser parse, const RecordValidCase& c) {
  FirmwareImage image;
  std::string error;
  ASSERT_EQ(parse(c.text, &image, &error), RESULT_OK) << error;
  EXPECT_EQ(Runs(image.data), c.runs);
  EXPECT_EQ(image.hasEntry, c.hasEntry);
  if (c.hasEntry) {
    EXPECT_EQ(image.entry, c.entry);
  }
}

inline void ExpectRefused(RecordParser parse, const RecordInvalidCase& c) {
  FirmwareImage image;
  std::string error;
  EXPECT_EQ(parse(c.text, &image, &error), FILE_ERR_BAD_CONTENT);
  EXPECT_NE(error.find(c.reason), std::string::npos) << error;
}

#endif  // ZUVA_DFUFILES_FIRMWARE_TEST_SUPPORT_H_
