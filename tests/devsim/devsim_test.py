#!/usr/bin/env python3
"""End-to-end tests on the emulated USB bus: ZUVA through its libusb backend,
and dfu-util and fwupd as independent DFU clients, against zuva-devsim."""
import argparse
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys

ADDRESS = 0x08000000
DEFAULT_ALTERNATES = [
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg",
    "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
    "@Device Feature/0xFFFF0000/01*004 e",
]
# The in-place percentages: their number depends on timing.
PROGRESS = re.compile(rb"\d{2,3}%\x08{3,4}")


class Run:
    def __init__(self, args):
        self.args = args
        self.failures = []

    def path(self, name):
        return os.path.join(self.args.work_dir, name)

    def devsim(self, command, flash=None, trace=None, stdin=b"", env=None, profile=None,
               faults=None):
        argv = [self.args.devsim]
        if profile:
            argv += ["--profile", profile]
        if faults:
            argv += ["--faults", faults]
        if flash:
            argv += ["--flash", flash]
        if trace:
            argv += ["--trace", trace]
        argv += ["--"] + command
        return subprocess.run(argv, input=stdin, capture_output=True, timeout=120,
                              cwd=self.args.work_dir, env=env)

    def check(self, name, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + name + ("" if condition else ": " + detail))
        if not condition:
            self.failures.append(name)


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def test_dfu_util_lists_the_alternate_settings(run):
    result = run.devsim(["dfu-util", "-l"])
    found = re.findall(rb'Found DFU: \[0483:df11\].*path="([^"]+)", alt=(\d+), name="([^"]*)"',
                       result.stdout)
    listed = sorted((int(alt), name.decode()) for _, alt, name in found)
    run.check("dfu-util -l lists the four alternate settings with their memory maps",
              result.returncode == 0 and listed == list(enumerate(DEFAULT_ALTERNATES)),
              repr(result.stdout[-800:]) + repr(result.stderr[-400:]))


def test_dfu_util_download_then_upload(run):
    data = image(100000, 1)  # the last block is short
    write(run.path("dl.bin"), data)
    flash = run.path("dl_flash.bin")
    result = run.devsim(["sh", "-c",
                         "dfu-util -a 0 -s 0x08000000 -D dl.bin && "
                         "dfu-util -a 0 -s 0x08000000:%d -U ul.bin" % len(data)], flash=flash)
    ok = result.returncode == 0 and os.path.exists(run.path("ul.bin"))
    run.check("dfu-util download then upload of the same range returns the same bytes",
              ok and read(run.path("ul.bin")) == data and read(flash)[:len(data)] == data,
              repr(result.stderr[-600:]))


def zuva_upgrade(run, name, data, env_extra, use_bus, profile=None):
    folder = run.path(name)
    os.makedirs(folder, exist_ok=True)
    write(os.path.join(folder, "fw.bin"), data)
    flash = os.path.join(folder, "flash.bin")
    env = dict(os.environ)
    for key in ("ZUVA_SIM", "ZUVA_SIM_FLASH", "ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"):
        env.pop(key, None)
    env.update(env_extra)
    if profile is not None:
        write(os.path.join(folder, "device.profile"), profile.encode())
    command = [run.args.zuva, "fw.bin"]
    if use_bus:
        argv = [run.args.devsim, "--flash", flash]
        if profile is not None:
            argv += ["--profile", "device.profile", "--trace", "trace.txt"]
        argv += ["--"] + command
    else:
        env.update({"ZUVA_SIM": "device.profile" if profile is not None else "default",
                    "ZUVA_SIM_FLASH": flash})
        argv = command
    result = subprocess.run(argv, input=b"n\n", capture_output=True, timeout=120, cwd=folder,
                            env=env)
    return result, flash


def test_zuva_upgrade_matches_the_in_process_device(run):
    data = image(200000, 2)
    on_bus, bus_flash = zuva_upgrade(run, "zuva_bus", data, {}, True)
    in_process, sim_flash = zuva_upgrade(run, "zuva_sim", data, {}, False)
    bus_text = PROGRESS.sub(b"", on_bus.stdout)
    sim_text = PROGRESS.sub(b"", in_process.stdout)
    run.check("ZUVA upgrades the device on the bus with the in-process console text",
              b"Device found: Virtual DFU Device" in bus_text and b"Leaving DFU mode..." in bus_text
              and bus_text == sim_text and on_bus.returncode == in_process.returncode,
              "bus:\n%r\nsim:\n%r\n%r" % (bus_text, sim_text, on_bus.stderr[-400:]))
    run.check("ZUVA leaves the same flash on the bus as in process",
              os.path.exists(bus_flash) and read(bus_flash) == read(sim_flash)
              and read(bus_flash)[:len(data)] == data)
    # What ZUVA wrote, dfu-util reads back.
    result = run.devsim(["dfu-util", "-a", "0", "-s", "0x08000000:%d" % len(data), "-U",
                         run.path("zuva_read.bin")], flash=bus_flash)
    run.check("a file ZUVA wrote is read back identical by dfu-util",
              result.returncode == 0 and read(run.path("zuva_read.bin")) == data,
              repr(result.stderr[-400:]))


