#include "tool/tool_options.h"

#include <cstring>
#include <functional>
#include <vector>

#include "tool/option_suggestion.h"

namespace {

enum CommandBit : uint32_t {
  kList = 1u << 0,
  kFlash = 1u << 1,
  kRead = 1u << 2,
  kErase = 1u << 3,
  kUnprotect = 1u << 4,
  kLeave = 1u << 5,
  kDetach = 1u << 6,
  kConvert = 1u << 7,
  kInfo = 1u << 8,
  kVerify = 1u << 9,
};
constexpr uint32_t kDeviceCommands =
    kList | kFlash | kVerify | kRead | kErase | kUnprotect | kLeave | kDetach;
constexpr uint32_t kEveryCommand = kDeviceCommands | kConvert | kInfo;

struct CommandSpec {
  const char* name;
  uint32_t bit;
  size_t positionals;
};
constexpr CommandSpec COMMANDS[] = {
    {"list", kList, 0},     {"flash", kFlash, 1},         {"read", kRead, 1},
    {"erase", kErase, 0},   {"unprotect", kUnprotect, 0}, {"leave", kLeave, 0},
    {"detach", kDetach, 0}, {"convert", kConvert, 2},     {"info", kInfo, 1},
    {"verify", kVerify, 1},
};

using Setter = std::function<bool(ToolOptions*, const std::string&)>;

struct OptionSpec {
  const char* name;
  bool takesValue;
  uint32_t commands;
  Setter set;
};

template <typename T>
Setter NumberInto(std::optional<T> ToolOptions::*field, uint64_t limit) {
  return [field, limit](ToolOptions* o, const std::string& text) {
    uint64_t value = 0;
    if (!ParseNumber(text, limit, &value)) return false;
    o->*field = static_cast<T>(value);
    return true;
  };
}

// USB IDs are written in hexadecimal, with or without 0x ("0483", "0xDF11"),
// as list, lsusb and the device's descriptors show them.
template <typename T>
Setter HexInto(std::optional<T> ToolOptions::*field) {
  return [field](ToolOptions* o, const std::string& text) {
    uint64_t value = 0;
    if (!ParseHexNumber(text, 0xFFFF, &value)) return false;
    o->*field = static_cast<T>(value);
    return true;
  };
}

// --device takes the path that list shows, the bus-port location alone
// ("1-4"), or VID:PID in hexadecimal ("0483:df11"), the way lsusb and other
// USB tools write a device.
bool ParseDevice(ToolOptions* o, const std::string& text) {
  if (text.empty()) return false;
  const size_t colon = text.find(':');
  uint64_t vendor = 0, product = 0;
  if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos &&
      ParseHexNumber(text.substr(0, colon), 0xFFFF, &vendor) &&
      ParseHexNumber(text.substr(colon + 1), 0xFFFF, &product)) {
    o->vendorId = static_cast<uint16_t>(vendor);
    o->productId = static_cast<uint16_t>(product);
    return true;
  }
  o->devicePath = text;
  return true;
}

Setter FlagOn(bool ToolOptions::*field) {
  return [field](ToolOptions* o, const std::string&) { return o->*field = true; };
}

Setter TextInto(std::optional<std::string> ToolOptions::*field) {
  return [field](ToolOptions* o, const std::string& text) {
    if (text.empty()) return false;
    o->*field = text;
    return true;
  };
}

// ALT=START-END, END the first address after the range.
bool ParseTarget(ToolOptions* o, const std::string& text) {
  const size_t equals = text.find('=');
  const size_t dash = text.find('-', equals == std::string::npos ? 0 : equals);
  if (equals == std::string::npos || dash == std::string::npos) return false;
  uint64_t alternate = 0, start = 0, end = 0;
  if (!ParseNumber(text.substr(0, equals), 255, &alternate) ||
      !ParseNumber(text.substr(equals + 1, dash - equals - 1), UINT32_MAX, &start) ||
      !ParseNumber(text.substr(dash + 1), uint64_t{1} << 32, &end) || end <= start) {
    return false;
  }
  o->targets.push_back({static_cast<uint8_t>(alternate), static_cast<uint32_t>(start), end});
  return true;
}

// 64 hexadecimal digits, kept in lower case.
bool ParseSha256(ToolOptions* o, const std::string& text) {
  if (text.size() != 64) return false;
  std::string digest;
  for (char c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    digest += c;
  }
  o->expectedSha256 = digest;
  return true;
}

