#include "tool/input_file.h"

#include "tool/exit_code.h"
#include "tool/sha256.h"

bool ReadInputFile(const std::string& path, FirmwareFile* file, std::vector<uint8_t>* bytes,
                   std::string* error) {
  // The reasons of a failed read ("no such file: fw.bin") name the file
  // already.
  if (ReadWholeFile(path, bytes, error) != RESULT_OK) return false;
  if (DecodeFirmware(path, bytes->data(), bytes->size(), file, error) != RESULT_OK) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool LoadInputFirmware(const std::string& path, FirmwareFile* file, CToolOutput* out,
                       int* exitCode, ImageIdentity* identity, bool rawAnyway) {
  std::string error;
  std::vector<uint8_t> bytes;
  if (!ReadInputFile(path, file, &bytes, &error)) {
    *exitCode = out->Result(TOOL_EXIT_BAD_INPUT, error);
    return false;
  }
  if (file->format == FirmwareFormat::kDfuSe && !file->dfuse.suffix.CrcMatches()) {
    *exitCode = out->Result(TOOL_EXIT_BAD_INPUT, path + ": the DfuSe checksum does not match");
    return false;
  }
  std::string overlap;
  if (file->format == FirmwareFormat::kDfuSe && FindDfuSeOverlap(file->dfuse, &overlap)) {
    *exitCode = out->Result(TOOL_EXIT_BAD_INPUT, path + ": " + overlap);
    return false;
  }
  if (!file->unreadSuffix.empty() && !rawAnyway) {
    *exitCode = out->Result(TOOL_EXIT_BAD_INPUT, path + ": " + file->unreadSuffix,
                            "give --force to flash the whole file as raw bytes");
    return false;
  }
  if (file->format == FirmwareFormat::kPlainDfu && !file->suffix.CrcMatches()) {
    *exitCode = out->Result(TOOL_EXIT_BAD_INPUT, path + ": the DFU suffix checksum does not match");
    return false;
  }
  if (identity != nullptr) *identity = {path, Sha256Hex(bytes.data(), bytes.size()), bytes.size()};
  return true;
}
