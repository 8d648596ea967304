#!/usr/bin/env python3
"""zuvatool against the virtual device where a run used to end in success
over something that went wrong: a file that is not what its name or suffix
says, a closed standard stream, a listing or status that proves nothing.
Uses the runner of zuvatool_test.py.

  false_success_test.py --exe PATH [--wrapper PROGRAM] --work-dir DIR [-k NAME]
"""
import os
import random
import struct
import subprocess
import sys
import zlib

import zuvatool_test as tool
from zuvatool_test import FLASH_BASE, expect, expect_exit, payload, plain_profile

CASES = []


def case(function):
    CASES.append(function)
    return function


def with_suffix(image, dfu_version=0x0100, length=16):
    """image followed by a DFU suffix with these fields and a right CRC."""
    data = image + struct.pack("<HHHH", 0x2200, 0xDF11, 0x0483, dfu_version) + b"UFD" + bytes([length])
    return data + struct.pack("<I", ~zlib.crc32(data) & 0xFFFFFFFF)


@case
def file_with_a_dfu_suffix_that_cannot_be_read_is_refused_unless_forced(t):
    image = payload(4096, 29)
    files = {
        # A DfuSe version without the DfuSe prefix.
        "dfuse-version.dfu": (with_suffix(image, 0x011A), "0x011A"),
        "other-length.img": (with_suffix(image, 0x0100, 17), "17"),
        # A plain DFU file that lost the end of its suffix.
        "cut.dfu": (with_suffix(image)[:-4], ".dfu"),
    }
    old = t.old_flash()
    for name, (data, reason) in files.items():
        t.write(name, data)
        done = t.run("flash", name)
        expect_exit(done, 3)
        expect(reason in done.err and "--force" in done.err, done.err)
        expect(t.read("flash.bin") == old, name + ": the device was written")
        done = t.run("info", name, sim=None, flash=None)
        expect_exit(done, 0)
        expect("note: " in done.out and reason in done.out, done.out)
    # --force takes the whole file as raw bytes.
    data = files["cut.dfu"][0]
    done = t.run("flash", "cut.dfu", "--force", "--no-leave")
    expect_exit(done, 0)
    expect(t.read("flash.bin")[:len(data)] == data, "the forced file was not flashed as it is")
    # A name ending in .bin is raw whatever its end looks like.
    t.write("fw.bin", files["dfuse-version.dfu"][0])
    expect_exit(t.run("flash", "fw.bin", "--no-leave"), 0)


@case
def run_with_standard_output_closed_keeps_the_flash_file_whole(t):
    if t.args.wrapper:
        return  # a closed descriptor is a POSIX matter
    image = payload(8192, 6)
    t.write("fw.bin", image)
    old = t.old_flash()
    env = dict(os.environ, ZUVA_SIM="default", ZUVA_SIM_FLASH="flash.bin")
    for key in ("ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"):
        env.pop(key, None)
    done = subprocess.run([t.args.exe, "flash", "fw.bin", "--no-leave"], cwd=t.work, env=env,
                          stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          preexec_fn=lambda: os.close(1), timeout=tool.RUN_TIMEOUT)
    expect(done.returncode == 0, "exit %d: %r" % (done.returncode, done.stderr))
    flash = t.read("flash.bin")
    expect(len(flash) == len(old), "the flash file is %d bytes long" % len(flash))
    # The image fills half of the first 16 KiB sector; the rest is untouched.
    expect(flash[:len(image)] == image and flash[0x4000:] == old[0x4000:],
           "the console's text went into the flash file")


def default_profile():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "default.profile")) as f:
        return f.read()


