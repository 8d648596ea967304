#include "tool/tool_help.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

// One option: a line of each command's table below. `text` is what the
// whole help and the manual page say; a command's own help shows `brief`
// instead where the text takes more than one line.
struct OptionHelp {
  const char* name;  // with its value's placeholder
  const char* text;  // lines after the first are continued under it
  const char* brief = nullptr;
};

struct CommandHelp {
  const char* name;
  const char* summary;  // the overview's line
  // Each form after "zuvatool "; its further lines continue the first.
  std::vector<const char*> usage;
  const char* text;  // what the command does, lines of at most 72 columns
  std::vector<OptionHelp> options;
  bool selectsDevice;
  const char* exitCodes;  // the exit codes the command can end with
};

// The usage lines and what the tool is for, then the start of the commands.
const char* const HEADER =
    "Usage: zuvatool COMMAND [OPTIONS]\n"
    "       zuvatool COMMAND --help\n"
    "       zuvatool --help | --help-all | --version [--verbose]\n"
    "\n"
    "Upgrade, read and erase USB devices in DFU mode (DfuSe, and plain DFU 1.1)\n"
    "from scripts, and convert firmware files. Never prompts and never reads\n"
    "standard input.\n"
    "\n"
    "Commands:\n";

const OptionHelp JSON_EVENTS = {"--json", "one JSON object per line instead of text"};
const OptionHelp PACKED_BLOCKS = {"--packed-blocks",
                                  "a plain DFU device that announces more than 4096\n"
                                  "bytes a transfer places each block right after\n"
                                  "the one before",
                                  "the plain DFU device places blocks one after another"};