# Real bootloaders on the bus: each profile key, with ZUVA's console text as
# in process. The held status lasts 6.4 s, longer than a plain control
# request may take.
BOARD = "description = Real Board\nalt = @Internal Flash  /0x08000000/01*016Kg\n"
BOARD_CASES = [
    ("status held through a 6.4 s erase",
     "timing = real\nstatus-hold = yes\nerase-us-per-kib = 400000\n"),
    ("poll time-out below the busy time", "timing = real\npoll-timeout = 1\n"),
    ("poll time-out above the busy time", "timing = real\npoll-timeout = 300\n"),
    ("flash times of the profile",
     "timing = real\nerase-us-per-kib = 20000\nprogram-us-per-kib = 10000\nmass-erase-ms = 9\n"),
    ("leave that resets at once", "leave = reset\n"),
    ("serial of its own", "serial = auto\n"),
]


def test_zuva_survives_real_bootloaders_on_the_bus(run):
    data = image(10000, 5)
    expected_flash = data + b"\xff" * (16 * 1024 - len(data))
    for number, (what, keys) in enumerate(BOARD_CASES):
        on_bus, bus_flash = zuva_upgrade(run, "board%d_bus" % number, data, {}, True, BOARD + keys)
        in_process, sim_flash = zuva_upgrade(run, "board%d_sim" % number, data, {}, False,
                                             BOARD + keys)
        bus_text = PROGRESS.sub(b"", on_bus.stdout)
        sim_text = PROGRESS.sub(b"", in_process.stdout)
        run.check("ZUVA upgrades a board on the bus: " + what,
                  b"Device found: Real Board" in bus_text and bus_text.count(b"finished.") == 4
                  and bus_text == sim_text and read(bus_flash) == expected_flash
                  and read(sim_flash) == expected_flash,
                  "bus:\n%r\nsim:\n%r\n%r" % (bus_text, sim_text, on_bus.stderr[-400:]))
    on_bus, bus_flash = zuva_upgrade(run, "board_protected", data, {}, True,
                                     BOARD + "protected = yes\n")
    text = PROGRESS.sub(b"", on_bus.stdout)
    run.check("ZUVA reports a protected board on the bus and writes nothing",
              b"operation failed! Error Code: Unexpected error" in text
              and set(read(bus_flash)) != {0xFF} and read(bus_flash)[:len(data)] != data,
              repr(text) + repr(on_bus.stderr[-400:]))


def test_dfu_util_detaches_a_composite_device_through_its_interface(run):
    profile = run.path("composite.profile")
    write(profile, b"description = Composite\nmode = application\nextra-interfaces = 2\n")
    trace = run.path("composite_trace.txt")
    result = subprocess.run([run.args.devsim, "--profile", profile, "--trace", trace, "--",
                             "sh", "-c", "dfu-util -l; dfu-util -e"],
                            capture_output=True, timeout=120, cwd=run.args.work_dir)
    detaches = [line for line in open(trace).read().splitlines() if " DETACH " in line] \
        if os.path.exists(trace) else []
    run.check("dfu-util finds the run-time interface of a composite device as interface 2 and "
              "detaches it there",
              b"Found Runtime" in result.stdout and b"intf=2" in result.stdout
              and len(detaches) == 1 and re.search(r"DETACH \d+ 2 0 -> ok", detaches[0]),
              repr(result.stdout[-800:]) + repr(result.stderr[-400:]) + repr(detaches))


def test_two_devices_each_on_its_own_port(run):
    names = ("A", "B")
    argv = [run.args.devsim]
    for name in names:
        write(run.path("board%s.profile" % name),
              ("description = Board %s\nserial = auto\n" % name + BOARD.split("\n", 1)[1]).encode())
        write(run.path("board%s_flash.bin" % name), b"\x00" * 16 * 1024)
        argv += ["--profile", "board%s.profile" % name, "--flash", "board%s_flash.bin" % name,
                 "--trace", "board%s_trace.txt" % name]
    listing = subprocess.run(argv + ["--", "dfu-util", "-l"], capture_output=True, timeout=120,
                             cwd=run.args.work_dir)
    found = sorted(set(re.findall(rb'path="([^"]+)".*serial="([^"]+)"', listing.stdout)))
    run.check("dfu-util lists two devices on their own ports with their own serials",
              listing.returncode == 0 and found == [(b"1-1", b"SIM0001"), (b"1-2", b"SIM0002")],
              repr(listing.stdout[-800:]) + repr(listing.stderr[-400:]))

    data = image(10000, 6)
    write(run.path("fw.bin"), data)
    result = subprocess.run(argv + ["--", run.args.zuva, "fw.bin"], input=b"n\n",
                            capture_output=True, timeout=120, cwd=run.args.work_dir)
    chosen = re.search(rb"Device found: Board (\w)", result.stdout)
    flashes = {name: read(run.path("board%s_flash.bin" % name)) for name in names}
    expected = data + b"\xff" * (16 * 1024 - len(data))
    ok = chosen is not None and PROGRESS.sub(b"", result.stdout).count(b"finished.") == 4
    if ok:
        upgraded = chosen.group(1).decode()
        other = names[1 - names.index(upgraded)]
        ok = flashes[upgraded] == expected and flashes[other] == b"\x00" * 16 * 1024
    run.check("ZUVA upgrades the one device its discovery takes and leaves the other alone", ok,
              repr(result.stdout[-600:]) + repr(result.stderr[-400:]))


def test_zuva_reads_back_what_dfu_util_wrote(run):
    data = image(70001, 3)
    write(run.path("other.bin"), data)
    flash = run.path("other_flash.bin")
    result = run.devsim(["sh", "-c", "dfu-util -a 0 -s 0x08000000 -D other.bin >/dev/null && "
                         "'%s' 0x08000000 %d zuva_back.bin" % (run.args.readback, len(data))],
                        flash=flash)
    back = run.path("zuva_back.bin")
    run.check("a file dfu-util wrote is read back identical through ZUVA's libusb backend",
              result.returncode == 0 and os.path.exists(back) and read(back) == data,
              repr(result.stderr[-400:]))