@case
def verify_names_the_bytes_it_could_not_read_back(t):
    # The second 16 KiB sector can be erased and written, not read.
    profile = default_profile().replace(
        "alt = @Internal Flash  /0x08000000/04*016Kg,", "alt = @Internal Flash  /0x08000000/01*016Kg,01*016Kf,02*016Kg,")
    expect("01*016Kf" in profile, "the default profile's map changed")
    image = payload(0x8000, 41)
    t.write("fw.bin", image)
    t.old_flash()
    # A cell of the unreadable sector stores a wrong bit: nothing can catch it.
    done = t.run("flash", "fw.bin", "--no-leave", faults="corrupt@0x08004010", profile=profile)
    expect_exit(done, 0)
    expect("0x08004000..0x08007FFF" in done.out and "not read back" in done.out, done.out)
    done = t.run("flash", "fw.bin", "--no-leave", "--json", profile=profile)
    expect_exit(done, 0)
    result = t.json_lines(done)[-1]
    expect("0x08004000..0x08007FFF" in result.get("message", ""), result)
    # Nothing of it readable: no verify step at all.
    t.write("high.bin", image[0x4000:])
    done = t.run("flash", "high.bin", "--no-leave", "--address", "0x08004000", profile=profile)
    expect_exit(done, 0)
    expect("verify" not in done.out and "not read back" in done.out, done.out)


@case
def plain_device_with_blocks_larger_than_a_transfer_is_refused_unless_its_blocks_are_packed(t):
    # Blocks travel in 4096 bytes; a device that places block n at n x 8192
    # would hold every other 4 KiB and hand them back the same way.
    image = payload(20000, 53)
    t.write("fw.bin", image)
    numbered = plain_profile(0x07, transfer_size=8192, memory_size=262144)
    for argv, nothing in ((["flash", "fw.bin"], "nothing was written"), (["read", "back.bin"], "nothing was read")):
        t.write("flash.bin", bytes(262144))
        done = t.run(*argv, profile=numbered)
        expect_exit(done, 1)
        expect("8192" in done.err and nothing in done.err and "--packed-blocks" in done.err, done.err)
        expect(t.read("flash.bin") == bytes(262144), argv[0] + ": the device was written")
    # A device that says it packs its blocks is served at 4096 a block.
    packed = numbered + "plain-blocks = packed\n"
    done = t.run("flash", "fw.bin", "--packed-blocks", profile=packed)
    expect_exit(done, 0)
    expect("verified" in done.out, done.out)
    expect(t.read("flash.bin")[:len(image)] == image, "the packed device does not hold the image")
    done = t.run("read", "back.bin", "--packed-blocks", "--length", str(len(image)), profile=packed)
    expect_exit(done, 0)
    expect(t.read("back.bin") == image, "the packed device read back differs")


@case
def a_memory_of_4_gib_is_read_and_erased_without_holding_it(t):
    if t.args.wrapper:
        return  # the address-space limit is a POSIX matter
    # Alternate setting 0: 12 MiB of old firmware; 1: an external memory of
    # 4 GiB less 1 MiB, which the device stores only where it is written.
    profile = "".join(line + "\n" for line in default_profile().splitlines() if not line.startswith("alt ="))
    profile += "alt = @Internal Flash /0x08000000/48*256Kg\nalt = @External /0x00000000/15*256Mg,255*001Mg\n"
    old = random.Random(61).randbytes(12 << 20)
    t.write("flash.bin", old)
    small = 1 << 30
    # The erase of the whole range sends one command a sector.
    done = t.run("erase", "--alt", "1", "--address", "0", "--length", "0xFFF00000", profile=profile,
                 memory_limit=small)
    expect_exit(done, 0)
    expect("erased 270 sectors, 0x00000000..0xFFEFFFFF" in done.out, done.out)
    # A read of 9 MiB and a bit crosses the pieces it is written in.
    length = (9 << 20) + 100
    done = t.run("read", "part.bin", "--address", "0x08000010", "--length", str(length), profile=profile,
                 memory_limit=small)
    expect_exit(done, 0)
    expect(t.read("part.bin") == old[0x10:0x10 + length], "the read in pieces differs from the flash")
    # The whole external memory: the device stops answering in the second
    # piece, and the read fails with the file as it was.
    t.write("whole.bin", b"before")
    done = t.run("read", "whole.bin", "--alt", "1", profile=profile, faults="stall@3000-",
                 memory_limit=small)
    expect_exit(done, 1)
    expect("upload failed" in done.err, done.err)
    expect(t.read("whole.bin") == b"before", "a failed read replaced the file")