const std::vector<CommandHelp>& Commands() {
  static const std::vector<CommandHelp> commands = {
      {"list", "list every DFU device and what it offers", {"list [--json] [selection]"},
       R"(List every DFU device: path, VID:PID, bcdDevice, serial number,
description, mode (dfu or application), DFU version and protocol
(DfuSe or plain DFU), transfer size and, per alternate setting, its
name and memories (address, sectors, access).
)",
       {{"--json", "one JSON object per device"}},
       true,
       "0124"},
      {"flash", "write a firmware file, verify it and start the device",
       {R"(flash FILE [--alt N] [--address A] [--no-verify] [--no-leave]
[--changed-only] [--fast-poll] [--force] [--packed-blocks]
[--log RECORD] [--expect-sha256 HASH]
[--all | --watch | --detach] [--json] [selection])"},
       R"(Write FILE to the device: erase the sectors it covers, download, read
back and compare, then leave DFU mode. FILE is a DfuSe file (each
target to its alternate setting), Intel HEX, S-records, ELF (loadable
segments at their physical addresses) or raw bytes (a .bin name, or
anything else unrecognised), recognised by content. Raw bytes go to
--address, else to the start of the alternate setting's first memory.
Data outside every writable memory is refused before anything is
erased. After a difference the device stays in DFU mode. After the
leave, flash watches for 3 s as leave does: a board that comes back in
DFU mode, as a boot loader does that finds no valid application, fails
the flash (exit 1) though FILE was written (--watch has its own rule
for such boards, below).

--changed-only first reads the sectors FILE covers and leaves alone
those that already hold what a flash would leave (FILE's bytes, 0xFF
elsewhere in the sector); only the others are erased, written and
verified, and nothing is erased or written when none differs. It pays
on a re-flash of mostly the same firmware; for new firmware the extra
read makes it slower.

--fast-poll asks a busy device for its status before the poll time-out
it announces, starting well below it and backing off towards it (at
most once a millisecond). It pays on devices that announce far more
time than their flash needs. A device that refuses such an early
request is waited for as it announces from then on. Off by default:
the device's announcement is what the DFU standard asks to wait.

--all flashes every matching device present at the start, all at
once, each with its own progress (its own line on a terminal, a
"device" field in every --json event). A failing device stops no
other; a device that arrives meanwhile is left alone. A table (device,
serial, result, time; a "summary" event with --json) ends the run. The
exit code is 0 when every device succeeded, else the worst device's:
7, then 1, 6, 3, 2.

--watch keeps running and flashes each matching DFU device as it
arrives (and those present at the start), several at once, waiting on
the system's device-change events. Each flash ends in one line: time,
path, serial, result, duration (a "result" event with "device",
"serial", "time", "exit" and "ms" with --json). A board that comes
back after its flash, as one does after leaving DFU mode (known by its
serial, or without one by the port it is on), is looked at again a
second later and flashed again only if it is still in DFU mode; one
that is back in DFU mode within 5 s after each of three flashes in a
row is left alone (one line, a "left-alone" event with --json, a
failed line in the record). Ctrl-C lets the flashes in progress
finish, shows the summary and ends with the exit code --all would give
(a second Ctrl-C ends at once).

--detach first looks for a matching device in DFU mode; when there is
none but one runs its application, that one is detached (as the detach
command does) and flashed once it is back in DFU mode, whatever IDs it
shows there.

On a plain DFU device (DFU version below 1.1A, no memory maps) FILE is
raw bytes or a plain DFU file; the device places it from the start of
the alternate setting's memory. A suffix whose vendor or product ID
names another device is refused unless --force is given. The download
ends with manifestation; the image is read back when the device stays
in DFU mode and can upload, otherwise the result says it was not. A
device that then waits for a USB reset is reset (on Linux; the Windows
drivers cannot send one, and the result asks for a replug).

A plain DFU device places block n where it likes, most at n times the
transfer size it announces. Blocks carry at most 4096 bytes (what
libusb on Linux and WinUSB carry in one control transfer), so a device
that announces more is refused before anything is written: its blocks
would land apart. --packed-blocks says that the device places each
block right after the one before, and lets it be flashed and read.

--log RECORD appends one JSON line to the file RECORD for each device
the flash was tried on, written to the disk as the device ends: "time"
(UTC), "device", "serial", "vidpid", "image" (FILE as given), "sha256"
and "size" of FILE, "result" (ok or failed), "message", "exit", "ms"
and, when verify found a difference, its "address". Several runs may
append to one file; each line is written whole or not at all. A record
that cannot be written (a full disk) is an error after the device's
result, and fails a device that succeeded (exit code 1); a RECORD that
is FILE is refused (exit code 2). --expect-sha256 refuses FILE (exit code 3) unless its
SHA-256 is HASH, before any device is touched.
)",
       {{"--alt N", "the alternate setting for raw bytes, or the one target\n"
                    "of a DfuSe file to flash (default 0)",
         "the alternate setting (default 0)"},
        {"--address A", "where raw bytes go"},
        {"--no-verify", "do not read back and compare"},
        {"--no-leave", "stay in DFU mode afterwards"},
        {"--changed-only", "erase and write only the sectors that differ"},
        {"--fast-poll", "ask a busy device for its status early"},
        {"--all", "every matching device present, at once"},
        {"--watch", "each matching device as it arrives, until Ctrl-C"},
        {"--detach", "detach a device running its application first"},
        {"--force", "flash a plain DFU file made for another device, or a\n"
                    "file whose DFU suffix cannot be read as raw bytes",
         "accept a DFU suffix for another device, or unreadable"},
        PACKED_BLOCKS,
        {"--log RECORD", "append one JSON line per device to RECORD"},
        {"--expect-sha256 HASH", "refuse FILE unless its SHA-256 is HASH (64 hex digits)"},
        JSON_EVENTS},
       true,
       "01234567"},
      {"verify", "compare a device's memory with a firmware file",
       {"verify FILE [--alt N] [--address A] [--all] [--force] [--json]\n[selection]"},
       R"(Read back what FILE covers and compare it with FILE; nothing is
written. FILE is taken as flash takes it. Exit 0 when the device holds
FILE, 7 at the first differing address (with --json the result also
lists the differing "sectors"). Data outside the readable memory is
refused (exit code 3), and so is a device that cannot upload (exit 1).
)",
       {{"--alt N", "the alternate setting for raw bytes, or the one target\n"
                    "of a DfuSe file to verify (default 0)",
         "alternate setting for raw bytes or the DfuSe target (0)"},
        {"--address A", "where raw bytes lie"},
        {"--all", "every matching device present, at once"},
        {"--force", "verify against a plain DFU file made for another device,\n"
                    "or a file whose DFU suffix cannot be read as raw bytes",
         "accept a DFU suffix for another device, or unreadable"},
        JSON_EVENTS},
       true,
       "01234567"},
      {"read", "read device memory into a file",
       {"read OUT [--alt N] [--address A] [--length L] [--packed-blocks]\n[--json] [selection]"},
       R"(Read device memory into OUT (default: the whole first readable memory
of the alternate setting). OUT ending in .dfu is written as a DfuSe
file, .hex as Intel HEX, any other name as raw bytes (S-record and ELF
names are refused: those are read, never written). A plain DFU
device is read from the start of the alternate setting's memory until
it ends it (at most --length bytes, 16 MiB by default); .dfu then
writes a plain DFU file. One that announces a transfer size above 4096
bytes is read only with --packed-blocks (see flash).
)",
       {{"--alt N", "the alternate setting to read (default 0)"},
        {"--address A", "the first address to read"},
        {"--length L", "how many bytes to read"},
        PACKED_BLOCKS,
        JSON_EVENTS},
       true,
       "012456"},
      {"erase", "erase sectors, or the whole device",
       {"erase [--alt N] (--address A --length L | --all | --mass)\n[--json] [selection]"},
       R"(Erase the sectors that cover the range, every erasable sector, or the
whole device with the DfuSe mass-erase command, after which the first
block of each erasable sector is read back to check that it is blank.
)",
       {{"--alt N", "the alternate setting whose memory is erased (default 0)"},
        {"--address A", "the start of the range"},
        {"--length L", "the range's length in bytes"},
        {"--all", "every erasable sector"},
        {"--mass", "the whole device, with the mass-erase command"},
        JSON_EVENTS},
       true,
       "012456"},
      {"unprotect", "remove the read protection (erases everything)",
       {"unprotect --force [--json] [selection]"},
       R"(Send the DfuSe read-unprotect command: the device erases everything and
resets; it is done once the device has left the bus. Refused without
--force.
)",
       {{"--force", "confirm that the whole device is erased"}, JSON_EVENTS},
       true,
       "012456"},
      {"leave", "make a device leave DFU mode and start its application",
       {"leave [--json] [selection]"},
       R"(Make a device in DFU mode leave it and start its application, then
watch for 3 s what became of it: not seen again or back running its
application (exit 0), back in DFU mode, as when no valid application is
present, or still there (exit 1).
)",
       {JSON_EVENTS},
       true,
       "012456"},
      {"detach", "bring a device running its application into DFU mode",
       {"detach [--json] [selection]"},
       R"(Send DETACH to a device running its application (to its DFU run-time
interface) and wait for it to come back in DFU mode. A device that does
not detach by itself (bitWillDetach clear) gets a USB reset after
DETACH where the transport can send one, else a replug is asked for.
When every matching device is in DFU mode already, nothing is sent and
the command succeeds, saying so.
)",
       {JSON_EVENTS},
       true,
       "012456"},
      {"convert", "write any firmware file as DfuSe, plain DFU, Intel HEX or raw bytes",
       {"convert IN OUT.dfu [--vid V --pid P --bcd D] [--alt N]\n"
        "[--address A] [--target ALT=START-END ...] [--json]",
        "convert IN OUT.dfu --plain [--vid V --pid P --bcd D] [--json]",
        "convert IN OUT.hex [--address A] [--json]",
        "convert IN OUT.bin [--json]"},
       R"(Write any input format as a DfuSe file: one target (alternate setting
--alt, 0 by default) with one element per contiguous run of the input.
Raw input needs --address. --target (repeatable) splits the input's
data by address [START, END) into targets. --vid, --pid and --bcd set
the suffix identity (default 0x0483, 0xDF11, 0x2200).
With --plain, write a plain DFU file (for devices without DfuSe): the
input's bytes from its lowest address to its highest (gaps 0xFF) and a
16-byte DFU suffix, bcdDFU 0x0100. A plain DFU input keeps its image and
gets its suffix replaced; ids not given stay as they were, or 0xFFFF
(any).
OUT.hex gets the input's data (of one alternate setting) as Intel HEX,
OUT.bin as raw bytes from its lowest address to its highest (gaps 0xFF).
OUT must end in .dfu, .hex or .bin, and may not be IN itself.
)",
       {{"--vid V", "the suffix's vendor ID"},
        {"--pid P", "the suffix's product ID"},
        {"--bcd D", "the suffix's device version"},
        {"--alt N", "the alternate setting of the one target (default 0)"},
        {"--address A", "where raw input starts"},
        {"--target ALT=START-END", "the input's bytes in [START, END) as a target for\n"
                                   "alternate setting ALT (repeatable)",
         "[START, END) to alternate setting ALT, repeatable"},
        {"--plain", "write a plain DFU file"},
        {"--json", "the result as one JSON object"}},
       false,
       "0123"},
      {"info", "show what a firmware file holds", {"info FILE [--json]"},
       R"(Show what a DfuSe, plain DFU, HEX, S-record or ELF file holds: targets,
elements, addresses, sizes, suffix and checksum state.
)",
       {{"--json", "the description as JSON"}},
       false,
       "0123"},
  };
  return commands;
}