def test_zuvatool_and_dfu_util_read_back_each_others_writes(run):
    data = image(150001, 4)
    write(run.path("tool.bin"), data)
    flash = run.path("tool_flash.bin")
    # What zuvatool flashed (and verified), dfu-util reads back; the device
    # left the bus after the flash, so the reading takes a bus of its own.
    flashed = run.devsim([run.args.zuvatool, "flash", "tool.bin", "--address", "0x08000000"],
                         flash=flash)
    result = run.devsim(["dfu-util", "-a", "0", "-s", "0x08000000:%d" % len(data), "-U",
                         run.path("tool_read.bin")], flash=flash)
    run.check("what zuvatool flash wrote on the bus, dfu-util -U reads back identically",
              flashed.returncode == 0 and result.returncode == 0
              and read(run.path("tool_read.bin")) == data,
              repr(flashed.stdout[-600:]) + repr(flashed.stderr[-600:]) + repr(result.stderr[-600:]))
    # What dfu-util downloaded, zuvatool reads back.
    other = image(90003, 5)
    write(run.path("dfu_util.bin"), other)
    result = run.devsim(["sh", "-c",
                         "dfu-util -a 0 -s 0x08000000 -D dfu_util.bin >/dev/null && "
                         "'%s' read tool_back.bin --address 0x08000000 --length %d"
                         % (run.args.zuvatool, len(other))], flash=run.path("other2_flash.bin"))
    back = run.path("tool_back.bin")
    run.check("what dfu-util -D wrote on the bus, zuvatool read reads back identically",
              result.returncode == 0 and os.path.exists(back) and read(back) == other,
              repr(result.stdout[-600:]) + repr(result.stderr[-600:]))
    result = run.devsim([run.args.zuvatool, "list", "--json"])
    run.check("zuvatool lists the device on the bus by its usb: path",
              result.returncode == 0 and b'"path":"usb:' in result.stdout
              and b'"vid":"0x0483","pid":"0xDF11"' in result.stdout, repr(result.stdout[-600:]))


def test_a_dfuse_device_with_blocks_above_4096_bytes_is_flashed_or_left_alone(run):
    # libusb carries at most 4096 bytes in a control transfer on Linux, so a
    # DfuSe block of the device's 8192 bytes cannot travel; dfu-util flashes
    # such a device in blocks of 4096, each after its own address pointer.
    # zuvatool must do as well, or refuse before it erases anything.
    profile = run.path("large_blocks.profile")
    write(profile, b"transfer-size = 8192\n")
    data = image(20000, 12)
    write(run.path("large_blocks.bin"), data)
    flash = run.path("large_blocks_flash.bin")
    old = bytes((i * 7 + 3) & 0xFF for i in range(512 * 1024))
    write(flash, old)
    result = run.devsim(["sh", "-c", "'%s' flash large_blocks.bin --no-leave && "
                         "'%s' read large_blocks_back.bin --length %d"
                         % (run.args.zuvatool, run.args.zuvatool, len(data))],
                        flash=flash, profile=profile)
    held = read(flash)
    back = run.path("large_blocks_back.bin")
    flashed = result.returncode == 0 and held[:len(data)] == data and read(back) == data
    refused = result.returncode != 0 and b"zuvatool: " in result.stderr and held == old
    run.check("a DfuSe device whose transfer size is 8192 on the bus: flashed and read back, "
              "or refused with its flash untouched",
              flashed or refused,
              "exit %d, flash %s: %r" % (result.returncode,
                                         "unchanged" if held == old else "changed",
                                         result.stdout[-300:] + result.stderr[-300:]))


PLAIN_PROFILE = ("description = Plain Board\nvendor = 0x1209\nproduct = 0x70B1\n"
                 "dfu-version = 0x0110\nattributes = 0x07\ntransfer-size = 1024\n"
                 "memory-size = 262144\nalt = Application\n")


def test_plain_dfu_both_ways_against_dfu_util(run):
    profile = run.path("plain.profile")
    write(profile, PLAIN_PROFILE.encode())
    data = image(150001, 6)
    write(run.path("plain.bin"), data)
    flash = run.path("plain_flash.bin")
    # What zuvatool flashed (and verified), dfu-util -U reads back: the whole
    # memory, ended by the device's short block.
    flashed = run.devsim([run.args.zuvatool, "flash", "plain.bin"], flash=flash, profile=profile)
    result = run.devsim(["dfu-util", "-a", "0", "-U", run.path("plain_read.bin")], flash=flash,
                        profile=profile)
    ok = flashed.returncode == 0 and result.returncode == 0 and b"verified" in flashed.stdout
    run.check("plain DFU: what zuvatool flash wrote on the bus, dfu-util -U reads back",
              ok and read(run.path("plain_read.bin"))[:len(data)] == data,
              repr(flashed.stdout[-600:]) + repr(flashed.stderr[-600:]) + repr(result.stderr[-600:]))
    other = image(90003, 7)
    write(run.path("plain_other.bin"), other)
    result = run.devsim(["sh", "-c", "dfu-util -a 0 -D plain_other.bin >/dev/null 2>&1 && "
                         "'%s' read plain_back.bin --length %d" % (run.args.zuvatool, len(other))],
                        flash=run.path("plain_other_flash.bin"), profile=profile)
    back = run.path("plain_back.bin")
    run.check("plain DFU: what dfu-util -D wrote on the bus, zuvatool read reads back",
              result.returncode == 0 and os.path.exists(back) and read(back) == other,
              repr(result.stdout[-600:]) + repr(result.stderr[-600:]))