const OptionSpec OPTIONS[] = {
    {"--json", false, kEveryCommand, FlagOn(&ToolOptions::json)},
    {"--device", true, kDeviceCommands, ParseDevice},
    {"--serial", true, kDeviceCommands, TextInto(&ToolOptions::serial)},
    {"--capture", true, kDeviceCommands, TextInto(&ToolOptions::capturePath)},
    {"--vid", true, kDeviceCommands | kConvert, HexInto(&ToolOptions::vendorId)},
    {"--pid", true, kDeviceCommands | kConvert, HexInto(&ToolOptions::productId)},
    {"--bcd", true, kConvert, HexInto(&ToolOptions::deviceVersion)},
    {"--alt", true, kFlash | kVerify | kRead | kErase | kConvert, NumberInto(&ToolOptions::alternate, 255)},
    {"--address", true, kFlash | kVerify | kRead | kErase | kConvert,
     NumberInto(&ToolOptions::address, UINT32_MAX)},
    {"--length", true, kRead | kErase, NumberInto(&ToolOptions::length, UINT32_MAX)},
    {"--no-verify", false, kFlash, FlagOn(&ToolOptions::noVerify)},
    {"--no-leave", false, kFlash, FlagOn(&ToolOptions::noLeave)},
    {"--changed-only", false, kFlash, FlagOn(&ToolOptions::changedOnly)},
    {"--fast-poll", false, kFlash, FlagOn(&ToolOptions::fastPoll)},
    {"--all", false, kErase, FlagOn(&ToolOptions::all)},
    {"--all", false, kFlash | kVerify, FlagOn(&ToolOptions::allDevices)},
    {"--watch", false, kFlash, FlagOn(&ToolOptions::watch)},
    {"--detach", false, kFlash, FlagOn(&ToolOptions::detach)},
    {"--log", true, kFlash, TextInto(&ToolOptions::logPath)},
    {"--expect-sha256", true, kFlash, ParseSha256},
    {"--mass", false, kErase, FlagOn(&ToolOptions::mass)},
    {"--force", false, kUnprotect | kFlash | kVerify, FlagOn(&ToolOptions::force)},
    {"--target", true, kConvert, ParseTarget},
    {"--plain", false, kConvert, FlagOn(&ToolOptions::plain)},
    {"--packed-blocks", false, kFlash | kRead, FlagOn(&ToolOptions::packedBlocks)},
};

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& entry : COMMANDS) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const CommandSpec& entry : COMMANDS) names.emplace_back(entry.name);
  names.emplace_back("help");
  return names;
}

bool IsOptionOfAnyCommand(const std::string& name) {
  for (const OptionSpec& entry : OPTIONS) {
    if (name == entry.name) return true;
  }
  return false;
}

// "; " and a likely meaning of `typed` among `candidates`, or of a dfu-util
// option; empty when there is none.
std::string Suggestion(const std::string& typed, const std::vector<std::string>& candidates) {
  const std::string nearest = NearestWord(typed, candidates);
  if (!nearest.empty()) return "; did you mean " + nearest + "?";
  const std::string equivalent = IsOptionOfAnyCommand(typed) ? std::string() : DfuUtilEquivalent(typed);
  return equivalent.empty() ? std::string() : "; " + equivalent;
}

std::string UnknownCommandError(const std::string& name) {
  const bool option = name.size() >= 2 && name[0] == '-';
  return (option ? "unknown option " : "unknown command '") + name + (option ? "" : "'") +
         Suggestion(name, option ? std::vector<std::string>{} : CommandNames());
}

// An option the command does not take: one of another command's, or a
// name that is no option at all, with what it was likely meant to be.
std::string UnknownOptionError(const std::string& name, const CommandSpec& command) {
  std::vector<std::string> own;
  for (const OptionSpec& entry : OPTIONS) {
    if ((entry.commands & command.bit) != 0) own.emplace_back(entry.name);
  }
  if (IsOptionOfAnyCommand(name)) {
    return "option " + name + " does not belong to " + command.name + Suggestion(name, own);
  }
  return "unknown option " + name + Suggestion(name, own);
}