const std::vector<OptionHelp> SELECTION_OPTIONS = {
    {"--device PATH", "the device with this path (as list shows it), or at this\n"
                      "bus-port location (1-4), or with these IDs (0483:df11)",
     "the device with this path, bus-port location or VID:PID"},
    {"--serial S", "the device with this serial number"},
    {"--vid V --pid P", "the device with this vendor and product ID (hexadecimal)"},
    {"--capture FILE", "also write every USB control transfer to FILE, a pcap\n"
                       "capture for Wireshark (several devices: one file)",
     "write every USB control transfer to FILE (pcap)"},
};

const char* const SELECTION_MORE =
    "  With several matching devices a command refuses and lists them (flash --all\n"
    "  and verify --all take them all).\n";

const char* const OUTPUT =
    "Output:\n"
    "  On a terminal each step shows a progress bar with bytes, rate and time\n"
    "  left; otherwise plain lines. --json prints one JSON object per line:\n"
    "  \"device\", \"step\", \"progress\" and \"result\" events; \"result\" carries the\n"
    "  exit code and, after a verify difference, its address.\n";

const char* const NUMBERS =
    "Numbers are decimal or hexadecimal with 0x; USB IDs (--vid, --pid, --bcd) are\n"
    "hexadecimal, with or without 0x.\n";

