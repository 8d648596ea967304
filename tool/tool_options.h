// The tool's command line: a command, its positional arguments and options.
// Each command accepts only its own options; anything else is a usage error.
#ifndef ZUVA_TOOL_TOOL_OPTIONS_H_
#define ZUVA_TOOL_TOOL_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One --target ALT=START-END of convert: the input's bytes in [start, end)
// go to a target for alternate setting `alternate`.
struct TargetRange {
  uint8_t alternate = 0;
  uint32_t start = 0;
  uint64_t end = 0;
};

struct ToolOptions {
  std::string command;
  std::vector<std::string> positional;
  bool help = false;     // command: the one whose help is asked, or empty
  bool helpAll = false;  // --help-all: every command's help at once
  bool version = false;
  bool verbose = false;  // with version: the report of the system, its timer and devices
  bool json = false;
  bool noVerify = false;
  bool noLeave = false;
  bool changedOnly = false;
  bool fastPoll = false;
  bool all = false;         // erase: every erasable sector
  bool allDevices = false;  // flash, verify: every matching device at once
  bool watch = false;       // flash: each device as it arrives, until interrupted
  bool detach = false;      // flash: a device running its application is detached first
  bool mass = false;
  bool force = false;
  bool plain = false;
  // flash, read: a plain DFU device places each block right after the one
  // before, so blocks smaller than its transfer size land where they belong.
  bool packedBlocks = false;
  std::optional<uint8_t> alternate;
  std::optional<uint32_t> address;
  std::optional<uint32_t> length;
  std::optional<uint16_t> vendorId;
  std::optional<uint16_t> productId;
  std::optional<uint16_t> deviceVersion;
  std::optional<std::string> devicePath;
  std::optional<std::string> serial;
  std::optional<std::string> logPath;         // flash --log: the production record
  std::optional<std::string> capturePath;     // device commands: the USB capture file
  std::optional<std::string> expectedSha256;  // flash: lower-case hexadecimal
  std::vector<TargetRange> targets;
};

// False with the reason in *error for a usage error (command then holds the
// command's name when one was given). `--help` anywhere, or `help [COMMAND]`,
// sets help and the command whose help is asked (empty for the overview);
// only the name of no command is an error there. `--version` sets version
// (with `--verbose`, before or after it, verbose too).
bool ParseToolOptions(int argc, const char* const* argv, ToolOptions* options, std::string* error);

// A number in decimal or with 0x in hexadecimal, up to `limit`.
bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value);
// A number in hexadecimal, with or without 0x, up to `limit`.
bool ParseHexNumber(const std::string& text, uint64_t limit, uint64_t* value);

#endif  // ZUVA_TOOL_TOOL_OPTIONS_H_
