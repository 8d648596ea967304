// The file `read` writes what it read from a device into, in the format its
// name asks for: ".dfu" a DfuSe file with one target (from a DfuSe device) or
// a plain DFU file (from a plain one), the device's identity in its suffix;
// ".hex" Intel HEX; any other name the raw bytes of the range read.
#ifndef ZUVA_TOOL_READ_BACK_FILE_H_
#define ZUVA_TOOL_READ_BACK_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "device/device_listing.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/image.h"

struct ReadBack {
  bool dfuse = true;       // false: a plain DFU device's memory, read from address 0
  uint8_t alternate = 0;   // the alternate setting read
  std::string memoryName;  // DfuSe: the memory's name, the target's name in a .dfu file
  uint32_t start = 0;      // the range read; raw bytes that no element holds are 0xFF
  uint32_t length = 0;
  // What the device answered: records over bytes the caller keeps until the
  // file is written.
  std::vector<ImageElement> elements;
};

// Writes the file named `path` through `output` (begun by the caller before
// the device was read). False with *error when the read cannot be formatted
// or the file cannot be written.
bool FinishReadBackFile(const std::string& path, const DfuDeviceInfo& device, const ReadBack& read,
                        CWholeFileWriter* output, std::string* error);

#endif  // ZUVA_TOOL_READ_BACK_FILE_H_
