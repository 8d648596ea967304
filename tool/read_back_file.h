// The file `read` writes what it read from a device into, in the format its
// name asks for: ".dfu" a DfuSe file with one target (from a DfuSe device) or
// a plain DFU file (from a plain one), the device's identity in its suffix;
// ".hex" Intel HEX; any other name the raw bytes of the range read.
#ifndef ZUVA_TOOL_READ_BACK_FILE_H_
#define ZUVA_TOOL_READ_BACK_FILE_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/device_listing.h"
#include "dfufiles/firmware_file.h"
#include "dfufiles/image.h"
#include "dfufiles/intel_hex.h"
#include "tool/output_format.h"

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

// The file written piece after piece as the range is read, so that a range
// of any size costs only a piece's memory. Begin() writes the head (a .dfu
// file's prefixes), each Add() the bytes of the next part of the range, and
// Finish() the tail (a suffix, the HEX end record) and puts the file in
// place; the path keeps its old file until then.
class CReadBackWriter {
 public:
  // `read` gives the format's facts (its elements are not used); `output`
  // was begun by the caller. False with *error when the file cannot hold the
  // range (a .dfu file beyond 4 GiB) or cannot be written.
  bool Begin(const std::string& path, const DfuDeviceInfo& device, const ReadBack& read,
             CWholeFileWriter* output, std::string* error);
  // The part [start, start + length) of the range, the pieces in address
  // order and together the whole range: raw and .dfu files take its bytes,
  // 0xFF where no element lies; a HEX file takes the elements' records.
  bool Add(std::span<const ImageElement> elements, uint32_t start, uint32_t length, std::string* error);
  bool Finish(std::string* error);

 private:
  bool Put(const uint8_t* bytes, size_t size, std::string* error);

  OutputFormat format_ = OutputFormat::kRaw;
  bool suffixed_ = false;  // a .dfu file: a suffix with a checksum over all before it
  DfuSuffix suffix_;
  uint32_t crc_ = 0;
  CIntelHexText hex_;
  CWholeFileWriter* output_ = nullptr;
};

// Writes the file named `path` through `output` (begun by the caller before
// the device was read) from what is read whole in memory. False with *error
// when the read cannot be formatted or the file cannot be written.
bool FinishReadBackFile(const std::string& path, const DfuDeviceInfo& device, const ReadBack& read,
                        CWholeFileWriter* output, std::string* error);

#endif  // ZUVA_TOOL_READ_BACK_FILE_H_
