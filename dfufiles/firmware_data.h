// Firmware as the readers of toolchain output and DfuSe files hand it over:
// targets (one per alternate setting) holding address-tagged runs of bytes.
// Every reader here works on bytes in memory, checks every length before it
// reads, and reports a refusal as FILE_ERR_BAD_CONTENT with a reason.
#ifndef ZUVA_DFUFILES_FIRMWARE_DATA_H_
#define ZUVA_DFUFILES_FIRMWARE_DATA_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/status_code.h"

struct FirmwareElement {
  uint32_t address = 0;
  std::vector<uint8_t> data;
};

struct FirmwareTarget {
  uint8_t alternate = 0;
  bool named = false;
  std::string name;
  std::vector<FirmwareElement> elements;
};

// What a HEX, S-record or ELF file holds: its data runs in address order and
// the entry (start) address when the file gives one.
struct FirmwareImage {
  std::vector<FirmwareElement> elements;
  bool hasEntry = false;
  uint32_t entry = 0;
};

// Collects byte runs by address for the record-based formats: a run that
// overlaps one already added is refused (two records claiming one byte leave
// no way to know which the author meant), runs that touch are joined.
class CFirmwareBuilder {
 public:
  // False, with `error` set and nothing added, when the run overlaps an
  // earlier one or would reach beyond the 32-bit address space.
  bool Add(uint64_t address, const uint8_t* bytes, size_t size, std::string* error);
  // The runs in address order; the builder is empty afterwards.
  std::vector<FirmwareElement> Take();

 private:
  std::map<uint32_t, std::vector<uint8_t>> runs_;
};

// Total bytes over a list of elements.
uint64_t FirmwareByteCount(const std::vector<FirmwareElement>& elements);

#endif  // ZUVA_DFUFILES_FIRMWARE_DATA_H_
