#include "app/convert_raw_image.h"

#include <algorithm>
#include <vector>

#include "dfufiles/dfu_file.h"
#include "dfufiles/image.h"
#include "platform/console.h"
#include "platform/files.h"

namespace {

constexpr const char* APP_FLASH_TARGET_NAME = "Internal Flash";
constexpr const char* APP_DEFAULT_SOURCE_NAME = "default BIN";

void PrintTooLarge() { ConsolePrintf("Invalid file size! File is too large to create image.\n"); }

// Reads the raw file into the start of `window`; bytes past what the file
// holds keep the erased value. False after reporting why.
bool ReadRawFile(const char* sourcePath, std::vector<uint8_t>* window) {
  PlatformFile source;
  const uint32_t openError = source.Open(sourcePath, PlatformFile::Mode::kReadExclusive);
  if (openError != 0) {
    ConsolePrintf("Error %08xh: Cannot open file \"%s\"\n", openError, sourcePath);
    return false;
  }
  uint64_t length = 0;
  uint64_t start = 0;
  if (!source.Seek(0, PlatformFile::Origin::kEnd, &length) ||
      !source.Seek(0, PlatformFile::Origin::kBegin, &start)) {
    ConsolePrintf("Error %08xh: Cannot read file \"%s\"\n", source.LastError(), sourcePath);
    return false;
  }
  if (length > APP_FLASH_WINDOW_SIZE) {
    PrintTooLarge();
    return false;
  }
  // A short count (the file shrank since it was measured) leaves the rest of
  // the window erased; only a failing read is an error.
  size_t bytesRead = 0;
  if (length > 0 && !source.Read(window->data(), static_cast<size_t>(length), &bytesRead)) {
    ConsolePrintf("Error %08xh: Cannot read file \"%s\"\n", source.LastError(), sourcePath);
    return false;
  }
  return true;  // the source is closed here, before the DfuSe file is created
}

// Builds the window, puts it into the image and writes the image as the only
// target of a new DfuSe file.
bool FillAndWrite(ImageHandle image, const char* sourcePath, const char* dfuPath,
                  const uint8_t* rawData, uint32_t rawSize) {
  const char* shownName = sourcePath != nullptr ? sourcePath : APP_DEFAULT_SOURCE_NAME;
  {
    std::vector<uint8_t> window(APP_FLASH_WINDOW_SIZE, APP_ERASED_FLASH_BYTE);
    if (rawData != nullptr && rawSize != 0) {
      if (rawSize > APP_FLASH_WINDOW_SIZE) {
        PrintTooLarge();
        return false;
      }
      std::copy(rawData, rawData + rawSize, window.begin());
    } else if (sourcePath == nullptr || !ReadRawFile(sourcePath, &window)) {
      return false;
    }

    const ImageElement element{APP_FLASH_WINDOW_ADDRESS, APP_FLASH_WINDOW_SIZE, window.data()};
    if (ImageSetElement(image, 0, 1, &element) != RESULT_OK) {
      ConsolePrintf("Unable to insert one element in the image...\n");
      return false;
    }
  }  // the image holds its own copy; the window is released here

  // Creating the DfuSe file truncates it: through a link (or a name such as
  // "fw" whose DfuSe path is "fw.dfu" linked back) that would destroy the
  // raw image the operator still has.
  if (sourcePath != nullptr && PlatformSameFile(sourcePath, dfuPath)) {
    ConsolePrintf("DFU file \"%s\" is the same file as \"%s\"!\n", dfuPath, sourcePath);
    return false;
  }

  FileHandle file = nullptr;
  if (DfuFileCreate(dfuPath, &file) != RESULT_OK) {
    return false;
  }
  const StatusCode appended = DfuFileAppendImage(file, image);
  // Closing puts the complete file in place of any old one; that can fail
  // too (a full disk, a file held by another program).
  const StatusCode closed = DfuFileClose(file);
  if (appended != RESULT_OK || closed != RESULT_OK) {
    ConsolePrintf("Failure for '%s'...\n", shownName);
    return false;
  }
  ConsolePrintf("Success for '%s' !\n", shownName);
  return true;
}

}  // namespace

bool ConvertRawImage(const char* sourcePath, const char* dfuPath, const uint8_t* rawData,
                     uint32_t rawSize) {
  ImageHandle image = nullptr;
  if (ImageCreate(&image) != RESULT_OK) {
    ConsolePrintf("Unable to create image from this file...\n");
    return false;
  }
  ImageSetName(image, APP_FLASH_TARGET_NAME);
  const bool written = FillAndWrite(image, sourcePath, dfuPath, rawData, rawSize);
  ImageDestroy(&image);
  return written;
}
