// Loading the firmware file a command works from.
#ifndef ZUVA_TOOL_INPUT_FILE_H_
#define ZUVA_TOOL_INPUT_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dfufiles/firmware_file.h"
#include "tool/production_log.h"
#include "tool/tool_output.h"

// Reads and decodes the file, keeping its bytes in *bytes. False with the
// words for the user in *error: a file that cannot be read is named in the
// system's reason, a file that cannot be decoded before the decoder's.
bool ReadInputFile(const std::string& path, FirmwareFile* file, std::vector<uint8_t>* bytes,
                   std::string* error);

// Loads and decodes the file; a DfuSe or plain DFU file must also carry a
// matching checksum, since its bytes would go to a device, and a DfuSe file
// may give no byte of an alternate setting twice. False with the exit code
// (3) already reported otherwise. Raw bytes that look like a DFU file that
// cannot be read as one are refused too, unless `rawAnyway` (flash --force).
// With `identity`, also the name, size and SHA-256 of the very bytes decoded.
bool LoadInputFirmware(const std::string& path, FirmwareFile* file, CToolOutput* out,
                       int* exitCode, ImageIdentity* identity = nullptr, bool rawAnyway = false);

#endif  // ZUVA_TOOL_INPUT_FILE_H_
