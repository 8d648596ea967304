#include "dfufiles/firmware_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"

namespace {

// A file that cannot be read is named with the system's words for the
// reason, not only its error number.
TEST(FirmwareFile, ReadFailureNamesTheReasonInWords) {
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_NE(ReadWholeFile(testing::TempDir(), &bytes, &error), RESULT_OK);
  const size_t number = error.find(", system error ");
  ASSERT_NE(number, std::string::npos) << error;
  const size_t open = error.rfind('(', number);
  ASSERT_NE(open, std::string::npos) << error;
  EXPECT_GT(number, open + 1) << error;
}

// A bench runs one flashing process per board, all with the same image: an
// image being read by one of them must open for the others.
TEST(FirmwareFile, OpensWhileAnotherReaderHoldsIt) {
  const std::string path = testing::TempDir() + "/firmware_file_test.bin";
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("image", out);
  std::fclose(out);
  {
    PlatformFile other;
    ASSERT_EQ(other.Open(path, PlatformFile::Mode::kReadAmongReaders), 0u);
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_EQ(ReadWholeFile(path, &bytes, &error), RESULT_OK) << error;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "image");
  }
  std::remove(path.c_str());
}

}  // namespace
