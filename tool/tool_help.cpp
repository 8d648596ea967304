#include "tool/tool_options.h"

const char* ToolHelpText() {
  return R"(Usage: zuvatool COMMAND [OPTIONS]
       zuvatool --help | --version

Upgrade, read and erase USB devices in DFU mode (DfuSe, and plain DFU 1.1)
from scripts, and convert firmware files. Never prompts and never reads
standard input.

Commands:
  list [--json]
      List every DFU device: path, VID:PID, bcdDevice, serial number,
      description, mode (dfu or application), DFU version and protocol
      (DfuSe or plain DFU), transfer size and, per alternate setting, its
      name and memories (address, sectors, access).
  flash FILE [--alt N] [--address A] [--no-verify] [--no-leave]
             [--changed-only] [--fast-poll] [--all | --watch] [--force]
      Write FILE to the device: erase the sectors it covers, download, read
      back and compare, then leave DFU mode. FILE is a DfuSe file (each
      target to its alternate setting), Intel HEX, S-records, ELF (loadable
      segments at their physical addresses) or raw bytes (a .bin name, or
      anything else unrecognised), recognised by content. Raw bytes go to
      --address, else to the start of the alternate setting's first memory.
      Data outside every writable memory is refused before anything is
      erased. After a difference the device stays in DFU mode.
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
      "serial", "time", "exit" and "ms" with --json). A device that comes
      back with the serial of one flashed before, as a board does after
      leaving DFU mode, is looked at again a second later and flashed again
      only if it is still in DFU mode; one that is back in DFU mode within
      5 s after each of three flashes in a row is left alone (one line, a
      "left-alone" event with --json). Ctrl-C lets the flashes in progress
      finish, shows the summary and ends with the exit code --all would give
      (a second Ctrl-C ends at once).
      On a plain DFU device (DFU version below 1.1A, no memory maps) FILE is
      raw bytes or a plain DFU file; the device places it from the start of
      the alternate setting's memory. A suffix whose vendor or product ID
      names another device is refused unless --force is given. The download
      ends with manifestation; the image is read back when the device stays
      in DFU mode and can upload, otherwise the result says it was not. A
      device that then waits for a USB reset is reset (on Linux; the Windows
      drivers cannot send one, and the result asks for a replug).
  read OUT [--alt N] [--address A] [--length L]
      Read device memory into OUT (default: the whole first readable memory
      of the alternate setting). OUT ending in .dfu is written as a DfuSe
      file, .hex as Intel HEX, any other name as raw bytes. A plain DFU
      device is read from the start of the alternate setting's memory until
      it ends it (at most --length bytes, 16 MiB by default); .dfu then
      writes a plain DFU file.
  erase [--alt N] (--address A --length L | --all | --mass)
      Erase the sectors that cover the range, every erasable sector, or the
      whole device with the DfuSe mass-erase command.
  unprotect --force
      Send the DfuSe read-unprotect command: the device erases everything and
      resets. Refused without --force.
  leave
      Make a device in DFU mode leave it and start its application.
  detach
      Send DETACH to a device running its application (to its DFU run-time
      interface) and wait for it to come back in DFU mode. A device that does
      not detach by itself (bitWillDetach clear) gets a USB reset after
      DETACH where the transport can send one, else a replug is asked for.
  convert IN OUT.dfu [--vid V --pid P --bcd D] [--alt N] [--address A]
                     [--target ALT=START-END ...]
      Write any input format as a DfuSe file: one target (alternate setting
      --alt, 0 by default) with one element per contiguous run of the input.
      Raw input needs --address. --target (repeatable) splits the input's
      data by address [START, END) into targets. --vid, --pid and --bcd set
      the suffix identity (default 0x0483, 0xDF11, 0x2200).
  convert IN OUT.dfu --plain [--vid V --pid P --bcd D]
      Write a plain DFU file (for devices without DfuSe): the input's bytes
      from its lowest address to its highest (gaps 0xFF) and a 16-byte DFU
      suffix, bcdDFU 0x0100. A plain DFU input keeps its image and gets its
      suffix replaced; ids not given stay as they were, or 0xFFFF (any).
  info FILE [--json]
      Show what a DfuSe, plain DFU, HEX, S-record or ELF file holds: targets,
      elements, addresses, sizes, suffix and checksum state.

Device selection (every command that talks to a device):
  --device PATH        the device with this path (as list shows it)
  --serial S           the device with this serial number
  --vid V --pid P      the device with this vendor and product ID
  With several matching devices a command refuses and lists them (flash
  --all takes them all).

Output:
  On a terminal each step shows a progress bar with bytes, rate and time
  left; otherwise plain lines. --json prints one JSON object per line:
  "device", "step", "progress" and "result" events; "result" carries the
  exit code and, after a verify difference, its address.

Numbers are decimal or hexadecimal with 0x.

Exit codes:
  0  success
  1  the device or the operation failed
  2  usage error
  3  the input file is missing, unreadable or invalid
  4  no matching device
  5  several devices match
  6  a device is present but cannot be opened (permission, no driver, in use)
  7  verify found a difference
)";
}
