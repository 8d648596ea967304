// Conversion of a raw flash image into a DfuSe file with one target
// ("Internal Flash", alternate setting 0) holding one element: the whole
// 512 KiB internal-flash window at 0x08000000, erased-flash 0xFF wherever the
// raw image does not reach.
#ifndef ZUVA_APP_CONVERT_RAW_IMAGE_H_
#define ZUVA_APP_CONVERT_RAW_IMAGE_H_

#include <cstdint>

constexpr uint32_t APP_FLASH_WINDOW_ADDRESS = 0x08000000;
constexpr uint32_t APP_FLASH_WINDOW_SIZE = 0x80000;  // also the largest raw image
constexpr uint8_t APP_ERASED_FLASH_BYTE = 0xFF;

// Memory mode when `rawData` is non-null and `rawSize` is not 0 (the default
// image); file mode otherwise, reading the raw image from `sourcePath`.
// `sourcePath` names the source in the console messages; null stands for the
// built-in image ("default BIN"). True when the DfuSe file at `dfuPath` was
// written completely. Reports every outcome on the console but the failure to
// create the DfuSe file, which the caller reports. A DfuSe path that names the
// source file itself (a link) is refused before anything is written.
bool ConvertRawImage(const char* sourcePath, const char* dfuPath, const uint8_t* rawData,
                     uint32_t rawSize);

#endif  // ZUVA_APP_CONVERT_RAW_IMAGE_H_