# Device stacks that differ from the DFU 1.1 state diagram: (key lines,
# transfer size, zuvatool flash's exit and the words of its result), on a
# plain device; the last on a DfuSe device (the default profile).
DIFFERING_STACKS = [("upload-idle = yes\n", 1024, 0, b"verified"),
                    ("upload-in-dnload-idle = yes\n", 1024, 0, b"verified"),
                    ("corrupt-64 = yes\n", 64, 7, b"verify found a difference at offset 0x00000000"),
                    ("upload-idle = yes\n", None, 0, b"flashed stack.bin")]


def test_zuvatool_serves_device_stacks_that_differ_on_the_bus(run):
    data = image(5000, 9)
    write(run.path("stack.bin"), data)
    for n, (lines, size, code, words) in enumerate(DIFFERING_STACKS):
        profile = run.path("stack%d.profile" % n)
        dfuse = size is None
        base = "" if dfuse else PLAIN_PROFILE.replace("transfer-size = 1024", "transfer-size = %d" % size)
        write(profile, (base + lines).encode())
        flash = run.path("stack%d_flash.bin" % n)
        back = run.path("stack%d_back.bin" % n)
        flashed = run.devsim([run.args.zuvatool, "flash", "stack.bin"] + (["--no-leave"] if dfuse else []),
                             flash=flash, profile=profile)
        result = run.devsim([run.args.zuvatool, "read", back, "--length", "8192"], flash=flash,
                            profile=profile)
        held = read(flash) if os.path.exists(flash) else b""
        write(profile + ".app", read(profile) + b"mode = application\n")
        detached = run.devsim([run.args.zuvatool, "detach"], profile=profile + ".app")
        run.check("%s%son the bus: zuvatool flash exits %d, read returns what the device holds, "
                  "detach works" % ("DfuSe " if dfuse else "", lines.replace("\n", " "), code),
                  flashed.returncode == code and words in flashed.stdout + flashed.stderr
                  and result.returncode == 0 and os.path.exists(back) and read(back) == held[:8192]
                  and detached.returncode == 0,
                  repr(flashed.stdout[-300:] + flashed.stderr[-300:]) + repr(result.stderr[-300:])
                  + repr(detached.stdout[-300:] + detached.stderr[-300:]))
    # dfu-util, which asks for no status between upload blocks either, reads
    # the stack that stays in dfuIDLE.
    profile = run.path("stack0.profile")
    result = run.devsim(["dfu-util", "-a", "0", "-U", run.path("stack_dfu_util.bin")],
                        flash=run.path("stack0_flash.bin"), profile=profile)
    run.check("dfu-util -U reads a device that stays in dfuIDLE",
              result.returncode == 0 and read(run.path("stack_dfu_util.bin"))[:len(data)] == data,
              repr(result.stderr[-400:]))


NODE_READER = """
import os
fd = os.open("/dev/bus/usb/001/002", os.O_RDWR)
whole = os.read(fd, 4096)
os.lseek(fd, 18, os.SEEK_SET)
rest = b"".join(iter(lambda: os.read(fd, 7), b""))
end = os.lseek(fd, 0, os.SEEK_END)
print(whole.hex(), rest.hex(), end, open("/sys/bus/usb/devices/1-1/descriptors", "rb").read().hex())
"""


def test_the_usbfs_node_reads_and_seeks_like_the_kernels(run):
    # What libusb_wrap_sys_device reads from a node it is handed: the device
    # descriptor, then the configuration's descriptors, as in sysfs.
    result = run.devsim([sys.executable, "-c", NODE_READER])
    try:
        whole, rest, end, sysfs = result.stdout.split()
        whole, rest, sysfs = bytes.fromhex(whole.decode()), bytes.fromhex(rest.decode()), \
            bytes.fromhex(sysfs.decode())
        total = struct.unpack_from("<H", whole, 18 + 2)[0]
    except (ValueError, struct.error):
        whole = rest = sysfs = b""
        end, total = b"0", -1
    run.check("the device node reads the descriptors from where it was sought, as usbfs does",
              result.returncode == 0 and whole[:2] == b"\x12\x01" and whole[19] == 2
              and len(whole) == 18 + total and rest == whole[18:] and int(end) == len(whole)
              and whole == sysfs,
              repr(result.stdout[-600:]) + repr(result.stderr[-400:]))


def listed(command):
    """A shell loop that runs a listing until it shows a device (the bus adds
    a device that came back a moment after its removal), for up to 20 s: on a
    loaded machine the bus can take seconds to bring it back."""
    return ("for i in $(seq 200); do %s >listing.txt 2>/dev/null; "
            "grep -q -e '\"mode\"' -e 'Found DFU' listing.txt && break; sleep 0.1; done; cat listing.txt"
            % command)