const char* const MORE_HELP =
    "What each option does, with examples: 'man zuvatool' or 'zuvatool --help-all'.\n";

// The sections that end the whole help and so the manual page.
const char* const EXAMPLES =
    "Examples:\n"
    "  zuvatool list\n"
    "      the DFU devices present, with their memories\n"
    "  zuvatool flash fw.hex\n"
    "      write fw.hex, read it back and start the application\n"
    "  zuvatool flash fw.bin --address 0x08004000 --no-leave\n"
    "      write raw bytes from 0x08004000 and stay in DFU mode\n"
    "  zuvatool flash fw.hex --all --log bench.log\n"
    "      every board present at once, one JSON line per board in bench.log\n"
    "  zuvatool read backup.bin --length 0x10000\n"
    "      the first 64 KiB of alternate setting 0 into backup.bin\n"
    "  zuvatool erase --address 0x08004000 --length 0x4000\n"
    "      erase the sectors that hold that range\n"
    "  zuvatool convert fw.hex fw.dfu\n"
    "      the same data as a DfuSe file\n";

const char* const FILES =
    "Files:\n"
    "  /usr/lib/udev/rules.d/50-zuva-dfu.rules\n"
    "      on Linux, the udev rule that gives the members of plugdev and the user\n"
    "      at the machine access to DFU devices\n";

const char* const ENVIRONMENT =
    "Environment:\n"
    "  ZUVA_SIM             a virtual DFU device instead of, or besides, real ones:\n"
    "                       'default', or the path of a profile file; several\n"
    "                       separated by ':' (';' on Windows)\n"
    "  ZUVA_SIM_FLASH       the file that holds the memory of the virtual device's\n"
    "                       alternate setting 0 (one per device, in the same form)\n"
    "  ZUVA_SIM_FAULTS      faults the virtual device plays (stall@N, unplug@N, ...)\n"
    "  ZUVA_SIM_TRACE       a file that receives a line per request the virtual\n"
    "                       device answers\n"
    "  The profiles and fault plans are described in virtual-device.md, beside the\n"
    "  README.\n";

const char* const SEE_ALSO =
    "See also:\n"
    "  ZUVA(1), zuva-devsim(1), dfu-util(1), lsusb(8), udev(7), and the README in\n"
    "  /usr/share/doc/zuva.\n";

const char* const EXIT_CODE_LINES[] = {
    "0  success",
    "1  the device or the operation failed",
    "2  usage error",
    "3  the input file is missing, unreadable or invalid",
    "4  no matching device",
    "5  several devices match",
    "6  a device is present but cannot be opened (permission, no driver, in use)",
    "7  verify found a difference",
};

// Every line of `text` after `indent`; continuation lines of a multi-line
// first text get `continuation` instead.
std::string Indented(const char* text, const std::string& indent) {
  std::string result;
  bool lineStart = true;
  for (const char* c = text; *c != '\0'; ++c) {
    if (lineStart && *c != '\n') result += indent;
    result += *c;
    lineStart = *c == '\n';
  }
  if (!result.empty() && result.back() != '\n') result += '\n';
  return result;
}

