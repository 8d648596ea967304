#!/usr/bin/env python3
"""zuvatool as a process against the virtual device: outputs, JSON events,
exit codes and the flash file afterwards. Runs the Linux executable directly
and the Windows one through a wrapper (Wine).

  zuvatool_test.py --exe PATH [--wrapper PROGRAM] --work-dir DIR [-k NAME]
"""
import argparse
import hashlib
import json
import os
import random
import resource
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
import traceback
import zlib

FLASH_BASE = 0x08000000
FLASH_SIZE = 512 * 1024
# Sector layout of the default profile's internal flash.
SECTORS = [(0x08000000 + i * 0x4000, 0x4000) for i in range(4)] + [(0x08010000, 0x10000)] + \
          [(0x08020000 + i * 0x20000, 0x20000) for i in range(3)]
RUN_TIMEOUT = 120

CASES = []


def case(function):
    CASES.append(function)
    return function


class Tool:
    def __init__(self, args, work):
        self.args = args
        self.work = work

    def path(self, name):
        return os.path.join(self.work, name)

    def run(self, *argv, sim="default", faults=None, trace=None, flash="flash.bin", profile=None,
            file_size_limit=None, memory_limit=None, stdout=None):
        """file_size_limit: no file of the run may grow past it (Linux), as on a full disk.
        memory_limit: the run's address space in bytes (Linux), as on a small machine; not
        applied to a sanitizer build, whose shadow memory needs far more.
        stdout: a path that takes the standard output instead of a pipe (done.out is then
        empty)."""
        env = dict(os.environ)
        for key in ("ZUVA_SIM", "ZUVA_SIM_FLASH", "ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"):
            env.pop(key, None)
        if profile is not None:
            with open(self.path("device.profile"), "w") as f:
                f.write(profile)
            sim = "device.profile"
        if sim:
            env["ZUVA_SIM"] = sim
        if flash:
            env["ZUVA_SIM_FLASH"] = flash
        if faults:
            env["ZUVA_SIM_FAULTS"] = faults
        if trace:
            env["ZUVA_SIM_TRACE"] = trace
        command = ([self.args.wrapper] if self.args.wrapper else []) + [self.args.exe] + list(argv)
        def limit():
            if file_size_limit:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
            if memory_limit and not self.sanitized():
                resource.setrlimit(resource.RLIMIT_AS, (memory_limit, memory_limit))

        with open(stdout if stdout else os.devnull, "wb") as out:
            done = subprocess.run(command, cwd=self.work, env=env,
                                  stdout=out if stdout else subprocess.PIPE,
                                  stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                  timeout=RUN_TIMEOUT,
                                  preexec_fn=limit if file_size_limit or memory_limit else None)
        done.stdout = done.stdout or b""
        done.out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        done.err = done.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
        return done

    def sanitized(self):
        """Whether the executable carries AddressSanitizer or ThreadSanitizer,
        whose shadow memory does not fit under an address-space limit."""
        if not hasattr(self, "_sanitized"):
            with open(self.args.exe, "rb") as f:
                data = f.read()
            self._sanitized = b"__asan_init" in data or b"__tsan_init" in data
        return self._sanitized

    def start(self, *argv, sim, flash):
        """The tool as a running process whose standard output is read as it comes."""
        env = dict(os.environ)
        for key in ("ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"):
            env.pop(key, None)
        env.update(ZUVA_SIM=sim, ZUVA_SIM_FLASH=flash)
        wrapper = [self.args.wrapper] if self.args.wrapper else []
        process = subprocess.Popen(wrapper + [self.args.exe] + list(argv), cwd=self.work, env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        process.deadline = threading.Timer(RUN_TIMEOUT, process.kill)
        process.deadline.daemon = True
        process.deadline.start()
        return process

    def json_lines(self, done):
        return [json.loads(line) for line in done.out.splitlines() if line.strip()]

    def write(self, name, data):
        with open(self.path(name), "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def old_flash(self):
        """A flash file with non-blank content, so that every write shows."""
        data = bytes((i * 7 + 3) & 0xFF for i in range(FLASH_SIZE))
        self.write("flash.bin", data)
        return data


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def expect_exit(done, code):
    expect(done.returncode == code,
           "exit %d, wanted %d\nstdout:\n%s\nstderr:\n%s" % (done.returncode, code, done.out, done.err))


def payload(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def hex_records(address, data):
    """Intel HEX text for data at address."""
    lines = []
    upper = None
    for offset in range(0, len(data), 16):
        at = address + offset
        if at >> 16 != upper:
            upper = at >> 16
            body = bytes([2, 0, 0, 4, upper >> 8, upper & 0xFF])
            lines.append(":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF))
        chunk = data[offset:offset + 16]
        body = bytes([len(chunk), (at >> 8) & 0xFF, at & 0xFF, 0]) + chunk
        lines.append(":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF))
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"


def elf32(segments, entry=0):
    """A little-endian ELF32 file with one PT_LOAD per (paddr, bytes)."""
    header = 52
    table = 32 * len(segments)
    offset = header + table
    phdrs = b""
    body = b""
    for paddr, data in segments:
        phdrs += struct.pack("<IIIIIIII", 1, offset + len(body), paddr, paddr, len(data),
                             len(data), 5, 4)
        body += data
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    head = ident + struct.pack("<HHIIIIIHHHHHH", 2, 40, 1, entry, header, 0, 0, header, 32,
                               len(segments), 40, 0, 0)
    return head + phdrs + body


# ---------------------------------------------------------------------------
# Commands without a device

SELECTION = ["--device", "--serial", "--vid", "--pid", "--capture"]
# Each command: the options its help names, and the exit codes it can end with.
COMMAND_HELP = {
    "list": (["--json"] + SELECTION, "0124"),
    "flash": (["--alt", "--address", "--no-verify", "--no-leave", "--changed-only", "--fast-poll",
               "--all", "--watch", "--detach", "--force", "--packed-blocks", "--log", "--expect-sha256",
               "--json"] + SELECTION,
              "01234567"),
    "verify": (["--alt", "--address", "--all", "--force", "--json"] + SELECTION, "01234567"),
    "read": (["--alt", "--address", "--length", "--packed-blocks", "--json"] + SELECTION, "012456"),
    "erase": (["--alt", "--address", "--length", "--all", "--mass", "--json"] + SELECTION,
              "012456"),
    "unprotect": (["--force", "--json"] + SELECTION, "012456"),
    "leave": (["--json"] + SELECTION, "012456"),
    "detach": (["--json"] + SELECTION, "012456"),
    "convert": (["--vid", "--pid", "--bcd", "--alt", "--address", "--target", "--plain", "--json"],
                "0123"),
    "info": (["--json"], "0123"),
}


def options_named(text):
    """The options a help's option lines name: "  --vid V --pid P   the device..."."""
    named = set()
    for line in text.split("\nOptions:\n")[-1].splitlines():
        if line.startswith("  --"):
            named.update(w for w in line.strip().split("  ")[0].split() if w.startswith("--"))
    return named


def exit_code_lines(text):
    return sorted(int(line.split()[0]) for line in text.split("\nExit codes:\n")[-1].splitlines()
                  if line[:3].strip().isdigit())


@case
def help_per_command_overview_and_everything(t):
    overview = t.run("--help", sim=None, flash=None)
    expect_exit(overview, 0)
    expect(t.run("help", sim=None, flash=None).out == overview.out, "help differs from --help")
    for command in COMMAND_HELP:
        expect("\n  %s " % command in overview.out, command + " missing from the overview")
    expect("zuvatool COMMAND --help" in overview.out, overview.out)
    expect("--changed-only" not in overview.out, "the overview describes options")
    everything = t.run("--help-all", sim=None, flash=None)
    expect_exit(everything, 0)
    for command, (options, codes) in COMMAND_HELP.items():
        own = t.run(command, "--help", sim=None, flash=None)
        expect_exit(own, 0)
        expect(t.run("help", command, sim=None, flash=None).out == own.out,
               "help %s differs from %s --help" % (command, command))
        expect(own.out.startswith("Usage: zuvatool %s " % command), own.out[:200])
        expect(options_named(own.out) == set(options),
               "%s --help names %s" % (command, sorted(options_named(own.out))))
        expect(exit_code_lines(own.out) == [int(c) for c in codes], "%s exit codes: %s" %
               (command, exit_code_lines(own.out)))
        # One screen of an 80-column terminal: one line per option, and where the rest is.
        lines = own.out.splitlines()
        expect(len(lines) < 50 and max(len(line) for line in lines) <= 80,
               "%s --help: %d lines, %d columns" % (command, len(lines), max(map(len, lines))))
        listed = own.out.split("\nOptions:\n")[1].split("\n\n")[0].splitlines()
        expect(all(line.startswith("  --") for line in listed), "%s --help: %s" % (command, listed))
        expect("'man zuvatool'" in lines[-1], "%s --help ends in %r" % (command, lines[-1]))
        # The whole help explains the command, whose usage it repeats.
        usage = own.out.split("\n")[0][len("Usage: zuvatool "):]
        expect("\n  %s\n" % usage in everything.out, command + " missing from --help-all")
    expect(exit_code_lines(everything.out) == list(range(8)), everything.out[-600:])
    version = t.run("--version", sim=None, flash=None)
    expect_exit(version, 0)
    expect(version.out.startswith("zuvatool ") and version.out.count("\n") == 1, version.out)
    report = t.run("--version", "--verbose")
    expect_exit(report, 0)
    lines = report.out.splitlines()
    expect(lines[0] == version.out.strip() and lines[1].startswith("system: ") and
           lines[2].startswith("timer resolution: ") and
           any(line.startswith("device: sim:") and "DFU mode, virtual device" in line for line in lines),
           report.out)


@case
def usage_errors_exit_2_on_standard_error(t):
    # (command line, the help the message points to)
    for argv, points_to in ((["frobnicate"], "zuvatool --help"),
                            (["help", "frobnicate"], "zuvatool --help"),
                            (["flash"], "zuvatool flash --help"),
                            (["erase", "--all", "--mass"], "zuvatool erase --help"),
                            (["unprotect"], "zuvatool unprotect --help"),
                            (["read", "out.bin", "--watch"], "zuvatool read --help")):
        done = t.run(*argv, sim=None, flash=None)
        expect_exit(done, 2)
        expect(done.out == "", "usage error on standard output")
        expect("zuvatool:" in done.err and "Run '%s'" % points_to in done.err, done.err)
    done = t.run("read", "out.bin", "--watch", sim=None, flash=None)
    expect("--watch does not belong to read" in done.err, done.err)
    # A script that asked for JSON gets the result event, wherever --json
    # stands relative to the word that is wrong.
    for argv, words in ((["frobnicate", "--json"], "unknown command"),
                        (["flash", "--json"], "takes 1 file"),
                        (["read", "--json", "--bogus", "x.bin"], "--bogus"),
                        (["read", "--bogus", "x.bin", "--json"], "--bogus")):
        done = t.run(*argv, sim=None, flash=None)
        expect_exit(done, 2)
        lines = t.json_lines(done)
        expect(len(lines) == 1 and lines[0]["event"] == "result" and lines[0]["exit"] == 2 and
               words in lines[0]["message"], "%s: %s" % (argv, done.out))


@case
def convert_hex_to_dfuse_and_info_shows_it(t):
    data = payload(3000, 1)
    t.write("fw.hex", hex_records(0x0800FF00, data))
    done = t.run("convert", "fw.hex", "fw.dfu", "--vid", "0x1209", "--pid", "0x0001",
                 sim=None, flash=None)
    expect_exit(done, 0)
    info = t.run("info", "fw.dfu", "--json", sim=None, flash=None)
    expect_exit(info, 0)
    lines = t.json_lines(info)
    expect(lines[0]["format"] == "dfuse" and lines[0]["crc_ok"], lines[0])
    expect(lines[0]["vid"] == "0x1209" and lines[0]["pid"] == "0x0001", lines[0])
    expect(lines[0]["targets"] == [{"alt": 0, "elements": [{"address": "0x0800FF00",
                                                           "size": 3000}]}], lines[0])
    expect(lines[-1] == {"event": "result", "exit": 0}, lines[-1])
    # The suffix's checksum covers the file: the standard CRC-32 of everything
    # before the CRC field, complemented.
    raw = t.read("fw.dfu")
    expect(struct.unpack("<I", raw[-4:])[0] == zlib.crc32(raw[:-4]) ^ 0xFFFFFFFF, "suffix CRC")
    expect(raw[-16 + 8:-16 + 11] == b"UFD", "suffix signature")


@case
def convert_splits_targets_by_address(t):
    t.write("fw.elf", elf32([(0x08000000, payload(64, 2)), (0x1FFFC000, b"\xaa\x55")]))
    done = t.run("convert", "fw.elf", "fw.dfu", "--target", "0=0x08000000-0x08080000",
                 "--target", "1=0x1FFFC000-0x1FFFC010", sim=None, flash=None)
    expect_exit(done, 0)
    info = t.json_lines(t.run("info", "fw.dfu", "--json", sim=None, flash=None))[0]
    expect([(x["alt"], x["elements"]) for x in info["targets"]] ==
           [(0, [{"address": "0x08000000", "size": 64}]),
            (1, [{"address": "0x1FFFC000", "size": 2}])], info)
    # Data that no range takes is refused, not dropped.
    done = t.run("convert", "fw.elf", "x.dfu", "--target", "0=0x08000000-0x08080000",
                 sim=None, flash=None)
    expect_exit(done, 3)
    expect("0x1FFFC000" in done.err, done.err)


@case
def convert_writes_the_format_its_output_is_named_for(t):
    data = payload(40, 3)
    t.write("fw.elf", elf32([(0x08000010, data[:8]), (0x08010000, data[8:])]))
    # .hex and .bin give what read gives under those names; info reads them back.
    expect_exit(t.run("convert", "fw.elf", "fw.hex", sim=None, flash=None), 0)
    info = t.json_lines(t.run("info", "fw.hex", "--json", sim=None, flash=None))[0]
    expect(info["format"] == "ihex" and info["elements"] ==
           [{"address": "0x08000010", "size": 8}, {"address": "0x08010000", "size": 32}], info)
    expect_exit(t.run("convert", "fw.elf", "fw.bin", sim=None, flash=None), 0)
    expect(t.read("fw.bin") == data[:8] + b"\xFF" * (0x10000 - 0x18) + data[8:], "raw output")
    # Raw input placed by --address, to HEX.
    expect_exit(t.run("convert", "fw.bin", "again.hex", "--address", "0x08000010", sim=None,
                      flash=None), 0)
    info = t.json_lines(t.run("info", "again.hex", "--json", sim=None, flash=None))[0]
    expect(info["elements"] == [{"address": "0x08000010", "size": len(t.read("fw.bin"))}], info)
    # Names that do not fit, options that only shape a .dfu, and the input as
    # its own output are usage errors; nothing is written.
    refused = [
        (["fw.elf", "fw.s19"], "never written"),
        (["fw.elf", "fw.out"], "name the output"),
        (["fw.elf", "fw2.hex", "--plain"], "shape a .dfu"),
        (["fw.elf", "fw2.bin", "--target", "0=0x08000000-0x08080000"], "shape a .dfu"),
        (["fw.hex", "fw.hex"], "is the input file"),
        (["fw.hex", "./fw.hex"], "is the input file"),
    ]
    before = t.read("fw.hex")
    for argv, words in refused:
        done = t.run("convert", *argv, sim=None, flash=None)
        expect_exit(done, 2)
        expect(words in done.err, "%s: %s" % (argv, done.err))
        expect(not os.path.exists(t.path(argv[1])) or argv[0] == argv[1].lstrip("./"),
               "%s: output written" % argv)
    expect(t.read("fw.hex") == before, "the input was replaced")
    if not t.args.wrapper:
        os.symlink("fw.hex", t.path("link.hex"))
        expect_exit(t.run("convert", "fw.hex", "link.hex", sim=None, flash=None), 2)
        expect(t.read("fw.hex") == before, "the input was replaced through a link")
    # read refuses a name it cannot write before it asks the device anything.
    done = t.run("read", "out.srec", trace="trace.txt")
    expect_exit(done, 2)
    expect(" UPLOAD " not in open(t.path("trace.txt")).read(), "the device was read")


@case
def info_refuses_bad_inputs_with_exit_3(t):
    good = hex_records(0x08000000, b"\x01\x02")
    t.write("bad.hex", good.replace(":0200000001", ":0200000002"))  # checksum now wrong
    t.write("bad.dfu", b"DfuSe\x01" + bytes(40))
    for name in ("bad.hex", "bad.dfu", "missing.hex"):
        done = t.run("info", name, sim=None, flash=None)
        expect_exit(done, 3)
        expect(name in done.err, done.err)
    # A DfuSe file whose checksum does not match is shown, and still exit 3.
    t.write("fw.bin", b"\x11" * 16)
    expect_exit(t.run("convert", "fw.bin", "ok.dfu", "--address", "0x08000000", sim=None,
                      flash=None), 0)
    raw = bytearray(t.read("ok.dfu"))
    raw[300] ^= 0xFF
    t.write("crc.dfu", bytes(raw))
    done = t.run("info", "crc.dfu", "--json", sim=None, flash=None)
    expect_exit(done, 3)
    lines = t.json_lines(done)
    expect(lines[0]["crc_ok"] is False and lines[-1]["exit"] == 3, lines)


def plain_suffix(data):
    """The ids of a plain DFU file's suffix, after checking its layout and CRC."""
    tail = data[-16:]
    bcd, pid, vid, dfu = struct.unpack("<HHHH", tail[:8])
    expect(tail[8:12] == b"UFD\x10", tail)
    crc = struct.unpack("<I", tail[12:])[0]
    expect(crc == (~zlib.crc32(data[:-4])) & 0xFFFFFFFF, "suffix CRC wrong")
    return vid, pid, bcd, dfu


@case
def convert_plain_writes_the_image_and_a_suffix_that_info_and_dfu_suffix_accept(t):
    # Two runs with a gap: the plain image spans them, the gap erased (0xFF).
    t.write("fw.elf", elf32([(0x08000000, b"\x01\x02"), (0x08000004, b"\x03")]))
    done = t.run("convert", "fw.elf", "fw.dfu", "--plain", "--vid", "0x1209", "--pid", "0x70B1",
                 sim=None, flash=None)
    expect_exit(done, 0)
    data = t.read("fw.dfu")
    expect(data[:-16] == b"\x01\x02\xFF\xFF\x03", data)
    expect(plain_suffix(data) == (0x1209, 0x70B1, 0xFFFF, 0x0100), plain_suffix(data))
    info = t.json_lines(t.run("info", "fw.dfu", "--json", sim=None, flash=None))[0]
    expect(info["format"] == "dfu" and info["vid"] == "0x1209" and info["pid"] == "0x70B1" and
           info["crc_ok"] and info["bytes"] == 5, info)
    # Converting a plain file again replaces its suffix, keeping the ids not given.
    expect_exit(t.run("convert", "fw.dfu", "again.dfu", "--plain", "--bcd", "0x0200", sim=None,
                      flash=None), 0)
    again = t.read("again.dfu")
    expect(again[:-16] == data[:-16] and plain_suffix(again) == (0x1209, 0x70B1, 0x0200, 0x0100),
           plain_suffix(again))
    if shutil.which("dfu-suffix") and not t.args.wrapper:
        checked = subprocess.run(["dfu-suffix", "-c", t.path("again.dfu")], capture_output=True,
                                 text=True)
        expect(checked.returncode == 0 and "0x1209" in checked.stdout.lower(),
               checked.stdout + checked.stderr)
    # A broken checksum is shown and refused.
    broken = bytearray(again)
    broken[0] ^= 0xFF
    t.write("broken.dfu", bytes(broken))
    done = t.run("info", "broken.dfu", sim=None, flash=None)
    expect_exit(done, 3)
    expect("BAD" in done.out and "checksum" in done.err, done.out + done.err)
    # A DfuSe file with data for two alternate settings has no single plain image.
    t.write("two.elf", elf32([(0x08000000, b"\x01"), (0x1FFFC000, b"\x02")]))
    expect_exit(t.run("convert", "two.elf", "two.dfu", "--target", "0=0x08000000-0x08080000",
                      "--target", "1=0x1FFFC000-0x1FFFC010", sim=None, flash=None), 0)
    expect_exit(t.run("convert", "two.dfu", "plain.dfu", "--plain", sim=None, flash=None), 3)


# ---------------------------------------------------------------------------
# Against the virtual device

@case
def no_device_exits_4(t):
    done = t.run("list", sim=None, flash=None)
    expect_exit(done, 4)
    done = t.run("flash", "x.hex", sim=None, flash=None)
    expect_exit(done, 3)  # the file is checked first
    t.write("x.bin", b"\x00")
    done = t.run("read", "out.bin", "--json", sim=None, flash=None)
    expect_exit(done, 4)
    expect(t.json_lines(done)[-1]["exit"] == 4, done.out)


@case
def list_json_describes_the_device(t):
    t.old_flash()
    done = t.run("list", "--json")
    expect_exit(done, 0)
    lines = t.json_lines(done)
    expect(len(lines) == 2 and lines[1] == {"event": "result", "exit": 0}, lines)
    device = lines[0]
    expect(device["path"].startswith("sim:") and device["mode"] == "dfu", device)
    expect((device["vid"], device["pid"], device["bcd"]) == ("0x0483", "0xDF11", "0x2200"), device)
    expect(device["serial"] == "ZUVA00000001" and device["transfer_size"] == 2048, device)
    expect(device["dfu_version"] == "0x011A", device)
    expect([a["alt"] for a in device["alternates"]] == [0, 1, 2, 3], device)
    expect(device["alternates"][0]["sectors"] == [
        {"address": "0x08000000", "sectors": 4, "sector_size": 16384, "access": "rew"},
        {"address": "0x08010000", "sectors": 1, "sector_size": 65536, "access": "rew"},
        {"address": "0x08020000", "sectors": 3, "sector_size": 131072, "access": "rew"}], device)
    text = t.run("list")
    expect_exit(text, 0)
    expect("0483:df11" in text.out and "alt 1: @Option Bytes" in text.out, text.out)


@case
def flash_hex_writes_verifies_and_leaves(t):
    before = t.old_flash()
    data = payload(40000, 3)
    t.write("fw.hex", hex_records(0x08004000, data))
    done = t.run("flash", "fw.hex", "--json", trace="trace.txt")
    expect_exit(done, 0)
    after = t.read("flash.bin")
    expect(after[0x4000:0x4000 + len(data)] == data, "data not in flash")
    # The touched sectors (the 16 KiB ones from 0x08004000) are erased around
    # the data; the others keep their bytes.
    expect(after[:0x4000] == before[:0x4000], "sector 0 touched")
    expect(after[0x4000 + len(data):0x10000] == b"\xff" * (0x10000 - 0x4000 - len(data)),
           "rest of the erased sectors not blank")
    expect(after[0x10000:] == before[0x10000:], "untouched sectors changed")
    events = t.json_lines(done)
    steps = [e["step"] for e in events if e["event"] == "step"]
    expect(steps == ["erase", "download", "verify", "leave"], steps)
    expect(events[0]["event"] == "device" and events[-1] == {
        "event": "result", "exit": 0, "message": "flashed fw.hex"}, events)
    expect(any(e["event"] == "progress" and e["percent"] == 100 for e in events), "no 100 %")
    # The leave request: a zero-length download.
    expect(" DNLOAD 0 0 0 -> ok" in open(t.path("trace.txt")).read(), "no leave request")


@case
def flash_raw_bin_defaults_to_the_first_memory_and_no_leave_stays(t):
    t.old_flash()
    data = payload(5000, 4)
    t.write("fw.bin", data)
    done = t.run("flash", "fw.bin", "--no-leave", trace="trace.txt")
    expect_exit(done, 0)
    expect(t.read("flash.bin")[:len(data)] == data, "raw data not at the flash start")
    expect(" DNLOAD 0 0 0 " not in open(t.path("trace.txt")).read(), "left DFU mode")
    expect("erase" in done.out and "verify" in done.out, done.out)


@case
def flash_elf_and_srec(t):
    t.old_flash()
    elf_data = payload(1024, 5)
    t.write("fw.elf", elf32([(0x08010000, elf_data)]))
    expect_exit(t.run("flash", "fw.elf"), 0)
    expect(t.read("flash.bin")[0x10000:0x10400] == elf_data, "ELF data")
    srec = []
    for offset in range(0, 64, 16):
        body = bytes([21]) + struct.pack(">I", 0x08020000 + offset) + elf_data[offset:offset + 16]
        srec.append("S3" + body.hex().upper() + "%02X" % (~sum(body) & 0xFF))
    # Cut short (no S7, S8 or S9 end record): refused before anything is erased.
    t.write("fw.txt", "\n".join(srec) + "\n")
    before = t.read("flash.bin")
    done = t.run("flash", "fw.txt")
    expect_exit(done, 3)
    expect("no end record" in done.err and t.read("flash.bin") == before, done.err)
    srec.append("S70508020000F0")
    t.write("fw.txt", "\n".join(srec) + "\n")  # recognised by content, not by name
    expect_exit(t.run("flash", "fw.txt"), 0)
    expect(t.read("flash.bin")[0x20000:0x20040] == elf_data[:64], "S-record data")


@case
def flash_dfuse_sends_each_target_to_its_alternate_setting(t):
    t.old_flash()
    flash_data = payload(3000, 10)
    option_bytes = payload(16, 11)
    t.write("fw.elf", elf32([(0x08008000, flash_data), (0x1FFFC000, option_bytes)]))
    expect_exit(t.run("convert", "fw.elf", "fw.dfu", "--target", "0=0x08000000-0x08080000",
                      "--target", "1=0x1FFFC000-0x1FFFC010", sim=None, flash=None), 0)
    done = t.run("flash", "fw.dfu", "--json", trace="trace.txt")
    expect_exit(done, 0)
    steps = [(e["step"], e["alt"]) for e in t.json_lines(done) if e["event"] == "step"]
    expect(steps == [("erase", 0), ("download", 0), ("verify", 0), ("erase", 1),
                     ("download", 1), ("verify", 1), ("leave", 0)], steps)
    expect(t.read("flash.bin")[0x8000:0x8000 + len(flash_data)] == flash_data, "flash data")
    expect("SELECT_ALTERNATE_SETTING 0 0 1 -> ok" in open(t.path("trace.txt")).read(),
           "alternate setting 1 never selected")
    # --alt keeps only that target.
    done = t.run("flash", "fw.dfu", "--alt", "1", "--json")
    expect_exit(done, 0)
    steps = [(e["step"], e["alt"]) for e in t.json_lines(done) if e["event"] == "step"]
    expect(steps == [("erase", 1), ("download", 1), ("verify", 1), ("leave", 0)], steps)


def dfuse_file(targets):
    """A DfuSe file with a correct suffix: targets are (alt, [(address, data), ...])."""
    body = b""
    for alt, elements in targets:
        data = b"".join(struct.pack("<II", a, len(d)) + d for a, d in elements)
        body += b"Target" + bytes([alt]) + struct.pack("<I", 0) + bytes(255) + \
            struct.pack("<II", len(data), len(elements)) + data
    image = b"DfuSe\x01" + struct.pack("<I", 11 + len(body)) + bytes([len(targets)]) + body
    image += struct.pack("<HHHH", 0x2200, 0xDF11, 0x0483, 0x011A) + b"UFD\x10"
    return image + struct.pack("<I", ~zlib.crc32(image) & 0xFFFFFFFF)


@case
def targets_of_one_alternate_setting_sharing_a_sector_are_erased_once(t):
    t.old_flash()
    data = payload(0x3000, 12)  # all inside the first 16 KiB sector
    t.write("fw.bin", data)
    expect_exit(t.run("convert", "fw.bin", "fw.dfu", "--address", "0x08000000",
                      "--target", "0=0x08000000-0x08001000", "--target", "0=0x08001000-0x08003000",
                      sim=None, flash=None), 0)
    for extra in ([], ["--changed-only"]):
        done = t.run("flash", "fw.dfu", "--json", *extra)
        expect_exit(done, 0)
        steps = [(e["step"], e["alt"]) for e in t.json_lines(done) if e["event"] == "step"]
        expect(steps[-4:] == [("erase", 0), ("download", 0), ("verify", 0), ("leave", 0)], steps)
        expect(t.read("flash.bin")[:0x4000] == data + b"\xFF" * 0x1000, "first target lost")
        t.old_flash()


@case
def dfuse_elements_that_overlap_are_refused_before_any_erase(t):
    cases = {
        "one target": [(0, [(0x08000000, b"\x01" * 32), (0x08000010, b"\x02" * 32)])],
        "two targets": [(0, [(0x08000000, b"\x01" * 32)]), (1, [(0x1FFFC000, b"\x03")]),
                        (0, [(0x0800001F, b"\x02")])],
    }
    for name, targets in cases.items():
        before = t.old_flash()
        t.write("overlap.dfu", dfuse_file(targets))
        done = t.run("flash", "overlap.dfu", trace="trace.txt")
        expect_exit(done, 3)
        expect("overlaps" in done.err, name + ": " + done.err)
        expect(t.read("flash.bin") == before, name + ": flash changed")
        expect(" DNLOAD " not in open(t.path("trace.txt")).read(), name + ": the device was asked")
    # Elements that only touch, and the same addresses on another setting, are fine.
    t.write("touch.dfu", dfuse_file([(0, [(0x08000000, b"\x01" * 16), (0x08000010, b"\x02")]),
                                     (1, [(0x1FFFC000, b"\x03")])]))
    expect_exit(t.run("info", "touch.dfu", sim=None, flash=None), 0)
    expect_exit(t.run("flash", "touch.dfu"), 0)


@case
def verify_difference_exits_7_with_its_address_and_stays_in_dfu(t):
    t.old_flash()
    t.write("fw.hex", hex_records(0x08000000, payload(4096, 6)))
    done = t.run("flash", "fw.hex", "--json", faults="corrupt@0x08000123", trace="trace.txt")
    expect_exit(done, 7)
    result = t.json_lines(done)[-1]
    expect(result["event"] == "result" and result["exit"] == 7 and
           result["address"] == "0x08000123", result)
    expect(" DNLOAD 0 0 0 " not in open(t.path("trace.txt")).read(), "left DFU mode")


@case
def data_outside_writable_memory_is_refused_before_any_erase(t):
    before = t.old_flash()
    # The option bytes are readable and writable but this one ends in RAM.
    t.write("fw.hex", hex_records(0x0807FFF0, payload(32, 7)))
    done = t.run("flash", "fw.hex", trace="trace.txt")
    expect_exit(done, 3)
    expect("0x08080000" in done.err, done.err)
    expect(t.read("flash.bin") == before, "flash changed")
    expect("DNLOAD" not in open(t.path("trace.txt")).read(), "something was sent")


@case
def verify_compares_without_writing_and_names_the_differing_sectors(t):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    first, last = payload(3000, 31), payload(5000, 32)
    last_start = 0x08060000
    t.write("fw.hex", hex_records(FLASH_BASE, first).replace(":00000001FF\n", "") +
            hex_records(last_start, last))
    holding = bytearray(t.old_flash())
    holding[:len(first)] = first
    at = last_start - FLASH_BASE
    holding[at:at + len(last)] = last
    differing = bytearray(holding)
    differing[at + len(last) - 1] ^= 0x40
    unreadable = profile.replace("03*128Kg", "03*128Kf")
    no_upload = profile.replace("attributes = 0x0B", "attributes = 0x09")
    # (name, device profile, its flash, exit code, words of the message, JSON extras)
    cases = [
        ("equal", profile, holding, 0, "verified fw.hex", {}),
        ("last byte of the last sector differs", profile, differing, 7,
         "difference at 0x%08X" % (last_start + len(last) - 1),
         {"address": "0x%08X" % (last_start + len(last) - 1), "sectors": ["0x08060000"]}),
        ("device cannot upload", no_upload, holding, 1, "cannot upload", {}),
        ("data in an unreadable range", unreadable, holding, 3,
         "0x08060000 lies outside every readable memory", {"address": "0x08060000"}),
    ]
    for name, device, flash, code, words, extras in cases:
        t.write("flash.bin", bytes(flash))
        done = t.run("verify", "fw.hex", "--json", profile=device, trace="trace.txt")
        expect_exit(done, code)
        result = t.json_lines(done)[-1]
        expect(words in result.get("message", ""), "%s: %s" % (name, result))
        for key, value in extras.items():
            expect(result.get(key) == value, "%s: %s" % (name, result))
        expect("sectors" in result or "sectors" not in extras, "%s: %s" % (name, result))
        trace = open(t.path("trace.txt")).read()
        expect(data_blocks_sent(t.path("trace.txt")) == 0 and " DNLOAD 0 0 0 " not in trace, "%s: %s" % (name, trace))
        expect(("UPLOAD" in trace) == (code in (0, 7)), "%s: %s" % (name, trace))
        expect(t.read("flash.bin") == bytes(flash), "%s: the device changed" % name)
    # --all: every device compared, the worst outcome decides.
    devices, _ = several(t, 2)
    for index, content in enumerate([holding, differing]):
        t.write("f%d.bin" % (index + 1), bytes(content))
    done = t.run("verify", "fw.hex", "--all", "--json", **devices)
    expect_exit(done, 7)
    results = [e for e in t.json_lines(done) if e["event"] == "result" and "device" in e]
    expect(sorted(e["exit"] for e in results) == [0, 7] and
           [e.get("sectors") for e in results if e["exit"] == 7] == [["0x08060000"]], results)


def data_blocks_sent(trace):
    """The DNLOAD requests that carry firmware (block numbers from 2)."""
    blocks = 0
    for line in open(trace).read().splitlines():
        fields = line.split()
        if len(fields) > 4 and fields[1] == "DNLOAD" and int(fields[2]) >= 2:
            blocks += 1
    return blocks


@case
def changed_only_rewrites_the_differing_sectors_and_ends_as_a_plain_flash(t):
    # 0x6000 bytes from 0x08004000: all of sector 1, the first half of
    # sector 2, whose second half a plain flash leaves at 0xFF.
    data = payload(0x6000, 11)
    t.write("fw.hex", hex_records(0x08004000, data))
    base = bytearray(t.old_flash())
    flashed = bytearray(base)
    flashed[0x4000:0xC000] = data + b"\xff" * 0x2000
    tail_changed = bytearray(flashed)
    tail_changed[0xB000] = 0x00  # outside the data, inside a covered sector
    head_changed = bytearray(flashed)
    head_changed[0x4000] ^= 0x01
    # DfuSe commands (five-byte downloads): one address for the comparing
    # read; with a rewrite, per sector an erase and the download's address,
    # and one address for the verify.
    cases = [
        # (name, flash before, data blocks, erased bytes or None, commands)
        ("identical", flashed, 0, None, 1),
        ("rest of a sector not blank", tail_changed, 0x2000 // 2048, 0x4000, 1 + 1 + 2),
        ("first sector changed", head_changed, 0x4000 // 2048, 0x4000, 1 + 1 + 2),
        ("everything different", base, 0x6000 // 2048, 0x8000, 1 + 2 * 2 + 1),
    ]
    for name, before, blocks, erased, commands in cases:
        t.write("flash.bin", bytes(before))
        t.write("plain.bin", bytes(before))
        done = t.run("flash", "fw.hex", "--changed-only", "--no-leave", "--json", trace="trace.txt")
        expect_exit(done, 0)
        expect_exit(t.run("flash", "fw.hex", "--no-leave", flash="plain.bin"), 0)
        expect(t.read("flash.bin") == t.read("plain.bin"), name + ": differs from a plain flash")
        expect(data_blocks_sent(t.path("trace.txt")) == blocks, name + ": data blocks sent")
        sent = open(t.path("trace.txt")).read().count(" DNLOAD 0 0 5 ->")
        expect(sent == commands, "%s: %d commands" % (name, sent))
        steps = [(e["step"], e["bytes"]) for e in t.json_lines(done) if e["event"] == "step"]
        wanted = [("compare", 0x8000)]
        if erased is not None:
            wanted += [("erase", erased), ("download", blocks * 2048), ("verify", blocks * 2048)]
        expect(steps == wanted, "%s: %s" % (name, steps))


def trace_records(trace):
    """(number, request, outcome) per trace line."""
    records = []
    for line in open(trace).read().splitlines():
        head, _, outcome = line.partition(" -> ")
        number, _, request = head.partition(" ")
        records.append((int(number), request, outcome))
    return records


def busy(outcome):
    return outcome.startswith("ok") and " state=4 " in outcome


@case
def fast_poll_ends_as_a_plain_flash_and_falls_back_when_an_early_poll_is_refused(t):
    # Every busy answer announces 100 ms. The first profile programs a block
    # in 8 ms; the second in 24 ms, so that a poll on the early schedule
    # would find the device still busy, which a poll after 100 ms never does.
    inflated = "timing = real\npoll-timeout = 100\nerase-us-per-kib = 1000\n"
    data = payload(0x2000, 21)
    t.write("fw.bin", data)
    old = t.old_flash()
    cases = [
        # (name, profile, fault on the first early poll or None)
        ("accepted", inflated + "program-us-per-kib = 4000\n", None),
        ("stalled", inflated + "program-us-per-kib = 12000\n", "stall"),
        ("refused with an error", inflated + "program-us-per-kib = 12000\n", "status=0x0A"),
    ]
    for name, profile, fault in cases:
        t.write("plain.bin", old)
        expect_exit(t.run("flash", "fw.bin", "--no-leave", profile=profile, flash="plain.bin",
                          trace="plain.txt"), 0)
        # Up to the first busy answer both runs send the same requests.
        first_busy = next(n for n, _, outcome in trace_records(t.path("plain.txt")) if busy(outcome))
        faults = "%s@%d" % (fault, first_busy + 1) if fault else None
        t.write("flash.bin", old)
        done = t.run("flash", "fw.bin", "--no-leave", "--fast-poll", profile=profile, faults=faults,
                     trace="fast.txt")
        expect_exit(done, 0)
        expect(t.read("flash.bin") == t.read("plain.bin"), name + ": differs from a plain flash")
        records = trace_records(t.path("fast.txt"))
        for (_, _, outcome), (number, request, _) in zip(records, records[1:]):
            expect(not busy(outcome) or request.startswith("GETSTATUS"),
                   "%s: request %d sent to a busy device" % (name, number))
        if fault:
            expect(records[first_busy][1].startswith("GETSTATUS"), name + ": the fault missed the poll")
            later = records[first_busy + 1:]
            for (_, _, outcome), (number, _, answer) in zip(later, later[1:]):
                expect(not (busy(outcome) and busy(answer)),
                       "%s: request %d polled before the announced time" % (name, number))


@case
def read_writes_raw_hex_and_dfuse(t):
    before = t.old_flash()
    done = t.run("read", "all.bin")
    expect_exit(done, 0)
    expect(t.read("all.bin") == before, "whole memory read differs")
    done = t.run("read", "part.hex", "--address", "0x08010000", "--length", "0x100")
    expect_exit(done, 0)
    info = t.json_lines(t.run("info", "part.hex", "--json", sim=None, flash=None))[0]
    expect(info["elements"] == [{"address": "0x08010000", "size": 256}], info)
    done = t.run("read", "part.dfu", "--address", "0x08010000", "--length", "256")
    expect_exit(done, 0)
    info = t.json_lines(t.run("info", "part.dfu", "--json", sim=None, flash=None))[0]
    expect(info["crc_ok"] and info["targets"][0]["elements"] ==
           [{"address": "0x08010000", "size": 256}], info)
    raw = t.read("part.dfu")
    expect(raw[11 + 274 + 8:11 + 274 + 8 + 256] == before[0x10000:0x10100], "DfuSe element bytes")
    done = t.run("read", "x.bin", "--address", "0x20000000")
    expect_exit(done, 1)


@case
def a_failed_write_keeps_the_old_output_and_a_read_checks_its_output_first(t):
    if t.args.wrapper:
        return  # the file size limit stands in for a full disk on Linux only
    t.write("fw.hex", hex_records(0x08000000, payload(0x30000, 13)))
    old = b"an earlier image" * 100
    for argv in (["read", "out.bin"], ["read", "out.hex"], ["convert", "fw.hex", "out.dfu"],
                 ["convert", "fw.hex", "out.hex"]):
        t.write(argv[-1], old)
        # No flash file: the device's own would not fit under the limit either.
        done = t.run(*argv, flash=None, file_size_limit=64 * 1024)
        expect_exit(done, 1)
        expect("cannot write " + argv[-1] in done.err, "%s: %s" % (argv, done.err))
        expect(t.read(argv[-1]) == old, "%s: the old file was lost" % argv)
    expect(sorted(os.listdir(t.work)) == ["fw.hex", "out.bin", "out.dfu", "out.hex"],
           "left behind: %s" % os.listdir(t.work))
    # An output that cannot be created fails before the device is read.
    done = t.run("read", "missing/out.bin", trace="trace.txt")
    expect_exit(done, 1)
    expect("cannot create missing/out.bin" in done.err, done.err)
    expect(" UPLOAD " not in open(t.path("trace.txt")).read(), "read before the output was made")


@case
def output_that_cannot_be_written_fails_the_run(t):
    if t.args.wrapper or not os.path.exists("/dev/full"):
        return
    t.old_flash()
    data = payload(256, 14)
    t.write("fw.hex", hex_records(0x08000000, data))
    full = "No space left on device"
    cases = [
        # (argv, run options, exit code)
        (["list", "--json"], {}, 1),
        (["list"], {}, 1),
        (["info", "fw.hex"], {"sim": None, "flash": None}, 1),
        # The device's own failure decides the exit code.
        (["flash", "fw.hex"], {"faults": "corrupt@0x08000010"}, 7),
        (["flash", "fw.hex", "--json"], {}, 1),
    ]
    for argv, options, code in cases:
        done = t.run(*argv, stdout="/dev/full", **options)
        expect_exit(done, code)
        expect("cannot write to standard output: " + full in done.err, "%s: %s" % (argv, done.err))
    expect(t.read("flash.bin")[:256] == data, "the flash itself was done")
    # A disk that fills under the JSON file.
    done = t.run("list", "--json", stdout=t.path("list.json"), flash=None, file_size_limit=16)
    expect_exit(done, 1)
    expect("cannot write to standard output" in done.err, done.err)
    done = t.run("list", "--json", stdout=t.path("list.json"))
    expect_exit(done, 0)
    expect(json.loads(open(t.path("list.json")).read().splitlines()[-1])["exit"] == 0, "result")


@case
def erase_range_all_and_mass(t):
    before = t.old_flash()
    expect_exit(t.run("erase", "--address", "0x08004010", "--length", "16"), 0)
    after = t.read("flash.bin")
    expect(after[0x4000:0x8000] == b"\xff" * 0x4000, "sector 1 not erased")
    expect(after[:0x4000] == before[:0x4000] and after[0x8000:] == before[0x8000:], "too much erased")
    t.old_flash()
    expect_exit(t.run("erase", "--all"), 0)
    expect(t.read("flash.bin") == b"\xff" * FLASH_SIZE, "erase --all")
    t.old_flash()
    done = t.run("erase", "--mass", "--json")
    expect_exit(done, 0)
    expect(t.read("flash.bin") == b"\xff" * FLASH_SIZE, "mass erase")


@case
def small_outcomes_read_as_what_happened(t):
    """Each outcome in its own words: the file named once, a flash with nothing to do
    called up to date, the sectors an erase took, no byte count for the leave request,
    and --address refused for a file with addresses before any device is asked."""
    t.write("fw.hex", hex_records(0x08004000, payload(0x100, 5)))
    expect_exit(t.run("flash", "fw.hex", "--no-leave"), 0)
    # (command line, exit code, words of the output, words it must not hold, ask the device)
    cases = [
        (["flash", "nosuch.bin"], 3, "zuvatool: no such file: nosuch.bin\n", "nosuch.bin: ", False),
        (["flash", "fw.hex", "--address", "0x08000000"], 2,
         "--address places raw input only: fw.hex carries its own addresses", None, False),
        (["flash", "fw.hex", "--changed-only", "--no-leave"], 0,
         "the device is already up to date with fw.hex: no sector differs", "flashed", True),
        (["erase", "--address", "0x08000000", "--length", "100"], 0,
         "erased the sector 0x08000000..0x08003FFF (16 KiB), which holds the range "
         "0x08000000..0x08000063", None, True),
        (["erase", "--address", "0x0800C000", "--length", "0x5000"], 0,
         "erased 2 sectors, 0x0800C000..0x0801FFFF (80 KiB), which hold the range "
         "0x0800C000..0x08010FFF", None, True),
        (["erase", "--address", "0x08004000", "--length", "0x4000"], 0,
         "erased the sector 0x08004000..0x08007FFF (16 KiB)\n", "which", True),
        (["leave"], 0, "\nleave...\nleave done\n", "bytes", True),
    ]
    for argv, code, words, never, asks in cases:
        if os.path.exists(t.path("trace.txt")):
            os.remove(t.path("trace.txt"))
        done = t.run(*argv, trace="trace.txt")
        expect_exit(done, code)
        said = done.out + done.err
        expect(words in said and (never is None or never not in said), "%s: %s" % (argv, said))
        asked = os.path.exists(t.path("trace.txt")) and os.path.getsize(t.path("trace.txt")) > 0
        expect(asked == asks, "%s: device asked: %s" % (argv, asked))


@case
def leave_sends_the_leave_request(t):
    t.old_flash()
    done = t.run("leave", trace="trace.txt")
    expect_exit(done, 0)
    expect(" DNLOAD 0 0 0 -> ok" in open(t.path("trace.txt")).read(), "no leave request")


@case
def detach_brings_an_application_mode_device_into_dfu_mode(t):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    done = t.run("detach", "--json", profile=profile + "mode = application\n", flash=None)
    expect_exit(done, 0)
    events = t.json_lines(done)
    expect(events[0]["mode"] == "application", events)
    # A device in application mode is not flashed by mistake.
    t.write("fw.bin", b"\x00" * 16)
    done = t.run("flash", "fw.bin", profile=profile + "mode = application\n", flash=None)
    expect_exit(done, 4)
    expect("detach" in done.err, done.err)


@case
def a_board_running_its_application_is_detached_and_flashed_in_one_command(t):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    application = profile + "mode = application\n"
    data = payload(5000, 3)
    t.write("fw.bin", data)
    t.old_flash()
    # Without --detach the refusal says how to do it in one command.
    done = t.run("flash", "fw.bin", profile=application)
    expect_exit(done, 4)
    expect("zuvatool flash FILE --detach" in done.err, done.err)
    # (profile, the steps of flash --detach)
    for name, device, steps in (("application", application,
                                 ["detach", "erase", "download", "verify", "leave"]),
                                ("already in DFU mode", profile, ["erase", "download", "verify", "leave"])):
        t.old_flash()
        done = t.run("flash", "fw.bin", "--detach", "--json", profile=device)
        expect_exit(done, 0)
        events = t.json_lines(done)
        expect([e["step"] for e in events if e["event"] == "step"] == steps, "%s: %s" % (name, events))
        expect(t.read("flash.bin")[:len(data)] == data, name + ": not flashed")
    # detach of a device that is in DFU mode already has nothing to do, and says so.
    done = t.run("detach", profile=profile, trace="trace.txt")
    expect_exit(done, 0)
    expect("is already in DFU mode; nothing was sent" in done.out, done.out + done.err)
    expect(trace_names(t, "trace.txt").count("DETACH") == 0, "a DETACH was sent")


@case
def composite_device_is_detached_through_its_own_interface_number(t):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    done = t.run("detach", profile=profile + "mode = application\nextra-interfaces = 2\n",
                 flash=None, trace="trace.txt")
    expect_exit(done, 0)
    trace = open(t.path("trace.txt")).read()
    expect(" DETACH 5000 2 0 -> ok" in trace, trace[-400:])


@case
def protected_device_refuses_flashing_until_unprotected(t):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    old = t.old_flash()
    t.write("fw.bin", payload(4096, 9))
    done = t.run("flash", "fw.bin", profile=profile + "protected = yes\n")
    expect_exit(done, 1)
    expect(t.read("flash.bin") == old, "a protected device was written")
    expect("read-protected" in done.err and "unprotect --force" in done.err, done.err)
    # The mass erase is refused the same way, and says what the device answered.
    done = t.run("erase", "--mass", profile=profile + "protected = yes\n")
    expect_exit(done, 1)
    expect(t.read("flash.bin") == old, "a protected device was mass-erased")
    expect("mass erase failed: the device refused with errVENDOR" in done.err, done.err)
    done = t.run("unprotect", "--force", profile=profile + "protected = yes\n")
    expect_exit(done, 0)
    expect(t.read("flash.bin") == b"\xff" * FLASH_SIZE, "the unprotect did not wipe the flash")


@case
def selection_among_several_devices(t):
    separator = ";" if t.args.wrapper else ":"
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    t.write("auto.profile", profile + "serial = auto\n")
    flashes = ["f1.bin", "f2.bin", "f3.bin"]
    old = bytes((i * 7 + 3) & 0xFF for i in range(FLASH_SIZE))
    for name in flashes:
        t.write(name, old)
    three = dict(sim=separator.join(["auto.profile"] * 3), flash=separator.join(flashes))
    done = t.run("list", "--json", **three)
    expect_exit(done, 0)
    devices = [e for e in t.json_lines(done) if e["event"] == "device"]
    expect([d["serial"] for d in devices] == ["SIM0001", "SIM0002", "SIM0003"], devices)
    data = payload(2048, 9)
    t.write("fw.bin", data)
    # Without a selector several devices are refused and listed; nothing is written.
    done = t.run("flash", "fw.bin", **three)
    expect_exit(done, 5)
    for device in devices:
        expect(device["path"] in done.err, done.err)
    expect(all(t.read(name) == old for name in flashes), "a device was written")
    done = t.run("flash", "fw.bin", "--vid", "0x0483", "--pid", "0xdf11", **three)
    expect_exit(done, 5)
    # A serial picks one.
    done = t.run("flash", "fw.bin", "--serial", "SIM0002", **three)
    expect_exit(done, 0)
    expect(t.read("f2.bin")[:len(data)] == data, "SIM0002 not written")
    expect(t.read("f1.bin") == old and t.read("f3.bin") == old, "another device written")
    # Boards that share a serial are told apart by path only.
    two = dict(sim=separator.join(["default", "default"]), flash=separator.join(flashes[:2]))
    for name in flashes:
        t.write(name, old)
    done = t.run("flash", "fw.bin", "--serial", "ZUVA00000001", **two)
    expect_exit(done, 5)
    done = t.run("flash", "fw.bin", "--device", devices[1]["path"], **two)
    expect_exit(done, 0)
    expect(t.read("f2.bin")[:len(data)] == data and t.read("f1.bin") == old, "wrong device")


def several(t, count, extras=None):
    """count virtual devices with serials SIM0001.. and old content, as run() arguments;
    extras[i], when given, is added to the i-th device's profile (and takes the place of
    the serial when it names one)."""
    separator = ";" if t.args.wrapper else ":"
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    profiles = []
    for i in range(count):
        extra = extras[i] if extras else ""
        base = profile.replace("timing = fast\n", "") if "timing =" in extra else profile
        profiles.append("p%d.profile" % (i + 1))
        t.write(profiles[-1], base + ("" if "serial =" in extra else "serial = auto\n") + extra)
    flashes = ["f%d.bin" % (i + 1) for i in range(count)]
    old = bytes((i * 7 + 3) & 0xFF for i in range(FLASH_SIZE))
    for name in flashes:
        t.write(name, old)
    return dict(sim=separator.join(profiles), flash=separator.join(flashes)), old


@case
def flash_all_flashes_every_device_and_one_failing_stops_no_other(t):
    data = payload(20000, 12)
    t.write("fw.bin", data)
    # (name, one fault plan per device, exit code of each device, of the run)
    cases = [
        ("all succeed", ";;", [0, 0, 0], 0),
        ("one unplugged", ";unplug@20;", [0, 1, 0], 1),
        # The worst outcome decides: a verify difference outranks a failure.
        ("unplugged and corrupted", "unplug@20;;corrupt@0x08000010", [1, 0, 7], 7),
    ]
    for name, faults, exits, run_exit in cases:
        devices, old = several(t, 3)
        done = t.run("flash", "fw.bin", "--all", "--json", faults=faults, **devices)
        expect_exit(done, run_exit)
        events = t.json_lines(done)
        paths = [e["path"] for e in events if e["event"] == "device"]
        expect(len(paths) == 3, "%s: %s" % (name, paths))
        for index, path in enumerate(paths):
            mine = [e for e in events if e.get("device") == path]
            result = [e for e in mine if e["event"] == "result"]
            expect(len(result) == 1 and result[0]["exit"] == exits[index], "%s: %s" % (name, mine))
            flashed = t.read("f%d.bin" % (index + 1))
            if exits[index] == 0:
                expect([e["step"] for e in mine if e["event"] == "step"] ==
                       ["erase", "download", "verify", "leave"], "%s: %s" % (name, mine))
                expect(flashed[:len(data)] == data, "%s: device %d not flashed" % (name, index))
        summary = [e for e in events if e["event"] == "summary"]
        expect(len(summary) == 1 and [(d["device"], d["serial"], d["exit"])
                                      for d in summary[0]["devices"]] ==
               list(zip(paths, ["SIM0001", "SIM0002", "SIM0003"], exits)), "%s: %s" % (name, summary))
        # Every row says how its device ended, a success too, in its device's own words.
        results = {e["device"]: e.get("message") for e in events
                   if e["event"] == "result" and "device" in e}
        expect(all(d.get("message") and d["message"] == results[d["device"]]
                   for d in summary[0]["devices"]), "%s: %s" % (name, summary))
        expect(events[-1]["event"] == "result" and "device" not in events[-1] and
               events[-1]["exit"] == run_exit, "%s: %s" % (name, events[-1]))
    # The text summary: a table with a row per device, then the run's result.
    devices, _ = several(t, 2)
    done = t.run("flash", "fw.bin", "--all", faults=";unplug@20", **devices)
    expect_exit(done, 1)
    table = [line.split() for line in done.out.splitlines() if line.startswith(("Device ", "sim:"))]
    expect(table[-3][:3] == ["Device", "Serial", "Result"] and table[-2][1:3] == ["SIM0001", "ok"] and
           table[-1][1] == "SIM0002" and "failed" in done.out.splitlines()[-1], done.out)
    expect("1 of 2 devices failed" in done.err, done.err)


def record_lines(t, name):
    with open(t.path(name)) as f:
        text = f.read()
    expect(text.endswith("\n"), "the record's last line is not ended: %r" % text[-200:])
    return [json.loads(line) for line in text.splitlines()]


RECORD_FIELDS = ["time", "device", "serial", "vidpid", "image", "sha256", "size", "result",
                 "message", "exit", "ms"]


@case
def flash_log_records_each_device_as_it_ends(t):
    data = payload(20000, 40)
    t.write("fw.bin", data)
    digest = hashlib.sha256(data).hexdigest()
    t.old_flash()
    expect_exit(t.run("flash", "fw.bin", "--log", "run.log"), 0)
    expect_exit(t.run("flash", "fw.bin", "--log", "run.log", "--json",
                      faults="corrupt@0x08000010"), 7)
    first, second = record_lines(t, "run.log")
    expect(list(first) == RECORD_FIELDS, first)
    expect(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", first["time"]) and
           first["vidpid"] == "0483:df11" and first["image"] == "fw.bin" and
           first["sha256"] == digest and first["size"] == len(data) and
           first["result"] == "ok" and first["exit"] == 0 and first["device"].startswith("sim:"),
           first)
    expect(second["exit"] == 7 and second["result"] == "failed" and
           second["address"] == "0x08000010", second)
    # --all: a line per device, failing ones too.
    devices, _ = several(t, 3)
    done = t.run("flash", "fw.bin", "--all", "--log", "all.log", faults=";unplug@20;", **devices)
    expect_exit(done, 1)
    lines = record_lines(t, "all.log")
    expect(sorted((line["serial"], line["exit"]) for line in lines) ==
           [("SIM0001", 0), ("SIM0002", 1), ("SIM0003", 0)], lines)
    # A record that cannot be opened stops the run before any device is touched.
    os.mkdir(t.path("folder"))
    before = t.read("flash.bin")
    done = t.run("flash", "fw.bin", "--log", "folder")
    expect_exit(done, 1)
    expect("cannot open the record folder" in done.err and t.read("flash.bin") == before, done.err)
    # A record that is the firmware file, however it is named, is refused
    # before the file is changed or a device touched.
    os.link(t.path("fw.bin"), t.path("fw-link.bin"))
    for record in ("fw.bin", "./fw.bin", "fw-link.bin"):
        done = t.run("flash", "fw.bin", "--log", record)
        expect_exit(done, 2)
        expect("the record %s is the input file fw.bin" % record in done.err, done.err)
        expect(t.read("fw.bin") == data and t.read("flash.bin") == before, record + ": changed")


@case
def flash_log_on_a_full_disk_says_so_and_still_reports_the_flash(t):
    if t.args.wrapper:
        return  # the file size limit is a Linux process limit
    data = payload(20000, 41)
    t.write("fw.bin", data)
    t.old_flash()
    # The record already reaches almost to the limit: its line cannot be
    # written whole.
    limit = max(os.path.getsize(t.path("flash.bin")), 100) + 20
    t.write("full.log", "x" * (limit - 21) + "\n")
    for json_output in (False, True):
        done = t.run("flash", "fw.bin", "--log", "full.log", *(["--json"] if json_output else []),
                     file_size_limit=limit)
        expect_exit(done, 1)
        words = t.json_lines(done)[-1]["message"] if json_output else done.err
        expect("flashed fw.bin" in words and "cannot write the record of sim:" in words and
               "full.log" in words, done.out + done.err)
        expect(t.read("flash.bin")[:len(data)] == data, "the device was not flashed")
        # No part of the line that did not fit is left for the next to join.
        expect(t.read("full.log") == ("x" * (limit - 21) + "\n").encode(),
               t.read("full.log")[limit - 40:])
    expect_exit(t.run("flash", "fw.bin", "--log", "full.log"), 0)
    lines = t.read("full.log").decode().split("\n")
    expect(len(lines) == 3 and lines[2] == "" and json.loads(lines[1])["result"] == "ok",
           lines[1:])


@case
def flash_log_takes_two_processes_appending_at_once(t):
    data = payload(4000, 42)
    t.write("fw.bin", data)
    runs = []
    for run in ("a", "b"):
        separator = ";" if t.args.wrapper else ":"
        profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
        names = []
        for i in range(4):
            names.append("%s%d" % (run, i))
            t.write(names[-1] + ".profile", profile + "serial = auto\n")
        runs.append(t.start("flash", "fw.bin", "--all", "--log", "shared.log",
                            sim=separator.join(n + ".profile" for n in names),
                            flash=separator.join(n + ".bin" for n in names)))
    for process in runs:
        process.communicate()
        process.deadline.cancel()
        expect(process.returncode == 0, "exit %d" % process.returncode)
    lines = record_lines(t, "shared.log")
    expect(len(lines) == 8 and all(list(line) == RECORD_FIELDS and line["exit"] == 0
                                   for line in lines), lines)


@case
def expect_sha256_refuses_another_image_before_anything_is_erased(t):
    data = payload(20000, 43)
    t.write("fw.bin", data)
    digest = hashlib.sha256(data).hexdigest()
    before = t.old_flash()
    other = hashlib.sha256(b"another build").hexdigest()
    done = t.run("flash", "fw.bin", "--expect-sha256", other, trace="trace.txt")
    expect_exit(done, 3)
    expect(digest in done.err and other in done.err, done.err)
    expect(t.read("flash.bin") == before, "the device was changed")
    trace = open(t.path("trace.txt")).read() if os.path.exists(t.path("trace.txt")) else ""
    expect("DNLOAD" not in trace, trace[:400])
    done = t.run("flash", "fw.bin", "--expect-sha256", digest.upper())
    expect_exit(done, 0)
    expect(t.read("flash.bin")[:len(data)] == data, "not flashed")


@case
def flash_all_leaves_a_device_that_arrives_meanwhile_alone(t):
    if t.args.wrapper:
        return  # Wine may take longer to start than the arrival waits
    data = payload(0x20000, 13)
    t.write("fw.bin", data)
    # The first device takes real time (about two seconds to erase and write
    # 128 KiB), so the second arrives after the listing, during its flash.
    devices, old = several(t, 2, ["timing = real\n", "arrive-after = 300\n"])
    done = t.run("flash", "fw.bin", "--all", "--json", **devices)
    expect_exit(done, 0)
    summary = [e for e in t.json_lines(done) if e["event"] == "summary"][0]["devices"]
    expect([d["serial"] for d in summary] == ["SIM0001"], summary)
    expect(t.read("f1.bin")[:len(data)] == data and t.read("f2.bin") == old, "wrong devices flashed")


@case
def flash_watch_flashes_arrivals_again_only_in_dfu_mode_and_finishes_at_an_interrupt(t):
    if t.args.wrapper:
        return  # the interrupt is a POSIX signal here
    data = payload(2048, 14)
    t.write("fw.bin", data)
    # Present at the start; arriving and coming back in DFU mode after each
    # flash (slow, so that the interrupt finds it busy); arriving and coming
    # back running its application.
    devices, _ = several(t, 3, ["", "arrive-after = 300\nafter-leave = dfu\ntiming = real\n",
                                "arrive-after = 600\nafter-leave = application\n"])
    process = t.start("flash", "fw.bin", "--watch", "--json", **devices)
    events = []
    started = {}
    interrupted = False
    for line in process.stdout:
        event = json.loads(line)
        events.append(event)
        if event["event"] == "device":
            started[event["serial"]] = started.get(event["serial"], 0) + 1
            if started.get("SIM0002") == 3 and not interrupted:
                process.send_signal(signal.SIGINT)
                interrupted = True
    process.wait()
    process.deadline.cancel()
    expect(interrupted, "SIM0002 never came back twice: %s\n%s" % (events, process.stderr.read()))
    expect(process.returncode == 0, "exit %d" % process.returncode)
    results = [e for e in events if e["event"] == "result" and "device" in e]
    by_serial = {}
    for result in results:
        expect(result["exit"] == 0 and result["time"].count(":") == 2 and "ms" in result, result)
        by_serial.setdefault(result["serial"], []).append(result["device"])
    # The flash in progress at the interrupt finished; the device that came
    # back in application mode was not flashed again.
    expect({s: len(p) for s, p in by_serial.items()} == {"SIM0001": 1, "SIM0002": 3, "SIM0003": 1},
           by_serial)
    expect(len(set(by_serial["SIM0002"])) == 3, "the same path flashed twice: %s" % by_serial)
    summary = [e for e in events if e["event"] == "summary"]
    expect(len(summary) == 1 and len(summary[0]["devices"]) == 5, summary)
    expect(events[-1] == {"event": "result", "exit": 0, "message": "flashed fw.bin on 5 devices"},
           events[-1])
    for name in ("f1.bin", "f2.bin", "f3.bin"):
        expect(t.read(name)[:len(data)] == data, name + " not flashed")


@case
def flash_watch_leaves_a_board_alone_that_keeps_coming_back_in_dfu_mode(t):
    if t.args.wrapper:
        return  # the interrupt is a POSIX signal here
    data = payload(2048, 15)
    t.write("fw.bin", data)
    # (board, profile lines, serial): a board known by its serial, back under
    # a new path each time; one without a serial, known by its port's path.
    cases = [("with a serial", "after-leave = dfu\n", "SIM0001"),
             ("without a serial", "serial =\nafter-leave = dfu\nafter-leave-path = same\n", "")]
    for name, profile, serial in cases:
        devices, _ = several(t, 1, [profile])
        process = t.start("flash", "fw.bin", "--watch", "--json", "--log",
                          name.replace(" ", "-") + ".log", **devices)
        events = []
        for line in process.stdout:
            event = json.loads(line)
            events.append(event)
            flashes = len([e for e in events if e["event"] == "device"])
            if event["event"] == "left-alone" or (event["event"] == "device" and flashes == 6):
                process.send_signal(signal.SIGINT)
        process.wait()
        process.deadline.cancel()
        # Flashed, then flashed again twice as it came back in DFU mode each
        # time; the fourth return gets a line and no flash.
        results = [e for e in events if e["event"] == "result" and "device" in e]
        expect([r["exit"] for r in results] == [0, 0, 0],
               "%s: %s\n%s" % (name, events, process.stderr.read()))
        alone = [e for e in events if e["event"] == "left-alone"]
        expect(len(alone) == 1 and alone[0]["serial"] == serial and
               alone[0]["message"] == "still in DFU mode after 3 flashes; left alone" and
               (alone[0]["device"] not in [r["device"] for r in results]) == (serial != ""),
               "%s: %s" % (name, alone))
        # The board does not run what it was given: a failed row of its own.
        summary = [e for e in events if e["event"] == "summary"][0]["devices"]
        expect([d["exit"] for d in summary] == [0, 0, 0, 1] and
               summary[-1]["device"] == alone[0]["device"] and
               summary[-1]["message"] == alone[0]["message"], "%s: %s" % (name, summary))
        expect(events[-1]["exit"] == 1 and events[-1]["message"] == "1 of 4 devices failed",
               "%s: %s" % (name, events[-1]))
        expect(process.returncode == 1, "%s: exit %d" % (name, process.returncode))
        # The record holds what the summary counts, the board left alone too.
        record = [(line["device"], line["result"], line["exit"], line["message"])
                  for line in record_lines(t, name.replace(" ", "-") + ".log")]
        expect(record == [(d["device"], "ok" if d["exit"] == 0 else "failed", d["exit"],
                           d.get("message", "flashed fw.bin")) for d in summary],
               "%s: %s" % (name, record))


@case
def an_interrupt_stops_the_flash_and_says_what_the_device_was_left_in(t):
    if t.args.wrapper:
        return  # the interrupt is a POSIX signal here
    data = payload(0x10000, 31)
    t.write("fw.bin", data)
    slow = "timing = real\nprogram-us-per-kib = 20000\n"
    # (arguments, devices): one device in the text modes and with --json,
    # two with --all.
    for extra, count in (([], 1), (["--json"], 1), (["--all", "--json"], 2)):
        devices, old = several(t, count, [slow] * count)
        process = t.start("flash", "fw.bin", *extra, **devices)
        started = set()
        lines = []
        for line in process.stdout:
            lines.append(line.decode())
            if line.startswith(b"download") or b'"step": "download"' in line or \
                    b'"step":"download"' in line:
                started.add(json.loads(line).get("device") if line.startswith(b"{") else None)
                if len(started) == count:
                    process.send_signal(signal.SIGINT)
                    break
        lines += [line.decode() for line in process.stdout]
        err = process.stderr.read().decode()
        process.wait()
        process.deadline.cancel()
        name = " ".join(extra) or "text"
        expect(process.returncode == 130, "%s: exit %d\n%s%s" % (name, process.returncode,
                                                                "".join(lines), err))
        if not extra:
            told = [line for line in err.splitlines() if "interrupted" in line]
            expect(len(told) == 1 and "stays in DFU mode" in told[0], name + ": " + err)
        else:
            events = [json.loads(line) for line in lines]
            expect(events[-1]["event"] == "result" and events[-1]["exit"] == 130 and
                   "interrupted" in events[-1]["message"], "%s: %s" % (name, events[-1]))
        if count > 1:
            summary = [e for e in events if e["event"] == "summary"]
            expect(len(summary) == 1 and [d["exit"] for d in summary[0]["devices"]] == [130] * count and
                   all("stays in DFU mode" in d["message"] for d in summary[0]["devices"]), summary)
        for i in range(count):
            expect(t.read("f%d.bin" % (i + 1))[:len(data)] != data, name + ": the flash went on")


@case
def flash_all_without_a_matching_device_exits_4(t):
    t.write("fw.bin", b"\x00" * 16)
    devices, _ = several(t, 2)
    done = t.run("flash", "fw.bin", "--all", "--serial", "NOPE", **devices)
    expect_exit(done, 4)


@case
def a_device_error_status_is_named_in_the_message(t):
    t.old_flash()
    t.write("fw.bin", payload(4096, 8))
    expect_exit(t.run("flash", "fw.bin", "--no-leave", trace="clean.txt"), 0)
    first_block = next(n for n, request, _ in trace_records(t.path("clean.txt"))
                       if request.startswith("DNLOAD 2 "))
    # Every status from the first data block's on answers the error.
    for status, words in ((0x06, "errPROG"), (0x03, "errWRITE"), (0x08, "errADDRESS")):
        t.old_flash()
        done = t.run("flash", "fw.bin", "--no-leave",
                     faults="status=0x%02X@%d-" % (status, first_block + 1))
        expect_exit(done, 1)
        expect("download failed: the device reported " + words in done.err, done.err)


@case
def a_device_gone_before_the_leave_request_reached_it_has_not_left(t):
    t.old_flash()
    t.write("fw.bin", payload(4096, 9))
    expect_exit(t.run("flash", "fw.bin", trace="clean.txt"), 0)
    leave = [n for n, request, _ in trace_records(t.path("clean.txt")) if request == "DNLOAD 0 0 0"][-1]
    # Unplugged as the leave request goes out, or right after it reached it.
    for number, code in ((leave, 1), (leave + 1, 0)):
        done = t.run("flash", "fw.bin", faults="unplug@%d" % number)
        expect_exit(done, code)
        if code:
            expect("leaving DFU mode failed" in done.err, done.err)


@case
def device_strings_with_control_characters_are_escaped_in_the_text_modes(t):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    hostile = profile.replace("description = Virtual DFU Device",
                              "description = Board\x1b]0;title\x07\x7f") + "serial = EVIL\x1b[2J\x07\n"
    t.old_flash()
    t.write("fw.bin", payload(2048, 10))
    for argv in (["list"], ["flash", "fw.bin", "--no-leave"]):
        done = t.run(*argv, profile=hostile)
        expect_exit(done, 0)
        text = done.out + done.err
        expect(not any(c in text for c in "\x1b\x07\x7f"), "%s: raw control characters: %r" % (argv, text))
        expect("EVIL\\x1B[2J\\x07" in done.out, "%s: %r" % (argv, done.out))
    listed = t.run("list", profile=hostile).out
    expect("Board\\x1B]0;title\\x07\\x7F" in listed, repr(listed))
    # JSON carries the string itself, escaped as JSON escapes it.
    device = t.json_lines(t.run("list", "--json", profile=hostile))[0]
    expect(device["serial"] == "EVIL\x1b[2J\x07", device)


@case
def one_stalled_string_request_loses_nothing(t):
    data = payload(2048, 12)
    t.write("fw.bin", data)
    t.old_flash()
    expect_exit(t.run("flash", "fw.bin", "--no-leave", trace="clean.txt"), 0)
    strings = [n for n, request, _ in trace_records(t.path("clean.txt"))
               if request.startswith("GET_STRING_DESCRIPTOR")]
    expect(strings, "no string request")
    for number in strings:
        t.old_flash()
        done = t.run("flash", "fw.bin", "--no-leave", faults="stall@%d" % number)
        expect_exit(done, 0)
        expect(t.read("flash.bin")[:len(data)] == data, "stall@%d: not flashed" % number)


@case
def a_failing_device_exits_1(t):
    t.old_flash()
    t.write("fw.bin", payload(4096, 8))
    done = t.run("flash", "fw.bin", faults="unplug@20")
    expect_exit(done, 1)
    expect("failed" in done.err, done.err)


# ---------------------------------------------------------------------------
# Plain DFU devices (no DfuSe)

def plain_profile(attributes=0x07, transfer_size=1024, memory_size=65536):
    return ("description = Plain Board\nvendor = 0x1209\nproduct = 0x70B1\ndevice = 0x0100\n"
            "dfu-version = 0x0110\nattributes = 0x%02X\ntransfer-size = %d\nmemory-size = %d\n"
            "alt = Application\nalt = Settings\n" % (attributes, transfer_size, memory_size))


@case
def list_shows_a_plain_device_by_protocol_and_alternate_names(t):
    done = t.run("list", profile=plain_profile(), flash=None)
    expect_exit(done, 0)
    expect("DFU version 1.10 (plain DFU)" in done.out and "alt 0: Application" in done.out and
           "alt 1: Settings" in done.out, done.out)
    device = t.json_lines(t.run("list", "--json", profile=plain_profile(), flash=None))[0]
    expect(device["protocol"] == "dfu" and device["alternates"][1]["name"] == "Settings", device)


@case
def plain_flash_follows_each_manifestation_and_says_whether_it_read_back(t):
    image = payload(5000, 21)
    t.write("fw.bin", image)
    for attributes, words in ((0x07, "verified"),
                              (0x03, "not read back: the device left the bus"),
                              (0x05, "not read back: the device cannot upload")):
        t.write("flash.bin", b"")
        os.remove(t.path("flash.bin"))
        done = t.run("flash", "fw.bin", profile=plain_profile(attributes))
        expect_exit(done, 0)
        expect(words in done.out, "attributes 0x%02X: %s" % (attributes, done.out))
        expect(t.read("flash.bin")[:len(image)] == image, "attributes 0x%02X: image not in flash" % attributes)
    # What a device that can upload holds reads back whole, its memory ended
    # by a short block.
    done = t.run("read", "back.bin", profile=plain_profile(0x07))
    expect_exit(done, 0)
    expect(t.read("back.bin") == t.read("flash.bin") and len(t.read("back.bin")) == 65536,
           "read back differs")
    done = t.run("read", "back.bin", profile=plain_profile(0x05))
    expect_exit(done, 1)
    expect("cannot upload" in done.err, done.err)


@case
def plain_flash_checks_the_suffix_ids_and_refuses_another_device_without_force(t):
    image = payload(3000, 22)
    t.write("fw.bin", image)
    for vid, pid, code in (("0x1209", "0x70B1", 0), ("0xFFFF", "0xFFFF", 0), ("0x1209", "0x0001", 3)):
        os.path.exists(t.path("flash.bin")) and os.remove(t.path("flash.bin"))
        expect_exit(t.run("convert", "fw.bin", "fw.dfu", "--plain", "--vid", vid, "--pid", pid,
                          sim=None, flash=None), 0)
        done = t.run("flash", "fw.dfu", profile=plain_profile())
        expect_exit(done, code)
        holds = os.path.exists(t.path("flash.bin")) and t.read("flash.bin")[:len(image)] == image
        expect(holds == (code == 0), "%s:%s flashed %s" % (vid, pid, holds))
    expect("0x1209:0x0001" in done.err and "--force" in done.err, done.err)
    done = t.run("flash", "fw.dfu", "--force", profile=plain_profile())
    expect_exit(done, 0)
    expect("warning" in done.out and t.read("flash.bin")[:len(image)] == image, done.out)


@case
def plain_flash_of_70000_blocks_wraps_the_block_number(t):
    # 8-byte blocks: 70,000 full ones and a short one, numbered 0..65535, 0...
    image = payload(70000 * 8 + 5, 23)
    t.write("fw.bin", image)
    done = t.run("flash", "fw.bin", trace="trace.txt",
                 profile=plain_profile(0x07, transfer_size=8, memory_size=len(image) + 64))
    expect_exit(done, 0)
    expect("verified" in done.out, done.out)
    expect(t.read("flash.bin")[:len(image)] == image, "image not in flash")
    with open(t.path("trace.txt")) as f:
        blocks = [int(line.split()[2]) for line in f if " DNLOAD " in line and " 8 -> ok" in line]
    expect(blocks[65535:65538] == [65535, 0, 1] and len(blocks) == 70000, blocks[65530:65540])


def trace_names(t, name):
    with open(t.path(name)) as f:
        return [line.split()[1] + ("" if "-> ok" in line else " failed") for line in f]


@case
def plain_flash_resets_a_device_that_waits_for_it_into_its_new_firmware(t):
    image = payload(3000, 25)
    t.write("fw.bin", image)
    waiting = plain_profile(0x03) + "leave = wait-reset\nafter-leave = application\n"
    done = t.run("flash", "fw.bin", trace="trace.txt", profile=waiting)
    expect_exit(done, 0)
    expect("not read back: zuvatool reset the device to start the new firmware" in done.out, done.out)
    expect(t.read("flash.bin")[:len(image)] == image, "image not in flash")
    # The reset is the last thing the device saw: it left DFU mode with it.
    names = trace_names(t, "trace.txt")
    expect(names[-3:] == ["GETSTATUS", "GETSTATUS", "RESET"], names[-5:])
    # A reset the port refuses leaves the user the replug.
    done = t.run("flash", "fw.bin", faults="stall@%d" % len(names), profile=waiting)
    expect_exit(done, 0)
    expect("the USB reset failed: unplug the device and plug it in again" in done.out, done.out)


@case
def flash_watch_tells_what_became_of_a_plain_device_that_was_not_read_back(t):
    if t.args.wrapper:
        return  # the interrupt is a POSIX signal here
    t.write("fw.bin", payload(2000, 26))
    t.write("device.profile", plain_profile(0x03) + "leave = wait-reset\n")
    process = t.start("flash", "fw.bin", "--watch", "--json", sim="device.profile", flash="flash.bin")
    results = []
    for line in process.stdout:
        event = json.loads(line)
        if event["event"] == "result" and "device" in event:
            results.append(event)
            process.send_signal(signal.SIGINT)
    process.wait()
    process.deadline.cancel()
    expect(len(results) == 1 and results[0]["exit"] == 0 and
           "zuvatool reset the device" in results[0].get("message", ""), results)


@case
def detach_resets_a_device_that_does_not_detach_by_itself(t):
    # (attributes, the requests of the detach): bitWillDetach set, then clear.
    for attributes, requests in ((0x0B, ["DETACH"]), (0x03, ["DETACH", "RESET"])):
        done = t.run("detach", trace="trace.txt", flash=None,
                     profile="mode = application\nattributes = 0x%02X\n" % attributes)
        expect_exit(done, 0)
        expect("the device is in DFU mode" in done.out, done.out)
        names = [n for n in trace_names(t, "trace.txt") if n in ("DETACH", "RESET")]
        expect(names == requests, "attributes 0x%02X: %s" % (attributes, names))


def default_profile():
    return open(os.path.join(os.path.dirname(__file__), "default.profile")).read()


# Device stacks that differ from the DFU 1.1 state diagram, each against
# flash, read and detach: (name, profile, flash exit, words of the flash
# result). What the device holds afterwards is read back whole.
DIFFERING_STACKS = [
    ("upload-idle", plain_profile(0x07) + "upload-idle = yes\n", 0, "verified"),
    ("upload-idle DfuSe", default_profile() + "upload-idle = yes\n", 0, "flashed fw.bin"),
    ("upload-in-dnload-idle", plain_profile(0x07) + "upload-in-dnload-idle = yes\n", 0, "verified"),
    ("corrupt-64 plain", plain_profile(0x07, transfer_size=64) + "corrupt-64 = yes\n", 7,
     "verify found a difference at offset 0x00000000"),
    ("corrupt-64 DfuSe", default_profile().replace("transfer-size = 2048", "transfer-size = 64") +
     "corrupt-64 = yes\n", 7, "verify found a difference at 0x08000000"),
]


@case
def device_stacks_that_differ_are_flashed_read_and_detached(t):
    image = payload(5000, 27)
    t.write("fw.bin", image)
    for name, profile, code, words in DIFFERING_STACKS:
        for leftover in ("flash.bin", "back.bin"):
            os.path.exists(t.path(leftover)) and os.remove(t.path(leftover))
        dfuse = "DfuSe" in name
        done = t.run("flash", "fw.bin", *(["--no-leave"] if dfuse else []), profile=profile)
        expect_exit(done, code)
        expect(words in done.out + done.err, "%s: %s%s" % (name, done.out, done.err))
        done = t.run("read", "back.bin", *(["--length", "5000"] if dfuse else []), trace="trace.txt",
                     profile=profile)
        expect_exit(done, 0)
        held = t.read("flash.bin")
        expect(t.read("back.bin") == held[:len(t.read("back.bin"))] and len(t.read("back.bin")) >= 5000,
               "%s: read back differs from the device" % name)
        # Upload blocks follow one another without a status request, plain
        # or DfuSe.
        names = trace_names(t, "trace.txt")
        uploads = [i for i, n in enumerate(names) if n == "UPLOAD"]
        expect(len(uploads) > 1 and set(names[uploads[0]:uploads[-1] + 1]) == {"UPLOAD"},
               "%s: %s" % (name, names))
        done = t.run("detach", profile=profile + "mode = application\n", flash=None)
        expect_exit(done, 0)
        expect("the device is in DFU mode" in done.out, "%s: %s" % (name, done.out))


@case
def a_memory_of_more_than_65534_blocks_is_flashed_and_read_whole(t):
    # 8-byte blocks over the 512 KiB internal flash: 65,536 blocks, more than
    # the 16-bit block number reaches from one address pointer.
    profile = default_profile().replace("transfer-size = 2048", "transfer-size = 8")
    image = payload(FLASH_SIZE, 29)
    t.write("fw.bin", image)
    t.old_flash()
    done = t.run("flash", "fw.bin", "--no-leave", profile=profile)
    expect_exit(done, 0)
    expect("verify done" in done.out, done.out)
    done = t.run("read", "back.bin", trace="trace.txt", profile=profile)
    expect_exit(done, 0)
    expect(t.read("back.bin") == t.read("flash.bin") == image, "read back differs")
    # The pointer is set again where the first 65,534 blocks end.
    names = trace_names(t, "trace.txt")
    expect(names.count("DNLOAD") == 2 and names.count("UPLOAD") == 65536,
           (names.count("DNLOAD"), names.count("UPLOAD")))


@case
def a_dfu_1_0_device_with_memory_maps_is_served_as_dfuse(t):
    image = payload(5000, 28)
    t.write("fw.bin", image)
    t.old_flash()
    done = t.run("flash", "fw.bin", "--json", profile=default_profile().replace("0x011A", "0x0100"))
    expect_exit(done, 0)
    steps = [e["step"] for e in t.json_lines(done) if e["event"] == "step"]
    expect(steps == ["erase", "download", "verify", "leave"], steps)
    expect(t.read("flash.bin")[:len(image)] == image, "image not in flash")


@case
def read_stops_at_the_end_of_a_memory(t):
    # The option bytes are 16 bytes: one short block reads them whole.
    done = t.run("read", "ob.bin", "--alt", "1", trace="trace.txt", flash=None)
    expect_exit(done, 0)
    expect(len(t.read("ob.bin")) == 16, done.out)
    expect(trace_names(t, "trace.txt").count("UPLOAD") == 1, trace_names(t, "trace.txt"))
    # A range that runs past the end is refused before any request reaches
    # the memory.
    done = t.run("read", "ob.bin", "--alt", "1", "--address", "0x1FFFC000", "--length", "32",
                 trace="trace.txt", flash=None)
    expect_exit(done, 1)
    expect("no accessible sector at 0x1FFFC010" in done.err, done.err)
    expect("UPLOAD" not in trace_names(t, "trace.txt"), trace_names(t, "trace.txt"))


@case
def flash_all_takes_each_device_its_own_way_dfuse_and_plain_together(t):
    image = payload(6000, 24)
    t.write("fw.bin", image)
    separator = ";" if t.args.wrapper else ":"
    t.write("dfuse.profile", open(os.path.join(os.path.dirname(__file__), "default.profile")).read() +
            "serial = auto\n")
    t.write("plain.profile", plain_profile() + "serial = auto\n")
    old = bytes((i * 7 + 3) & 0xFF for i in range(FLASH_SIZE))
    t.write("f1.bin", old)
    devices = dict(sim=separator.join(["dfuse.profile", "plain.profile"]),
                   flash=separator.join(["f1.bin", "f2.bin"]))
    done = t.run("flash", "fw.bin", "--all", "--json", **devices)
    expect_exit(done, 0)
    events = t.json_lines(done)
    steps = {}
    for e in events:
        if e["event"] == "step":
            steps.setdefault(e["device"], []).append(e["step"])
    expect(sorted(steps.values()) == [["download", "verify"], ["erase", "download", "verify", "leave"]],
           steps)
    results = [e for e in events if e["event"] == "result" and "device" in e]
    expect(len(results) == 2 and all(r["exit"] == 0 for r in results), results)
    expect(any("verified" in r["message"] for r in results), results)
    expect(t.read("f1.bin")[:len(image)] == image and t.read("f2.bin")[:len(image)] == image,
           "a device was not flashed")
    # An option with no meaning on a plain device refuses that device alone.
    t.write("f1.bin", old)
    done = t.run("flash", "fw.bin", "--all", "--no-leave", "--json", **devices)
    expect_exit(done, 2)
    summary = [e for e in t.json_lines(done) if e["event"] == "summary"][0]["devices"]
    expect(sorted(d["exit"] for d in summary) == [0, 2], summary)
    expect(t.read("f1.bin")[:len(image)] == image, "the DfuSe device was not flashed")


# ---------------------------------------------------------------------------
# DfuSe boot loaders that keep themselves in flash: no upload, a leave that
# comes back, a mass erase that erases nothing

def default_profile(**changes):
    """The default profile with keys (underscores for dashes) set anew."""
    keys = {key.replace("_", "-"): value for key, value in changes.items()}
    lines = open(os.path.join(os.path.dirname(__file__), "default.profile")).read().splitlines()
    kept = [line for line in lines if line.partition(" = ")[0] not in keys]
    return "\n".join(kept + ["%s = %s" % item for item in keys.items()]) + "\n"


def class_requests(t, name):
    """The DFU requests of a trace (descriptor reads of the listing left out)."""
    return [name for name in trace_names(t, name) if not name.startswith("GET_")]


@case
def dfuse_device_that_cannot_upload_is_written_but_never_read(t):
    profile = default_profile(attributes="0x09")
    image = payload(3000, 31)
    t.write("fw.bin", image)
    t.old_flash()
    done = t.run("flash", "fw.bin", profile=profile, trace="trace.txt")
    expect_exit(done, 0)
    expect("flashed fw.bin; not read back: the device cannot upload" in done.out, done.out)
    expect(t.read("flash.bin")[:len(image)] == image, "image not in flash")
    requests = class_requests(t, "trace.txt")
    expect("UPLOAD" not in " ".join(requests) and "DNLOAD" in requests, requests)
    # What needs a read is refused before any request reaches the device.
    before = t.read("flash.bin")
    for argv, code, words in ((("flash", "fw.bin", "--changed-only"), 2, "--changed-only"),
                              (("read", "back.bin"), 1, "cannot upload")):
        done = t.run(*argv, profile=profile, trace="trace.txt")
        expect_exit(done, code)
        expect(words in done.err, done.err)
        expect(class_requests(t, "trace.txt") == [], "%s: %s" % (argv, class_requests(t, "trace.txt")))
        expect(not os.path.exists(t.path("back.bin")), "read wrote a file")
    expect(t.read("flash.bin") == before, "a refused command changed the flash")


@case
def dfuse_device_that_cannot_download_is_refused_before_any_request(t):
    # Every DfuSe command (address pointer, erase, leave, unprotect) travels
    # as a download, which a device without bitCanDnload stalls: a read too
    # must set its address first.
    profile = default_profile(attributes="0x0A")
    t.write("fw.bin", payload(3000, 32))
    before = t.old_flash()
    for argv in (("flash", "fw.bin"), ("flash", "fw.bin", "--changed-only"), ("erase", "--all"),
                 ("erase", "--mass"), ("read", "back.bin"), ("verify", "fw.bin"), ("leave",),
                 ("unprotect", "--force")):
        done = t.run(*argv, profile=profile, trace="trace.txt")
        expect_exit(done, 1)
        expect("bitCanDnload" in done.err, "%s: %s" % (argv, done.err))
        expect(class_requests(t, "trace.txt") == [], "%s: %s" % (argv, class_requests(t, "trace.txt")))
    expect(not os.path.exists(t.path("back.bin")), "read wrote a file")
    expect(t.read("flash.bin") == before, "a refused command changed the flash")


@case
def mass_erase_reads_back_what_it_erased_where_the_device_can_upload(t):
    # A loader that keeps itself in read-only pages: those are never checked.
    loader_map = "@Internal Flash /0x08000000/8*001Ka,56*001Kg"
    for changes, code, words in (
            ({}, 0, "checked blank: the first block of 56 sectors"),
            ({"mass_erase": "nothing"}, 1, "the sector at 0x08002000 is not blank"),
            ({"attributes": "0x09", "mass_erase": "nothing"}, 0, "not checked: the device cannot upload")):
        profile = default_profile(**changes).replace(
            "alt = @Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg", "alt = " + loader_map)
        t.write("flash.bin", b"")
        os.remove(t.path("flash.bin"))
        done = t.run("erase", "--mass", "--json", profile=profile, trace="trace.txt")
        expect_exit(done, code)
        result = t.json_lines(done)[-1]
        expect(words in result["message"], "%s: %s" % (changes, result))
        expect(code == 0 or result["address"] == "0x08002000", result)
        uploads = [name for name in trace_names(t, "trace.txt") if name.startswith("UPLOAD")]
        expect(bool(uploads) == ("attributes" not in changes), "%s: %s" % (changes, uploads))
    # A memory of many sectors is sampled, its last sector included.
    profile = default_profile(mass_erase="nothing").replace(
        "alt = @Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg",
        "alt = @Internal Flash /0x08000000/200*001Kg")
    data = bytearray(b"\xff" * (200 * 1024))
    data[199 * 1024] = 0
    t.write("flash.bin", bytes(data))
    done = t.run("erase", "--mass", "--json", profile=profile)
    expect_exit(done, 1)
    expect(t.json_lines(done)[-1]["address"] == "0x08031C00", done.out)


@case
def leave_says_where_the_device_went(t):
    for changes, code, words in (
            ({}, 0, "the device left the bus to start its application (not seen again within 3 s)"),
            ({"after_leave": "application"}, 0, "came back running its application"),
            ({"after_leave": "dfu"}, 1, "came back in DFU mode"),
            ({"leave": "wait-reset"}, 1, "did not leave: it is still there in DFU mode")):
        done = t.run("leave", "--json", profile=default_profile(**changes), flash=None)
        expect_exit(done, code)
        result = t.json_lines(done)[-1]
        expect(words in result["message"], "%s: %s" % (changes, result))
        if "after_leave" in changes and code == 1:
            expect("no valid application" in result.get("hint", ""), result)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--wrapper")
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("-k", action="append", default=[])
    args = parser.parse_args()
    failures = []
    for function in CASES:
        if args.k and not any(k in function.__name__ for k in args.k):
            continue
        work = os.path.join(args.work_dir, function.__name__)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        try:
            function(Tool(args, work))
            print("ok   " + function.__name__)
        except Exception:
            print("FAIL " + function.__name__)
            traceback.print_exc()
            failures.append(function.__name__)
        sys.stdout.flush()
    if failures:
        print("%d failed: %s" % (len(failures), ", ".join(failures)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