@case
def flash_fails_a_board_that_comes_back_in_dfu_mode_after_its_leave(t):
    image = payload(4096, 71)
    t.write("fw.bin", image)
    t.old_flash()
    done = t.run("flash", "fw.bin", "--json", "--log", "run.log", profile=tool.default_profile(after_leave="dfu"))
    expect_exit(done, 1)
    result = t.json_lines(done)[-1]
    expect("came back in DFU mode" in result["message"] and "no valid application" in result.get("hint", ""),
           result)
    record = tool.record_lines(t, "run.log")[-1]
    expect(record["result"] == "failed" and "came back in DFU mode" in record["message"], record)
    expect(t.read("flash.bin")[:len(image)] == image, "the image was not written")
    # A board that starts its application, whether it shows up again or not.
    for where in ("application", "gone"):
        done = t.run("flash", "fw.bin", profile=tool.default_profile(after_leave=where))
        expect_exit(done, 0)


@case
def messages_name_the_party_that_failed(t):
    t.write("fw.hex", tool.hex_records(FLASH_BASE, payload(64, 81)))
    old = t.old_flash()
    expect_exit(t.run("flash", "fw.hex", "--no-leave", trace="clean.txt"), 0)
    strings = [n for n, request, _ in tool.trace_records(t.path("clean.txt"))
               if request.startswith("GET_STRING_DESCRIPTOR")]
    protected = tool.default_profile(protected="yes")
    t.old_flash()
    expect_exit(t.run("unprotect", "--force", profile=protected, trace="unprotect.txt"), 0)
    command = next(n for n, request, _ in tool.trace_records(t.path("unprotect.txt"))
                   if request == "DNLOAD 0 0 1")
    # (command line, profile, faults, exit, words): the device, not the
    # input file, when it does not give the string that carries its map;
    # the refused command, not the abort after it; an unprotect command
    # that never reached a device unplugged as it went is no unprotect.
    for argv, profile, faults, code, words in (
            (["flash", "fw.hex"], None, "stall@%d-%d" % (strings[0], strings[-1]), 1,
             "did not answer the request for the interface string of alternate setting 0"),
            (["read", "out.bin", "--length", "64"], None, "stall@%d-%d" % (strings[0], strings[-1]), 1,
             "did not answer the request for the interface string of alternate setting 0"),
            (["unprotect", "--force"], protected, "stall@%d,stall@%d,stall@%d" % (command, command + 4, command + 8),
             1, "did not complete its DNLOAD request"),
            (["unprotect", "--force"], protected, "unplug@%d" % command, 1, "not known to be unprotected")):
        t.write("flash.bin", old)
        done = t.run(*argv, profile=profile, faults=faults)
        expect_exit(done, code)
        expect(words in done.err, "%s %s: %s" % (argv, faults, done.err))
        expect(t.read("flash.bin") == old, "%s %s: the device was changed" % (argv, faults))
    # A flash that was not read back says so, in its result and its record.
    done = t.run("flash", "fw.hex", "--no-verify", "--no-leave", "--log", "run.log")
    expect_exit(done, 0)
    expect("not read back (--no-verify)" in done.out, done.out)
    expect("not read back (--no-verify)" in tool.record_lines(t, "run.log")[-1]["message"], t.read("run.log"))


@case
def a_manifestation_tolerant_device_is_told_why_it_is_not_left(t):
    # Such a device stays in DFU mode after the leave request: nothing is
    # sent, and the result says why, after a flash that wrote the image.
    image = payload(4096, 91)
    t.write("fw.bin", image)
    tolerant = tool.default_profile(attributes="0x0F")
    for argv in (["leave"], ["flash", "fw.bin"]):
        t.old_flash()
        done = t.run(*argv, profile=tolerant, trace="trace.txt")
        expect_exit(done, 1)
        expect("manifestation tolerant" in done.err, "%s: %s" % (argv, done.err))
        expect("DNLOAD 0 0 0" not in [r for _, r, _ in tool.trace_records(t.path("trace.txt"))], argv)
    expect(t.read("flash.bin")[:len(image)] == image, "the image was not written")


if __name__ == "__main__":
    tool.CASES[:] = CASES
    sys.exit(tool.main())
