#!/usr/bin/env python3
"""zuvatool telling its user what it does and why it will not: the progress
line on terminals of several widths, where a flash puts the data and why data
that does not fit is refused, and device selection as USB tools write it.
Uses the runner of zuvatool_test.py.

  user_guidance_test.py --exe PATH [--wrapper PROGRAM] --work-dir DIR [-k NAME]
"""
import fcntl
import os
import pty
import re
import select
import struct
import sys
import termios
import time

import zuvatool_test as tool
from zuvatool_test import SECTORS, expect, expect_exit, hex_records, payload

CASES = []


def case(function):
    CASES.append(function)
    return function


def default_profile(**changes):
    profile = open(os.path.join(os.path.dirname(__file__), "default.profile")).read()
    for key, value in changes.items():
        profile = re.sub(r"(?m)^%s = .*$" % key.replace("_", "-"), "%s = %s" % (key.replace("_", "-"), value),
                         profile)
    return profile


# ---- the progress line ------------------------------------------------------

ESCAPES = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def set_size(fd, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))


def run_in_terminal(t, argv, columns, resize_to=None):
    """zuvatool in a pseudo-terminal of `columns` columns; with resize_to, the
    terminal is resized once the first bar is drawn. Returns the exit code and
    the output before and after the resize took effect."""
    env = dict(os.environ, ZUVA_SIM=t.path("device.profile"), ZUVA_SIM_FLASH=t.path("flash.bin"))
    for key in ("ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE", "COLUMNS"):
        env.pop(key, None)
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(t.work)
        os.execve(t.args.exe, [t.args.exe] + argv, env)
    set_size(fd, columns)
    before, after = b"", b""
    resized_at = None
    deadline = time.monotonic() + tool.RUN_TIMEOUT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if resize_to and resized_at is None and b"[" in before:
            set_size(fd, resize_to)  # the kernel sends SIGWINCH to the tool
            resized_at = time.monotonic()
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        # Output that may have left before the signal arrived counts as before.
        if resized_at is not None and time.monotonic() - resized_at > 0.2:
            after += chunk
        else:
            before += chunk
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.waitstatus_to_exitcode(status), before.decode(), after.decode()


def drawn_lines(text):
    """Every line as drawn: split at carriage returns and newlines, escapes removed."""
    return [ESCAPES.sub("", piece) for piece in re.split(r"[\r\n]", text) if piece.strip()]


@case
def progress_line_fits_the_terminal_and_follows_a_resize(t):
    if t.args.wrapper:
        return  # a pseudo-terminal of this system; the Windows console has its own test seam
    # Slow enough for several redraws of each step, and for a resize in
    # between where one is made.
    quick = default_profile(timing="real") + "erase-us-per-kib = 500\nprogram-us-per-kib = 1000\n"
    t.write("device.profile", quick)
    t.write("fw.bin", payload(96 * 1024, 3))
    for columns in (60, 80, 120):
        code, out, _ = run_in_terminal(t, ["flash", "fw.bin", "--no-leave"], columns)
        expect(code == 0, "exit %d at %d columns:\n%s" % (code, columns, out))
        bars = [line for line in drawn_lines(out) if "%" in line]
        expect(bars, "no progress line at %d columns:\n%r" % (columns, out))
        too_long = [line for line in bars if len(line) >= columns]
        expect(not too_long, "%d columns: %r" % (columns, too_long[:3]))
        # The bar and the percentage are always there; the bytes once they fit.
        expect(all("[" in line for line in bars), bars[:3])
        expect(("KiB /" in bars[-1]) == (columns >= 60), bars[-1])
    t.write("device.profile", quick.replace("program-us-per-kib = 1000", "program-us-per-kib = 8000"))
    code, before, after = run_in_terminal(t, ["flash", "fw.bin", "--no-leave"], 120, resize_to=60)
    expect(code == 0, "exit %d:\n%s" % (code, before + after))
    wide = [line for line in drawn_lines(before) if "%" in line]
    narrow = [line for line in drawn_lines(after) if "%" in line]
    expect(any(len(line) > 60 for line in wide), "never used the 120 columns: %r" % wide[:3])
    expect(narrow and all(len(line) < 60 for line in narrow),
           "after the resize to 60 columns: %r" % [l for l in narrow if len(l) >= 60][:3])