// Each form of the command after its prefix (the first's, then `again`),
// continuation lines lined up after the command's name.
std::string UsageLines(const CommandHelp& command, const std::string& first,
                       const std::string& again) {
  std::string result;
  for (size_t form = 0; form < command.usage.size(); ++form) {
    const std::string& prefix = form == 0 ? first : again;
    const std::string under(prefix.size() + std::string(command.name).size() + 1, ' ');
    result += prefix;
    for (const char* c = command.usage[form]; *c != '\0'; ++c) {
      result += *c;
      if (*c == '\n') result += under;
    }
    result += "\n";
  }
  return result;
}

// The whole help's option lines: each text in a column of its own, a name
// too long for its place followed by the text on the next line.
std::string OptionLines(const std::vector<OptionHelp>& options, const std::string& indent) {
  constexpr size_t kColumn = 21;
  std::string result;
  for (const OptionHelp& option : options) {
    std::string line = indent + option.name;
    const std::string under(indent.size() + kColumn, ' ');
    line += line.size() < indent.size() + kColumn ? std::string(indent.size() + kColumn - line.size(), ' ')
                                                  : "\n" + under;
    for (const char* c = option.text; *c != '\0'; ++c) {
      line += *c;
      if (*c == '\n') line += under;
    }
    result += line + "\n";
  }
  return result;
}

// The column of a command's own help where the options' texts start: after
// the longest name of the command's and the selection's options.
size_t BriefColumn(const std::vector<OptionHelp>& options) {
  size_t column = 21;
  for (const auto* list : {&options, &SELECTION_OPTIONS}) {
    for (const OptionHelp& option : *list) column = std::max(column, std::strlen(option.name) + 2);
  }
  return column;
}

// A command's own help: one line per option, the texts from `column` on.
std::string BriefOptionLines(const std::vector<OptionHelp>& options, size_t column) {
  std::string result;
  for (const OptionHelp& option : options) {
    std::string line = std::string("  ") + option.name;
    line.resize(column + 2, ' ');
    result += line + (option.brief != nullptr ? option.brief : option.text) + "\n";
  }
  return result;
}

std::string ExitCodes(const char* codes, const std::string& indent) {
  std::string result = "Exit codes:\n";
  for (const char* c = codes; *c != '\0'; ++c) {
    result += indent + EXIT_CODE_LINES[*c - '0'] + "\n";
  }
  return result;
}

const CommandHelp* FindCommand(const std::string& name) {
  for (const CommandHelp& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace

std::string ToolOverviewText() {
  std::string text = HEADER;
  for (const CommandHelp& command : Commands()) {
    std::string name = command.name;
    name.resize(11, ' ');
    text += "  " + name + command.summary + "\n";
  }
  text +=
      "\nRun 'zuvatool COMMAND --help' (or 'zuvatool help COMMAND') for a command's\n"
      "options and exit codes, 'zuvatool --help-all' or 'man zuvatool' for all of it.\n";
  return text;
}

std::string ToolCommandHelpText(const std::string& name) {
  const CommandHelp* command = FindCommand(name);
  if (command == nullptr) return {};
  std::string text = UsageLines(*command, "Usage: zuvatool ", "       zuvatool ") + "\n";
  std::string summary = command->summary;
  summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  text += summary + ".\n";
  const size_t column = BriefColumn(command->options);
  text += "\nOptions:\n" + BriefOptionLines(command->options, column);
  if (command->selectsDevice) {
    text += "\nDevice selection:\n" + BriefOptionLines(SELECTION_OPTIONS, column);
  }
  text += std::string("\n") + NUMBERS + "\n" + ExitCodes(command->exitCodes, "  ");
  text += std::string("\n") + MORE_HELP;
  return text;
}

std::string ToolFullHelpText() {
  std::string text = HEADER;
  for (const CommandHelp& command : Commands()) {
    if (&command != &Commands().front()) text += "\n";
    text += UsageLines(command, "  ", "  ");
    text += Indented(command.text, "      ");
    text += OptionLines(command.options, "      ");
  }
  text += "\nDevice selection:\n" + OptionLines(SELECTION_OPTIONS, "  ") + SELECTION_MORE;
  text += std::string("\n") + OUTPUT + "\n" + NUMBERS + "\n" + ExitCodes("01234567", "  ");
  for (const char* section : {EXAMPLES, FILES, ENVIRONMENT, SEE_ALSO}) text += std::string("\n") + section;
  return text;
}