bool CheckCombination(const ToolOptions& o, std::string* error) {
  if (o.command == "erase") {
    const int ways = (o.address || o.length ? 1 : 0) + (o.all ? 1 : 0) + (o.mass ? 1 : 0);
    if (ways != 1 || (o.address.has_value() != o.length.has_value())) {
      *error = "erase needs exactly one of --address A --length L, --all or --mass";
      return false;
    }
    if (o.length && *o.length == 0) {
      *error = "--length must not be 0";
      return false;
    }
  }
  if (o.allDevices && o.watch) {
    *error = "--all and --watch exclude each other";
    return false;
  }
  if (o.detach && (o.allDevices || o.watch)) {
    *error = "--detach brings one device into DFU mode: not with --all or --watch";
    return false;
  }
  if (o.command == "read" && o.length && *o.length == 0) {
    *error = "--length must not be 0";
    return false;
  }
  if (o.command == "unprotect" && !o.force) {
    *error = "unprotect erases the whole device; give --force to confirm";
    return false;
  }
  if (o.command == "convert" && !o.targets.empty() && o.alternate) {
    *error = "--alt and --target exclude each other";
    return false;
  }
  if (o.plain && (o.alternate || o.address || !o.targets.empty())) {
    *error = "--plain writes one image without addresses: no --alt, --address or --target";
    return false;
  }
  if (o.command != "convert" && o.productId.has_value() != o.vendorId.has_value()) {
    *error = "--vid and --pid select a device together";
    return false;
  }
  return true;
}

}  // namespace

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t first = hex ? 2 : 0;
  uint64_t result = 0;
  for (size_t i = first; i < text.size(); ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    if (digit < 0) return false;
    result = result * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (result > limit) return false;
  }
  *value = result;
  return true;
}

bool ParseHexNumber(const std::string& text, uint64_t limit, uint64_t* value) {
  const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  return ParseNumber(prefixed ? text : "0x" + text, limit, value);
}

bool ParseToolOptions(int argc, const char* const* argv, ToolOptions* options, std::string* error) {
  *options = ToolOptions{};
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help-all") == 0) {
      options->help = options->helpAll = true;
      return true;
    }
    help = help || std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
  }
  // `help COMMAND`, or `COMMAND ... --help`: that command's help.
  std::string topic;
  if (argc >= 2 && std::strcmp(argv[1], "help") == 0) {
    help = true;
    if (argc >= 3) topic = argv[2];
  } else if (help && argc >= 2 && argv[1][0] != '-') {
    topic = argv[1];
  }
  if (help) {
    options->command = topic;
    if (!topic.empty() && FindCommand(topic) == nullptr) {
      *error = UnknownCommandError(topic);
      return false;
    }
    options->help = true;
    return true;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    options->version = true;
    return true;
  }
  if (argc == 3 && ((std::strcmp(argv[1], "--version") == 0 && std::strcmp(argv[2], "--verbose") == 0) ||
                    (std::strcmp(argv[1], "--verbose") == 0 && std::strcmp(argv[2], "--version") == 0))) {
    options->version = true;
    options->verbose = true;
    return true;
  }
  if (argc < 2) {
    *error = "no command given";
    return false;
  }
  options->command = argv[1];
  const CommandSpec* command = FindCommand(options->command);
  if (command == nullptr) {
    *error = UnknownCommandError(options->command);
    return false;
  }
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.size() < 2 || argument[0] != '-') {
      options->positional.push_back(argument);
      continue;
    }
    // Every option is spelled with two dashes; one dash is a habit from
    // another tool (-a 0, -D fw.bin), never a file name to guess at.
    if (argument[1] != '-') {
      *error = UnknownOptionError(argument, *command);
      return false;
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    // A name may mean different things to different commands (--all).
    const OptionSpec* option = nullptr;
    for (const OptionSpec& entry : OPTIONS) {
      if (name == entry.name && (entry.commands & command->bit) != 0) option = &entry;
    }
    if (option == nullptr) {
      *error = UnknownOptionError(name, *command);
      return false;
    }
    std::string value;
    if (option->takesValue) {
      if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        *error = "option " + name + " needs a value";
        return false;
      }
    } else if (equals != std::string::npos) {
      *error = "option " + name + " takes no value";
      return false;
    }
    if (!option->set(options, value)) {
      *error = "bad value '" + value + "' for " + name;
      return false;
    }
  }
  if (options->positional.size() != command->positionals) {
    *error = options->command + " takes " + std::to_string(command->positionals) +
             (command->positionals == 1 ? " file" : " files") + ", not " +
             std::to_string(options->positional.size());
    return false;
  }
  return CheckCombination(*options, error);
}