@case
def erase_progress_counts_the_bytes_of_the_sectors_erased(t):
    # Sectors of 16, 64 and 128 KiB: the bytes shown are the bytes of the
    # sectors erased so far, not the share of sectors times the total.
    t.old_flash()
    t.write("fw.bin", payload(256 * 1024, 5))
    # Slow enough an erase for the tool to see it between sectors.
    profile = default_profile(timing="real") + "erase-us-per-kib = 1500\nprogram-us-per-kib = 50\n"
    done = t.run("flash", "fw.bin", "--no-leave", "--no-verify", "--json", profile=profile)
    expect_exit(done, 0)
    events = [e for e in t.json_lines(done) if e.get("step") == "erase" and e["event"] == "progress"]
    expect(any(e["percent"] < 100 for e in events), done.out)
    prefixes = {0}
    for _, size in SECTORS:
        prefixes.add(max(prefixes) + size)
    for event in events:
        expect(event["bytes"] in prefixes, "not the bytes of whole sectors: %r" % event)
        if event["percent"] < 100:
            expect(event["percent"] == min(99, event["bytes"] * 100 // (256 * 1024)),
                   "the percentage is not the share of bytes: %r" % event)


# ---- where the data goes ----------------------------------------------------

@case
def flash_says_where_the_data_goes(t):
    t.old_flash()
    t.write("fw.bin", payload(49152, 8))
    t.write("fw.hex", hex_records(0x08004000, payload(4096, 9)))
    for argv, words in (
            (["fw.bin"], "49152 bytes to 0x08000000-0x0800BFFF, Internal Flash, the start of "
                         "alternate setting 0: no --address given"),
            (["fw.bin", "--address", "0x08008000"],
             "49152 bytes to 0x08008000-0x08013FFF, Internal Flash, at --address"),
            (["fw.hex"], "4096 bytes to 0x08004000-0x08004FFF, Internal Flash, at the file's own "
                         "addresses")):
        done = t.run("flash", *argv, "--no-leave")
        expect_exit(done, 0)
        expect(words in done.out, "%s:\n%s" % (argv, done.out))


@case
def data_that_does_not_fit_is_refused_with_its_size_the_writable_range_and_the_option(t):
    # The first two 16 KiB sectors read-only, as under a boot loader that
    # protects itself.
    guarded = default_profile().replace("04*016Kg", "02*016Ka,02*016Kg")
    t.write("fw.bin", payload(49152, 10))
    t.write("big.bin", payload(2 * 1024 * 1024, 11))
    t.write("options.hex", hex_records(0x1FFFC000, payload(16, 12)))
    cases = (
        (guarded, ["fw.bin"],
         "fw.bin: 49152 bytes to 0x08000000-0x0800BFFF (the start of alternate setting 0: no "
         "--address given) do not fit: 0x08000000-0x08007FFF of Internal Flash cannot be "
         "written; its writable range is 0x08008000-0x0807FFFF",
         "give --address with the address the image was linked for (from 0x08008000 to "
         "0x08074000)"),
        (None, ["big.bin"],
         "big.bin: 2097152 bytes to 0x08000000-0x081FFFFF (the start of alternate setting 0: "
         "no --address given) do not fit: 0x08080000 is outside Internal Flash; its writable "
         "range is 0x08000000-0x0807FFFF",
         "larger than any writable range (524288 bytes)"),
        (None, ["fw.bin", "--address", "0x20000000"],
         "fw.bin: 49152 bytes to 0x20000000-0x2000BFFF (at --address) do not fit: 0x20000000 is "
         "outside Internal Flash; its writable range is 0x08000000-0x0807FFFF",
         "Give an --address with room for the file: from 0x08000000 to 0x08074000."),
        (None, ["options.hex"],
         "options.hex: 16 bytes to 0x1FFFC000-0x1FFFC00F (at the file's own addresses) do not "
         "fit: 0x1FFFC000 is outside Internal Flash; its writable range is "
         "0x08000000-0x0807FFFF",
         "Alternate setting 1 (Option Bytes) holds these addresses: give --alt 1."),
    )
    for profile, argv, message, hint in cases:
        before = t.old_flash()
        done = t.run("flash", *argv, "--json", profile=profile, trace="trace.txt")
        expect_exit(done, 3)
        result = t.json_lines(done)[-1]
        expect(result["message"] == message, "%s:\n%r\nwanted\n%r" % (argv, result["message"], message))
        expect(hint in result.get("hint", ""), "%s: %r" % (argv, result))
        expect(t.read("flash.bin") == before, "%s: flash changed" % argv)
        expect("DNLOAD" not in open(t.path("trace.txt")).read(), "%s: something was sent" % argv)


@case
def info_of_a_raw_file_gives_it_no_address(t):
    t.write("fw.bin", payload(3000, 13))
    done = t.run("info", "fw.bin", sim=None, flash=None)
    expect_exit(done, 0)
    expect("3000 bytes, no address of its own" in done.out and "0x00000000" not in done.out,
           done.out)
    info = t.json_lines(t.run("info", "fw.bin", "--json", sim=None, flash=None))[0]
    expect(info["bytes"] == 3000 and all("address" not in e for e in info["elements"]), info)


# ---- choosing the device ----------------------------------------------------

@case
def device_ids_are_read_as_usb_tools_write_them(t):
    for argv, code in ((["--vid", "0483", "--pid", "df11"], 0),
                       (["--vid", "0x0483", "--pid", "0xDF11"], 0),
                       (["--vid", "483", "--pid", "DF11"], 0),
                       (["--device", "0483:df11"], 0),
                       (["--device", "0x0483:0xdf11"], 0),
                       # Once read as decimal 0x0483; now the hexadecimal 0x1155.
                       (["--vid", "1155", "--pid", "57105"], 2),
                       (["--vid", "1155", "--pid", "df11"], 4),
                       (["--device", "0483:df12"], 4)):
        done = t.run("list", *argv, flash=None)
        expect_exit(done, code)
    # Nothing matching lists what is there, and says how IDs are read.
    done = t.run("read", "out.bin", "--vid", "1155", "--pid", "df11", flash=None)
    expect_exit(done, 4)
    expect("no DFU device matches; present:\n  sim:" in done.err and "0483:df11" in done.err
           and "hexadecimal" in done.err, done.err)


if __name__ == "__main__":
    tool.CASES[:] = CASES
    sys.exit(tool.main())