def test_usb_reset_moves_the_device_on_the_bus(run):
    # A plain device that waits for the reset after manifestation starts its
    # application at zuvatool's reset: the libusb backend's reset reaches the
    # emulated port, and the next listing finds the device in application mode.
    profile = run.path("waiting.profile")
    write(profile, (PLAIN_PROFILE.replace("attributes = 0x07", "attributes = 0x03") +
                    "leave = wait-reset\nafter-leave = application\n").encode())
    data = image(20000, 8)
    write(run.path("waiting.bin"), data)
    trace = run.path("waiting_trace.txt")
    result = run.devsim(["sh", "-c", "'%s' flash waiting.bin && %s"
                         % (run.args.zuvatool, listed("'%s' list --json" % run.args.zuvatool))],
                        flash=run.path("waiting_flash.bin"), profile=profile, trace=trace)
    resets = [line for line in open(trace).read().splitlines() if " RESET " in line] \
        if os.path.exists(trace) else []
    run.check("zuvatool's USB reset starts a plain device's new firmware on the bus",
              result.returncode == 0 and b"zuvatool reset the device" in result.stdout
              and b'"mode":"application"' in result.stdout and b'"mode":"dfu"' not in result.stdout
              and len(resets) == 1 and read(run.path("waiting_flash.bin"))[:len(data)] == data,
              repr(result.stdout[-800:]) + repr(result.stderr[-400:]) + repr(resets))
    # A device without bitWillDetach enters DFU mode at the reset after
    # DFU_DETACH, from zuvatool and from dfu-util alike.
    write(profile, b"mode = application\nattributes = 0x03\n")
    for name, command in (("zuvatool detach", "'%s' detach && %s"
                           % (run.args.zuvatool, listed("'%s' list --json" % run.args.zuvatool))),
                          ("dfu-util -e", "dfu-util -e; " + listed("dfu-util -l"))):
        result = run.devsim(["sh", "-c", command], profile=profile, trace=trace)
        lines = open(trace).read().splitlines() if os.path.exists(trace) else []
        names = [line.split()[1] for line in lines if line.split()[1] in ("DETACH", "RESET")]
        run.check(name + " resets a device that does not detach by itself into DFU mode",
                  result.returncode == 0 and names == ["DETACH", "RESET"]
                  and (b'"mode":"dfu"' in result.stdout or b"Found DFU" in result.stdout),
                  repr(result.stdout[-800:]) + repr(result.stderr[-400:]) + repr(names))


# Runs inside zuva-devsim: one zuvatool flashes the slow device; from its
# first step to its end, second zuvatools (flash, read, erase) and dfu-util
# ask for the same device in turn, each run to its end. Prints one JSON line
# per second run (what ran, its exit code, its words, and whether it ended
# before the first's leave step began: the device then leaves the bus, and a
# second run may find it gone), then the first's exit code.
CONTENTION_SCRIPT = r"""
import json, subprocess, sys, time
tool, image = sys.argv[1], sys.argv[2]
with open("first.json", "wb") as log:
    first = subprocess.Popen([tool, "flash", image, "--address", "0x08000000", "--json"],
                             stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while b'"event":"step"' not in open("first.json", "rb").read():
        if first.poll() is not None or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    seconds = [[tool, "flash", image, "--address", "0x08000000"],
               [tool, "read", "second.bin", "--length", "4096"],
               [tool, "erase", "--address", "0x08000000", "--length", "16384"],
               ["dfu-util", "-a", "0", "-s", "0x08000000:4096", "-U", "second_dfu_util.bin"]]
    runs = 0
    while first.poll() is None:
        argv = seconds[runs % len(seconds)]
        second = subprocess.run(argv, capture_output=True, timeout=60)
        leaving = b'"step":"leave"' in open("first.json", "rb").read()
        print(json.dumps({"argv": argv[:2], "exit": second.returncode,
                          "words": (second.stdout + second.stderr).decode(errors="replace")[-300:],
                          "during": first.poll() is None and not leaving}))
        runs += 1
    print(first.wait())
"""


def test_a_second_program_is_refused_while_zuvatool_flashes(run):
    # The first flash holds the device's DFU interface from its start to its
    # end, through erase, download, read-back and leave: every second
    # zuvatool is turned away with exit 6, dfu-util cannot claim it, and the
    # first is not disturbed.
    profile = run.path("contention.profile")
    write(profile, b"timing = real\nprogram-us-per-kib = 20000\n")
    data = image(131072, 12)
    write(run.path("contention.bin"), data)
    flash = run.path("contention_flash.bin")
    result = run.devsim([sys.executable, "-c", CONTENTION_SCRIPT, run.args.zuvatool,
                         "contention.bin"], flash=flash, profile=profile)
    lines = result.stdout.decode(errors="replace").splitlines()
    first_exit = int(lines[-1]) if lines and lines[-1].lstrip("-").isdigit() else None
    seconds = [json.loads(line) for line in lines[:-1] if line.startswith("{")]
    during = [s for s in seconds if s["during"]]
    tools = [s for s in during if s["argv"][0] == run.args.zuvatool]
    others = [s for s in during if s["argv"][0] == "dfu-util"]
    first_log = read(run.path("first.json")) if os.path.exists(run.path("first.json")) else b""
    held = read(flash) if os.path.exists(flash) else b""
    run.check("while zuvatool flashes, a second zuvatool (flash, read, erase) exits 6 "
              "\"in use by another program\" and dfu-util cannot claim the device",
              len({tuple(s["argv"]) for s in tools}) == 3 and others
              and all(s["exit"] == 6 and "in use by another program" in s["words"] for s in tools)
              and all(s["exit"] != 0 for s in others),
              repr([s for s in during if s["exit"] != (6 if s in tools else 74)][:4])
              + repr(result.stderr[-400:]))
    run.check("the first zuvatool flash, asked for its device all along, ends with exit 0 and "
              "the image in the flash",
              first_exit == 0 and held[:len(data)] == data,
              "exit %r, %r" % (first_exit, first_log[-600:]))


