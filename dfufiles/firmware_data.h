// Firmware as the readers of toolchain output hand it over: an image of
// address-tagged runs of bytes, the same image type the engine transfers.
// Every reader here works on bytes in memory, checks every length before it
// reads, and reports a refusal as FILE_ERR_BAD_CONTENT with a reason.
#ifndef ZUVA_DFUFILES_FIRMWARE_DATA_H_
#define ZUVA_DFUFILES_FIRMWARE_DATA_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/status_code.h"
#include "dfufiles/image.h"

// What a HEX, S-record or ELF file holds: its data runs in address order and
// the entry (start) address when the file gives one.
struct FirmwareImage {
  CImage data;
  bool hasEntry = false;
  uint32_t entry = 0;
};

// Collects byte runs by address for the record-based formats and joins
// them at the end, in O(n log n) whatever order the records come in. Runs
// that touch are joined; a run that overlaps another is refused (two records
// claiming one byte leave no way to know which the author meant).
class CFirmwareBuilder {
 public:
  // `tagName` names what a tag counts in the overlap message ("line",
  // "segment").
  explicit CFirmwareBuilder(const char* tagName) : tagName_(tagName) {}

  // Keeps a copy of the run, tagged with its place in the input. False, with
  // `error` set and nothing added, when it would reach beyond the 32-bit
  // address space.
  bool Add(uint64_t address, const uint8_t* bytes, size_t size, size_t tag, std::string* error);
  // The runs in address order, touching ones joined, appended to *image.
  // False, with *image left as it was, when two runs overlap: *error names
  // the later one by its tag and the first address both claim. The builder
  // is empty afterwards either way.
  bool Take(CImage* image, std::string* error);

 private:
  struct Chunk {
    uint32_t address;
    size_t offset;  // into bytes_
    size_t size;
    size_t tag;
  };
  const char* tagName_;
  std::vector<Chunk> chunks_;
  std::vector<uint8_t> bytes_;
};

// A record over bytes that are only ever read through it (records carry a
// writable pointer).
ImageElement RecordOver(uint32_t address, std::span<const uint8_t> bytes);

#endif  // ZUVA_DFUFILES_FIRMWARE_DATA_H_
