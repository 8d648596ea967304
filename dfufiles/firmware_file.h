// Loading a firmware file of any supported format, recognised by its
// content: a DfuSe file, a plain DFU file (an image with a DFU suffix), an
// ELF file, Intel HEX, S-records, or else raw bytes. A name ending in ".bin" always means raw bytes, whatever they
// begin with.
#ifndef ZUVA_DFUFILES_FIRMWARE_FILE_H_
#define ZUVA_DFUFILES_FIRMWARE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dfufiles/dfu_suffix.h"
#include "dfufiles/dfuse_content.h"
#include "dfufiles/firmware_data.h"
#include "platform/files.h"

enum class FirmwareFormat { kRaw, kDfuSe, kPlainDfu, kIntelHex, kSrec, kElf };

// Whether a file name ends in `tail` (lower case), whatever the case of the
// name.
bool NameEndsWith(const std::string& name, std::string_view tail);

// "raw", "dfuse", "dfu", "ihex", "srec", "elf".
const char* FirmwareFormatName(FirmwareFormat format);

FirmwareFormat DetectFirmwareFormat(const std::string& name, const uint8_t* bytes, size_t size);

struct FirmwareFile {
  FirmwareFormat format = FirmwareFormat::kRaw;
  DfuSeContent dfuse;        // kDfuSe
  FirmwareImage image;       // kIntelHex, kSrec, kElf
  std::vector<uint8_t> raw;  // kRaw, kPlainDfu: the bytes, to be placed by the caller
  DfuSuffix suffix;          // kPlainDfu: the suffix that followed them
  // kRaw: why the bytes look like a DFU file that cannot be read as one (a
  // suffix not understood, or a ".dfu" name without a suffix); empty for
  // plain raw bytes. Flashing them as raw would write the suffix's bytes and
  // skip its device check.
  std::string unreadSuffix;
};

// Files beyond this size are refused before they are read.
constexpr uint64_t FIRMWARE_FILE_MAX_SIZE = uint64_t{256} << 20;

// The whole file. RESULT_OK, or FILE_ERR_IO with the reason in *error when it
// is missing, unreadable or too large.
StatusCode ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
// Creates or replaces the file with the bytes. FILE_ERR_IO with the reason.
StatusCode WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes,
                          std::string* error);

// The same in steps: Begin() creates the new file beside the path, so that a
// command finds out that it cannot write there before long work; Write()
// adds bytes to it, so that a large file need never be held whole; Finish()
// writes the last bytes and puts the file in place. The path keeps its old
// file until every byte is on the disk: a full disk, a failure or a run that
// ends before Finish() leaves it as it was. After a failed Write() the new
// file is gone and only the old one remains.
class CWholeFileWriter {
 public:
  StatusCode Begin(const std::string& path, std::string* error);
  StatusCode Write(const uint8_t* bytes, size_t size, std::string* error);
  StatusCode Finish(const std::vector<uint8_t>& bytes, std::string* error);

 private:
  std::string path_;
  PlatformFile file_;
};

// Reads and decodes the file. FILE_ERR_IO when it cannot be read,
// FILE_ERR_BAD_CONTENT when its content is refused; *error says why.
StatusCode LoadFirmwareFile(const std::string& path, FirmwareFile* file, std::string* error);
// The same for bytes already in memory; `name` only matters for ".bin".
StatusCode DecodeFirmware(const std::string& name, const uint8_t* bytes, size_t size,
                          FirmwareFile* file, std::string* error);

#endif  // ZUVA_DFUFILES_FIRMWARE_FILE_H_