def test_a_late_answer_fails_at_the_hosts_time_out(run):
    # The device answers the first status request 7 s late, past the 5 s the
    # host waits: the kernel cancels the transfer at the time-out and the
    # device's answer reaches no one, so the read fails (as on the real
    # stack) instead of taking the late answer.
    command = ["sh", "-c", "'%s' list >/dev/null; '%s' read late.bin --address 0x08000000 "
               "--length 4096" % (run.args.zuvatool, run.args.zuvatool)]
    trace = run.path("late_trace.txt")
    run.devsim(command, trace=trace)
    numbers = [line.split()[0] for line in open(trace).read().splitlines()
               if line.split()[1] == "GETSTATUS"] if os.path.exists(trace) else []
    if os.path.exists(run.path("late.bin")):
        os.remove(run.path("late.bin"))
    result = run.devsim(command, faults="late=7000@%s" % (numbers[0] if numbers else 1))
    run.check("a status answer later than the host's time-out fails the read: exit 1, said",
              numbers and result.returncode == 1 and b"upload failed" in result.stderr
              and not os.path.exists(run.path("late.bin")),
              repr(numbers[:1]) + repr(result.stdout[-400:]) + repr(result.stderr[-400:]))


def test_a_device_back_on_its_port_is_opened_anew(run):
    # The device detaches by itself (bmAttributes bit 3) and comes back in DFU
    # mode on the same port under a new device number.
    profile = run.path("application.profile")
    write(profile, b"mode = application\nattributes = 0x0B\n")
    trace = run.path("reenumeration_trace.txt")
    result = run.devsim([run.args.reenumeration], profile=profile, trace=trace)
    lines = read(trace).decode().splitlines() if os.path.exists(trace) else []
    run.check("a device that detaches and returns on its port is reached through a new handle",
              result.returncode == 0 and any(" DETACH 1000 " in line for line in lines),
              repr(result.stdout[-200:] + result.stderr[-400:]))


def test_a_device_plugged_in_later_arrives_on_the_bus(run):
    # Off the bus when the command starts, on it once its arrive-after time
    # has passed: the first listing is over long before that.
    profile = run.path("late.profile")
    write(profile, b"arrive-after = 2000\n")
    result = run.devsim(["sh", "-c", "dfu-util -l; echo ---; tries=0; "
                         "until dfu-util -l | grep -q 'Found DFU'; do "
                         "[ $tries -lt 100 ] || exit 1; tries=$((tries + 1)); sleep 0.1; done"],
                        profile=profile)
    before, _, _ = result.stdout.partition(b"---")
    run.check("a device with arrive-after is off the bus at first and arrives later",
              result.returncode == 0 and b"---" in result.stdout and b"Found DFU" not in before,
              repr(result.stdout[-600:]) + repr(result.stderr[-400:]))


def test_zuvatool_takes_the_bus_port_location_and_lists_what_is_there(run):
    # "1-1" is the path dfu-util and the kernel show; zuvatool's own is usb:1-1.
    found = run.devsim([run.args.zuvatool, "list", "--json", "--device", "1-1"])
    missing = run.devsim([run.args.zuvatool, "read", "out.bin", "--device", "1-9"])
    run.check("--device takes the bus-port location; a location of no device lists those there",
              found.returncode == 0 and b'"path":"usb:1-1"' in found.stdout
              and missing.returncode == 4 and b"present:\n  usb:1-1  0483:df11" in missing.stderr,
              repr(found.stdout[-300:] + found.stderr[-300:] + missing.stderr[-300:]))


def test_zuvatool_names_the_node_it_may_not_open_and_how_to_get_access(run):
    # The usbfs node closed to others, and zuvatool run as a user without the
    # capability to bypass file permissions, as after an install without the
    # udev rule or before a new login. The rest of the emulated bus (its
    # sockets, its sysfs) stays open to that user.
    if shutil.which("setpriv") is None:
        run.check("setpriv is needed to drop the capabilities (util-linux)", False)
        return
    script = ('chmod -R a+rwX "$UMOCKDEV_DIR" && chmod 0600 "$UMOCKDEV_DIR"/dev/bus/usb/*/* && '
              'exec setpriv --reuid=nobody --regid=nogroup --clear-groups '
              '--inh-caps=-all --bounding-set=-all "$@"')
    listed = run.devsim(["sh", "-c", script, "sh", run.args.zuvatool, "list"])
    flashed = run.devsim(["sh", "-c", script, "sh", run.args.zuvatool, "leave"])
    words = flashed.stderr.decode(errors="replace")
    run.check("a device the system refuses names the node, the udev rule, the command that "
              "joins plugdev and the new login; list says the same of the device",
              flashed.returncode == 6
              and re.search(r"usb:1-1 cannot be opened: permission denied on /dev/bus/usb/001/\d{3}",
                            words) is not None
              and "sudo usermod -aG plugdev $USER" in words and "new login" in words
              and ("50-zuva-dfu.rules gives DFU devices" in words or "is not installed" in words)
              and listed.returncode == 0
              and b"cannot be opened: permission denied on /dev/bus/usb/001/" in listed.stdout,
              repr(listed.stdout[-300:] + listed.stderr[-300:]) + words[-600:])


def test_a_signal_to_devsim_reaches_its_command(run):
    # Each signal sent to zuva-devsim alone: the command gets it, ends in its
    # own way, and its exit code is zuva-devsim's.
    for number, code in ((signal.SIGTERM, 42), (signal.SIGINT, 43), (signal.SIGHUP, 44)):
        pid_file = run.path("command.pid")
        script = ('trap "exit %d" %s; echo $$ > command.pid; echo ready; '
                  'while :; do sleep 0.05; done' % (code, signal.Signals(number).name[3:]))
        process = subprocess.Popen([run.args.devsim, "--", "sh", "-c", script],
                                   cwd=run.args.work_dir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        ready = process.stdout.readline() == b"ready\n"
        process.send_signal(number)
        try:
            returncode = process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            returncode = process.wait()
        command = int(read(pid_file).decode()) if ready else 0
        alive = True
        try:
            os.kill(command, 0)
        except OSError:
            alive = False
        if alive and command:
            os.kill(command, signal.SIGKILL)
        run.check("%s to zuva-devsim ends its command and returns the command's code" %
                  signal.Signals(number).name,
                  ready and returncode == code and not alive,
                  "exit %s, command %s" % (returncode, "still running" if alive else "gone"))


# ---------------------------------------------------------------------------
# fwupd as a second, independent peer: on the bus it finds the virtual device,
# writes a DfuSe file that zuvatool made and reads a memory whole; offline it
# parses the files ZUVA and zuvatool write, and zuvatool reads the files it
# builds. fwupd reads the DFU functional descriptor of a device with several
# alternate settings wrongly (a limitation of fwupd), so the writes and reads
# use a device with one alternate setting.

MEMORY_SIZE = 512 * 1024
ONE_MEMORY = ("description = One Memory Board\n"
              "alt = @Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg\n")
# What fwupd builds: a DfuSe file of one element, and a plain DFU file.
BUILT_DFUSE = """<firmware gtype="FuDfuseFirmware">
  <vendor>0x1234</vendor>
  <product>0x5678</product>
  <release>0x0100</release>
  <firmware gtype="FuFirmware">
    <idx>0x00</idx>
    <id>Internal Flash</id>
    <chunks>
      <chunk>
        <addr>0x08000400</addr>
        <data>aGVsbG8gd29ybGQ=</data>
      </chunk>
    </chunks>
  </firmware>
</firmware>
"""
BUILT_PLAIN = """<firmware gtype="FuDfuFirmware">
  <vendor>0x1209</vendor>
  <product>0x70b1</product>
  <data>aGVsbG8gd29ybGQ=</data>
</firmware>
"""


def environment(run):
    """fwupd keeps its state and history in the work folder, not in the
    system's."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_SIM")}
    env["FWUPD_LOCALSTATEDIR"] = run.path("fwupd-state")
    return env


def call(run, argv, stdin=b""):
    return subprocess.run(argv, input=stdin, capture_output=True, timeout=240,
                          cwd=run.args.work_dir, env=environment(run))


def on_bus(run, command, profile=None, flash=None, trace=None):
    return run.devsim(command, profile=profile, flash=flash, trace=trace, env=environment(run))


def dfuse_elements(data):
    """(address, bytes) of every element of a DfuSe file."""
    elements = []
    at = 11
    targets = data[10]
    for _ in range(targets):
        count = struct.unpack_from("<I", data, at + 270)[0]
        at += 274
        for _ in range(count):
            address, size = struct.unpack_from("<II", data, at)
            elements.append((address, data[at + 8:at + 8 + size]))
            at += 8 + size
    return elements


def fwupd_device_id(run, profile):
    result = on_bus(run, ["fwupdtool", "get-devices", "--plugins", "dfu", "--json"], profile=profile)
    try:
        return json.loads(result.stdout)["Devices"][0]["DeviceId"]
    except (ValueError, KeyError, IndexError):
        return None


def test_fwupd_lists_the_virtual_device(run):
    result = on_bus(run, ["fwupdtool", "get-devices", "--plugins", "dfu", "--json"])
    try:
        devices = json.loads(result.stdout)["Devices"]
    except (ValueError, KeyError):
        devices = []
    run.check("fwupdtool get-devices --plugins dfu lists the virtual device on the bus",
              result.returncode == 0 and [d.get("Name") for d in devices] == ["Virtual DFU Device"]
              and devices[0].get("Serial") == "ZUVA00000001",
              repr(result.stdout[-600:]) + repr(result.stderr[-600:]))


def test_fwupd_writes_a_file_zuvatool_made(run):
    profile = run.path("one.profile")
    write(profile, ONE_MEMORY.encode())
    data = image(30001, 1)
    write(run.path("fw.bin"), data)
    converted = call(run, [run.args.zuvatool, "convert", "fw.bin", "fw.dfu", "--address", hex(ADDRESS)])
    device = fwupd_device_id(run, profile)
    flash = run.path("install_flash.bin")
    result = on_bus(run, ["fwupdtool", "install-blob", "fw.dfu", str(device), "--plugins", "dfu",
                         "--force"], profile=profile, flash=flash)
    held = read(flash) if os.path.exists(flash) else b""
    run.check("fwupdtool install-blob writes a DfuSe file from zuvatool convert byte for byte",
              converted.returncode == 0 and device is not None and result.returncode == 0
              and held[:len(data)] == data,
              repr(device) + repr(result.stderr[-800:]))


def test_fwupd_reads_a_memory_to_its_end(run):
    # fwupd asks for one block past the end of the memory; the device answers
    # it empty, and the read ends there with the whole memory.
    profile = run.path("one.profile")
    write(profile, ONE_MEMORY.encode())
    flash = run.path("dump_flash.bin")
    write(flash, image(MEMORY_SIZE, 2))
    device = fwupd_device_id(run, profile)
    trace = run.path("dump_trace.txt")
    result = on_bus(run, ["fwupdtool", "firmware-dump", "dump.dfu", str(device), "--plugins", "dfu"],
                        profile=profile, flash=flash, trace=trace)
    dump = read(run.path("dump.dfu")) if os.path.exists(run.path("dump.dfu")) else b""
    elements = dfuse_elements(dump) if dump else []
    uploads = [line.split()[2] for line in read(trace).decode().splitlines() if " UPLOAD " in line] \
        if os.path.exists(trace) else []
    info = call(run, [run.args.zuvatool, "info", "dump.dfu"])
    run.check("fwupdtool firmware-dump reads the memory whole, one empty block past its end, "
              "and zuvatool info reads the file",
              result.returncode == 0 and elements == [(ADDRESS, read(flash))]
              and uploads[-1:] == [str(2 + MEMORY_SIZE // 2048)] and info.returncode == 0
              and b"524288 bytes" in info.stdout,
              repr(result.stderr[-600:]) + repr(uploads[-3:]) + repr(info.stdout[-300:]))


def test_fwupd_parses_what_zuva_and_zuvatool_write(run):
    data = image(20000, 3)
    write(run.path("offline.bin"), data)
    # ZUVA converts the raw image to a DfuSe file, finds no device and, told
    # "n", gives up.
    call(run, [run.args.zuva, "offline.bin"], stdin=b"n\n")
    made = [call(run, [run.args.zuvatool, "convert", "offline.bin", "tool.dfu", "--address", hex(ADDRESS)]),
            call(run, [run.args.zuvatool, "convert", "offline.bin", "plain.dfu", "--plain"])]
    for name, kind in (("offline.dfu", "dfuse"), ("tool.dfu", "dfuse"), ("plain.dfu", "dfu")):
        result = call(run, ["fwupdtool", "firmware-parse", name, kind])
        run.check("fwupdtool firmware-parse accepts %s as %s" % (name, kind),
                  all(m.returncode == 0 for m in made) and result.returncode == 0
                  and b"<firmware" in result.stdout,
                  repr(result.stdout[-300:]) + repr(result.stderr[-300:]))


def test_zuvatool_reads_files_fwupd_built(run):
    for name, xml, words in (("built.dfu", BUILT_DFUSE, [b"format: DfuSe", b"0x08000400  11 bytes",
                                                          b"vid 0x1234 pid 0x5678"]),
                             ("built_plain.dfu", BUILT_PLAIN, [b"vid 0x1209 pid 0x70B1"])):
        write(run.path(name + ".xml"), xml.encode())
        built = call(run, ["fwupdtool", "firmware-build", name + ".xml", name])
        info = call(run, [run.args.zuvatool, "info", name])
        run.check("zuvatool info reads %s, which fwupdtool firmware-build made" % name,
                  built.returncode == 0 and info.returncode == 0 and all(w in info.stdout for w in words),
                  repr(built.stderr[-300:]) + repr(info.stdout[-400:]) + repr(info.stderr[-200:]))


FWUPD_TESTS = (test_fwupd_lists_the_virtual_device, test_fwupd_writes_a_file_zuvatool_made,
               test_fwupd_reads_a_memory_to_its_end, test_fwupd_parses_what_zuva_and_zuvatool_write,
               test_zuvatool_reads_files_fwupd_built)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--zuva", required=True)
    parser.add_argument("--readback", required=True)
    parser.add_argument("--zuvatool", required=True)
    parser.add_argument("--reenumeration", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    if any(shutil.which(p) is None for p in ("dfu-util", "fwupdtool", "umockdev-wrapper")):
        print("dfu-util, fwupd and umockdev-wrapper are needed (scripts/install-deps.sh)")
        return 1
    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)
    run = Run(args)
    for test in (test_dfu_util_lists_the_alternate_settings, test_dfu_util_download_then_upload,
                 test_zuva_upgrade_matches_the_in_process_device,
                 test_zuva_reads_back_what_dfu_util_wrote,
                 test_zuvatool_and_dfu_util_read_back_each_others_writes,
                 test_zuva_survives_real_bootloaders_on_the_bus,
                 test_dfu_util_detaches_a_composite_device_through_its_interface,
                 test_two_devices_each_on_its_own_port,
                 test_plain_dfu_both_ways_against_dfu_util,
                 test_a_dfuse_device_with_blocks_above_4096_bytes_is_flashed_or_left_alone,
                 test_zuvatool_serves_device_stacks_that_differ_on_the_bus,
                 test_the_usbfs_node_reads_and_seeks_like_the_kernels,
                 test_usb_reset_moves_the_device_on_the_bus,
                 test_a_second_program_is_refused_while_zuvatool_flashes,
                 test_a_device_back_on_its_port_is_opened_anew,
                 test_a_late_answer_fails_at_the_hosts_time_out,
                 test_a_device_plugged_in_later_arrives_on_the_bus,
                 test_zuvatool_takes_the_bus_port_location_and_lists_what_is_there,
                 test_zuvatool_names_the_node_it_may_not_open_and_how_to_get_access,
                 test_a_signal_to_devsim_reaches_its_command) + FWUPD_TESTS:
        test(run)
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
