#!/usr/bin/env python3
"""A sweep over device shapes: draws virtual device profiles at random (DfuSe
and plain DFU, DFU versions, transfer sizes from 8 bytes to 64 KiB, memory
maps with odd sector sizes, holes and access bits, several alternate settings,
attributes, announced poll times, leave behaviours and the stack quirks) and
runs zuvatool's flash, read, erase and flash --changed-only, and ZUVA, against
each. Every outcome is judged by an oracle that reads the device's flash file
itself, knowing the shape it drew:

  - exit 0 means the device holds what was asked for (bytes written, read or
    erased are there), unless the tool said plainly what it did not check;
  - any other outcome is a refusal, which needs a documented exit code and a
    message, and a refusal before the device is touched (usage, input) leaves
    the flash as it was;
  - never a crash, a hang (every run has a time-out) or a sanitizer report.

  device_shape_sweep.py --zuvatool PATH [--zuva PATH] [--devsim PATH] --work-dir DIR
                        [--seed S] [--count N | --minutes M] [--bus-every K] [--only I]
                        [--reasons] [--verbose] [--lower-case-units]

--bus-every K also runs every K-th profile's commands on the emulated USB
bus (zuva-devsim). --only I runs profile I of the seed alone (a finding's
reproduction). Each failure leaves its profile and what the commands said
in DIR/findings/.
"""
import argparse
import os
import random
import re
import shlex
import shutil
import subprocess
import sys
import time

import zuvatool_test as tool

RUN_TIMEOUT = 150  # zuvatool gives up on a busy device after 120 s
SANITIZER_WORDS = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer",
                   "UndefinedBehaviorSanitizer", "runtime error:")
TOOL_EXITS = range(0, 8)
# Refusals that come before any request changes the device.
EARLY_EXITS = (2, 3, 4, 5)

ZUVA_WINDOW = 0x80000
ZUVA_BASE = 0x08000000
ACCESS_READ, ACCESS_ERASE, ACCESS_WRITE = 1, 2, 4
# Type characters by access bits (the low three bits of the character).
TYPE_CHARS = {7: "g", 1: "a", 5: "e", 6: "f", 3: "c", 2: "b", 4: "d"}
TRANSFER_SIZES = [8, 16, 33, 64, 100, 256, 1000, 1024, 2048, 3000, 4095, 4096, 4097, 6000,
                  8192, 16384, 65535]


# ---------------------------------------------------------------------------
# Drawing a device

class Sector:
    def __init__(self, address, size, access):
        self.address, self.size, self.access = address, size, access

    @property
    def end(self):
        return self.address + self.size


class Shape:
    """A drawn device: its profile text and what the oracle needs of it."""

    def __init__(self):
        self.lines = []
        self.plain = False
        self.sectors = []      # alternate setting 0, in map order (the flash file's order)
        self.memory_starts = []  # index in sectors where each memory of alt 0 begins
        self.memory_size = 0   # plain devices
        self.transfer_size = 2048
        self.attributes = 0x0B
        self.version = 0x011A
        self.keys = {}
        # Alternate settings above 0 with a memory: their sectors.
        self.other_alternates = {}

    def key(self, name, value):
        self.keys[name] = value
        self.lines.append("%s = %s" % (name, value))

    @property
    def profile(self):
        return "\n".join(self.lines) + "\n"

    def memory_budget(self):
        """The most memory alternate setting 0 may have for a whole read of it
        to take a few seconds in blocks of the transfer size."""
        return min(640 * 1024, max(4096, self.transfer_size * 8000))

    def max_bytes(self):
        """The most an image may hold for a command to take a few seconds:
        each block may cost an announced poll time and, under real timing,
        the bus's time."""
        per_block = 1 + int(self.keys.get("poll-timeout", 0)) + \
            (3 if self.keys.get("timing") == "real" else 0)
        return max(1, self.transfer_size * (3000 // per_block))

    @property
    def can_upload(self):
        return bool(self.attributes & 0x02)

    @property
    def can_download(self):
        return bool(self.attributes & 0x01)

    def alternates_listed(self):
        return [line for line in self.lines if line.startswith("alt =")]

    def flash_size(self):
        return self.memory_size if self.plain else sum(s.size for s in self.sectors)

    def summary(self):
        kind = "plain" if self.plain else "DfuSe"
        size = self.memory_size if self.plain else len(self.sectors)
        return "%s v0x%04X ts=%d attr=0x%02X %s=%d %s" % (
            kind, self.version, self.transfer_size, self.attributes,
            "memory" if self.plain else "sectors", size,
            " ".join("%s=%s" % kv for kv in self.keys.items()
                     if kv[0] not in ("alt", "dfu-version", "transfer-size", "attributes", "memory-size",
                                      "description", "serial", "vendor", "product", "device")))


def draw_size(rng):
    """A sector size: mostly powers of two, sometimes odd."""
    if rng.random() < 0.03:
        return rng.randrange(1, 17)
    return rng.choice([1024, 2048, 4096, 16384, 65536, 131072,
                       rng.randrange(1, 9) * 1024 + rng.choice([0, 0, 512]),
                       rng.randrange(100, 5000)])


# The units a map's sizes are drawn with. Hosts read only the upper-case
# 'K' and 'M' as units, while the virtual device also takes 'k' and 'm' as
# some loaders write them: a host then sees sectors of a few bytes where the
# device has KiB. --lower-case-units draws them too.
UNITS = {"K": "K", "M": "M"}


def size_text(rng, size):
    """The size as a map writes it: in KiB when it is whole KiB, else bytes."""
    if size % (1 << 20) == 0 and rng.random() < 0.5:
        return "%d%s" % (size >> 20, UNITS["M"][rng.randrange(len(UNITS["M"]))])
    if size % 1024 == 0 and rng.random() < 0.8:
        return "%03d%s" % (size >> 10, UNITS["K"][rng.randrange(len(UNITS["K"]))])
    return "%d%s" % (size, rng.choice(" B"))


def draw_memory_map(rng, name, base, budget, first):
    """A memory-map string of one to three memories that fits in a string
    descriptor (126 characters); its sectors in map order."""
    while True:
        text, sectors, starts = draw_memory_map_once(rng, name, base, budget, first)
        if len(text) <= 126 and sectors[-1].end <= 1 << 32:
            return text, sectors, starts


def draw_memory_map_once(rng, name, base, budget, first):
    sectors, starts, blocks = [], [], []
    address = base
    for block in range(rng.choice([1, 1, 1, 2, 2, 3])):
        if block:
            address += rng.choice([0, 0x100, 0x1000, 0x10000, rng.randrange(1, 64) * 0x400])
        starts.append(len(sectors))
        groups = []
        start = address
        for _ in range(rng.choice([1, 1, 2, 3, 4])):
            size = draw_size(rng)
            count = rng.randrange(1, 9) if rng.random() < 0.95 else rng.randrange(9, 1000)
            while count > 1 and size * count > budget:
                count -= 1
            if size * count > budget and sectors:
                break
            budget -= size * count
            # Mostly everything; the first sector of alt 0 stays writable
            # and readable in most devices so that its defaults mean something.
            access = 7 if rng.random() < 0.7 or (first and not sectors) else \
                rng.choice([1, 5, 6, 3, 2, 4])
            groups.append("%s%d*%s%s" % (rng.choice(["", " "]), count, size_text(rng, size),
                                         TYPE_CHARS[access]))
            for _ in range(count):
                sectors.append(Sector(address, size, access))
                address += size
        if not groups:
            starts.pop()
            break
        blocks.append("/0x%08X/%s" % (start, ",".join(groups)))
    return "@%s%s" % (name, "".join(blocks)), sectors, starts


def draw_shape(rng):
    shape = Shape()
    plain = rng.random() < 0.4
    shape.plain = plain
    if rng.random() < 0.8:
        shape.key("description", rng.choice(["Sweep Board", "Board %d" % rng.randrange(100), ""]))
    if rng.random() < 0.3:
        shape.key("serial", rng.choice(["auto", "S%06d" % rng.randrange(10 ** 6)]))
    if plain:
        shape.version = rng.choice([0x0100, 0x0101, 0x0110, 0x0110])
    else:
        shape.version = 0x011A if rng.random() < 0.85 else rng.choice([0x0100, 0x0110])
    shape.key("dfu-version", "0x%04X" % shape.version)
    shape.transfer_size = rng.choice(TRANSFER_SIZES) if rng.random() < 0.97 else rng.randrange(0, 8)
    shape.key("transfer-size", str(shape.transfer_size))
    attributes = 0x01 | 0x02 | 0x04 * rng.randrange(2) | 0x08 * rng.randrange(2)
    if rng.random() < 0.12:
        attributes &= ~0x02
    if rng.random() < 0.05:
        attributes &= ~0x01
    if not plain and rng.random() < 0.15:
        attributes |= 0x80
    shape.attributes = attributes
    shape.key("attributes", "0x%02X" % attributes)
    if rng.random() < 0.3:
        shape.key("poll-timeout", str(rng.choice([0, 1, 5, 20, 60])))
    if rng.random() < 0.15:
        shape.key("status-hold", "yes")
    if rng.random() < 0.1 and shape.transfer_size >= 1024:
        shape.key("timing", "real")
        shape.key("erase-us-per-kib", str(rng.choice([0, 50, 500])))
        shape.key("program-us-per-kib", str(rng.choice([0, 20, 200])))
    if rng.random() < 0.3:
        shape.key("leave", rng.choice(["manifest", "reset", "wait-reset"]))
    if rng.random() < 0.3:
        shape.key("after-leave", rng.choice(["gone", "dfu", "application"]))
    for quirk in ("upload-idle", "upload-in-dnload-idle"):
        if rng.random() < 0.15:
            shape.key(quirk, "yes")
    if shape.transfer_size == 64 and rng.random() < 0.5:
        shape.key("corrupt-64", "yes")
    if not plain and rng.random() < 0.1:
        shape.key("mass-erase", "nothing")
    if rng.random() < 0.05:
        shape.key("detach-timeout", str(rng.choice([0, 1000, 65535])))
    if rng.random() < 0.04:
        shape.key("mode", "application")
        if rng.random() < 0.5:
            shape.key("extra-interfaces", str(rng.randrange(1, 4)))
    if not plain and rng.random() < 0.04:
        shape.key("protected", "yes")
    if rng.random() < 0.03:
        shape.key("arrive-after", str(rng.choice([50, 400])))
    if plain:
        shape.memory_size = min(shape.memory_budget(), rng.choice(
            [rng.randrange(1, 4096), rng.randrange(4096, 300000), 65536, 262144,
             rng.randrange(1, 64) * 1024]))
        shape.key("memory-size", str(shape.memory_size))
        for index in range(rng.choice([1, 1, 2, 3])):
            shape.key("alt", rng.choice(["Application", "Settings", "Flash %d" % index, ""]))
            if index:
                shape.other_alternates[index] = [Sector(0, shape.memory_size, 7)]
        return shape
    base = rng.choice([0x08000000, 0x08000000, 0x08000000, 0x08000000, 0x00000000, 0xFFFE0000, 0x20000000, 0x90000000,
                       rng.randrange(1, 0x8000) * 0x1000])
    text, shape.sectors, shape.memory_starts = draw_memory_map(
        rng, rng.choice(["Internal Flash  ", "Flash", "Main"]), base,
        min(shape.memory_budget(), (1 << 32) - base), True)
    shape.key("alt", text)
    for index in range(rng.choice([0, 1, 1, 2, 3])):
        other = rng.random()
        if other < 0.75:
            text, sectors, _ = draw_memory_map(rng, "Alt %d " % (index + 1),
                                               rng.choice([0x1FFF0000, 0x40000000 + index * 0x100000]),
                                               64 * 1024, False)
            shape.key("alt", text)
            shape.other_alternates[index + 1] = sectors
        elif other < 0.87:
            shape.key("alt", "")
        else:
            shape.key("alt", "Not a map")
    return shape


# ---------------------------------------------------------------------------
# What the device holds

class Flash:
    """The flash file of a drawn device, addressed as the device addresses it."""

    def __init__(self, shape, data):
        self.shape, self.data = shape, data
        self.offsets = []
        offset = 0
        for sector in shape.sectors:
            self.offsets.append(offset)
            offset += sector.size

    def sector_index(self, address):
        for index, sector in enumerate(self.shape.sectors):
            if sector.address <= address < sector.end:
                return index
        return None

    def at(self, address, count):
        """The bytes at [address, address + count), or None where one lies in no sector."""
        if self.shape.plain:
            return self.data[address:address + count] if address + count <= len(self.data) else None
        out = bytearray()
        while count:
            index = self.sector_index(address)
            if index is None:
                return None
            sector = self.shape.sectors[index]
            take = min(count, sector.end - address)
            start = self.offsets[index] + address - sector.address
            out += self.data[start:start + take]
            address += take
            count -= take
        return bytes(out)

    def sector_bytes(self, index):
        start = self.offsets[index]
        return self.data[start:start + self.shape.sectors[index].size]


def covering(shape, address, count, access):
    """True when every byte of [address, address + count) lies in a sector with `access`."""
    while count > 0:
        found = [s for s in shape.sectors if s.address <= address < s.end]
        if not found or (found[0].access & access) != access:
            return False
        take = min(count, found[0].end - address)
        address += take
        count -= take
    return True


def old_flash(shape, rng, blank_unwritable=False):
    """Non-blank content unlike any image, so that every write and erase shows;
    with blank_unwritable, sectors without write access hold 0xFF."""
    size = shape.flash_size()
    seed = rng.randrange(256)
    data = bytearray(((i * 7 + seed) & 0xFF) | 0x01 for i in range(size))
    if blank_unwritable:
        offset = 0
        for sector in shape.sectors:
            if not sector.access & ACCESS_WRITE:
                data[offset:offset + sector.size] = b"\xff" * sector.size
            offset += sector.size
    return bytes(data)


def payload(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def hex_records(chunks):
    """Intel HEX text for [(address, bytes), ...]."""
    end = ":00000001FF\n"
    return "".join(tool.hex_records(a, d).replace(end, "") for a, d in chunks) + end


# ---------------------------------------------------------------------------
# Running and judging

class Outcome:
    def __init__(self, argv, code, out, err, timed_out, seconds):
        self.argv, self.code, self.out, self.err = argv, code, out, err
        self.timed_out, self.seconds = timed_out, seconds

    @property
    def text(self):
        return self.out + self.err


class Sweep:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.runs = 0
        self.outcomes = {}
        self.reasons = {}
        # Successes over bytes that differ where the tool said it did not look.
        self.unverified = 0

    def run(self, ctx, argv, program, stdin=b""):
        """Runs program (zuvatool or ZUVA) against the device of ctx, in
        process or on the emulated bus."""
        env = dict(os.environ)
        for key in ("ZUVA_SIM", "ZUVA_SIM_FLASH", "ZUVA_SIM_FAULTS", "ZUVA_SIM_TRACE"):
            env.pop(key, None)
        if ctx.bus:
            command = [self.args.devsim, "--profile", "device.profile", "--flash", "flash.bin",
                       "--", program] + argv
        else:
            env.update(ZUVA_SIM="device.profile", ZUVA_SIM_FLASH="flash.bin")
            command = [program] + argv
        started = time.monotonic()
        self.runs += 1
        try:
            done = subprocess.run(command, cwd=ctx.work, env=env, input=stdin,
                                  capture_output=True, timeout=RUN_TIMEOUT)
            code, out, err, timed_out = done.returncode, done.stdout, done.stderr, False
        except subprocess.TimeoutExpired as expired:
            code, out, err, timed_out = None, expired.stdout or b"", expired.stderr or b"", True
        return Outcome(argv, code, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"),
                       timed_out, time.monotonic() - started)

    def fail(self, ctx, outcome, what):
        where = os.path.join(self.args.work_dir, "findings", "%d-%d" % (ctx.seed, ctx.index))
        os.makedirs(where, exist_ok=True)
        with open(os.path.join(where, "device.profile"), "w") as f:
            f.write(ctx.shape.profile)
        label = "%s %s" % ("bus" if ctx.bus else "sim", " ".join(outcome.argv))
        with open(os.path.join(where, "findings.txt"), "a") as f:
            f.write("%s\n  %s\n  exit %s\n  stdout: %s\n  stderr: %s\n\n" % (
                label, what, outcome.code, outcome.out[-600:], outcome.err[-600:]))
        if ctx.shape.plain and ctx.shape.transfer_size > 4096:
            what += " [a plain device whose transfer size is above 4096]"
        self.failures.append("profile %d (%s) %s: %s (exit %s)\n    %s" % (
            ctx.index, ctx.shape.summary(), label, what, outcome.code,
            (outcome.err or outcome.out).strip()[-300:].replace("\n", "\n    ")))

    def tally(self, ctx, name, outcome):
        key = (name, "timeout" if outcome.timed_out else outcome.code)
        self.outcomes[key] = self.outcomes.get(key, 0) + 1
        if self.args.verbose:
            lines = outcome.text.strip().splitlines()
            print("  profile %d %s %s: exit %s: %s" % (ctx.index, "bus" if ctx.bus else "sim",
                                                      " ".join(outcome.argv), outcome.code,
                                                      lines[-1] if lines else ""))
        if self.args.reasons and outcome.code:
            lines = outcome.text.strip().splitlines()
            reason = re.sub(r"0x[0-9A-Fa-f]+|\d+", "N", lines[-1] if lines else "")
            key = "%s exit %s: %s" % (name, outcome.code, reason)
            self.reasons[key] = self.reasons.get(key, 0) + 1

    def judge_process(self, ctx, outcome, exits, name):
        """What every run must be: ended, no crash, no sanitizer report, a
        message with every refusal. False when it is not (already recorded)."""
        self.tally(ctx, name, outcome)
        if outcome.timed_out:
            self.fail(ctx, outcome, "no end within %d s" % RUN_TIMEOUT)
            return False
        for word in SANITIZER_WORDS:
            if word in outcome.err:
                self.fail(ctx, outcome, "sanitizer report: " + word)
                return False
        if outcome.code not in exits:
            self.fail(ctx, outcome, "exit code %s is no documented outcome" % outcome.code)
            return False
        if outcome.code != 0 and not outcome.text.strip():
            self.fail(ctx, outcome, "a refusal without a message")
            return False
        return True

    # -- the commands -------------------------------------------------------

    def flash(self, ctx, rng, changed_only=False):
        shape = ctx.shape
        before = ctx.read_flash()
        argv, chunks, file_name = self.draw_flash_input(ctx, rng)
        if changed_only:
            argv.append("--changed-only")
        if not shape.plain and rng.random() < 0.4:
            argv.append("--no-leave")
        if rng.random() < 0.1:
            argv.append("--no-verify")
        if rng.random() < 0.2:
            argv.append("--fast-poll")
        outcome = self.run(ctx, argv, self.args.zuvatool)
        if not self.judge_process(ctx, outcome, TOOL_EXITS, "flash"):
            return
        after = ctx.read_flash()
        if outcome.code in EARLY_EXITS:
            if after.data != before.data:
                self.fail(ctx, outcome, "a refusal before the device was touched changed the flash")
            return
        if outcome.code == 7:
            self.judge_difference(ctx, outcome, chunks, after)
        if outcome.code != 0:
            return
        stated = "not read back" in outcome.text
        for address, data in chunks:
            held = after.at(address, len(data))
            if held is None:
                self.fail(ctx, outcome, "exit 0 for data at 0x%08X that no sector holds" % address)
                return
            if held != data:
                first = next(i for i in range(len(data)) if held[i] != data[i])
                if stated or "--no-verify" in argv:
                    ctx.unverified += 1
                    continue
                self.fail(ctx, outcome, "exit 0, but the flash differs at 0x%08X (%d bytes into "
                          "the %d written there)" % (address + first, first, len(data)))
                return
        # Nothing outside the sectors the image touches may change.
        if not shape.plain:
            for index, sector in enumerate(shape.sectors):
                touched = any(a < sector.end and sector.address < a + len(d) for a, d in chunks)
                if not touched and after.sector_bytes(index) != before.sector_bytes(index):
                    self.fail(ctx, outcome, "exit 0, and the sector at 0x%08X that the image does "
                              "not touch changed" % sector.address)
                    return
        ctx.flashed = chunks

    def judge_difference(self, ctx, outcome, chunks, after):
        """A verify difference names an address (an offset on a plain device)
        where the device holds another byte than the image."""
        found = re.search(r"difference at (?:offset )?0x([0-9A-Fa-f]+)", outcome.text)
        if not found:
            self.fail(ctx, outcome, "a verify difference without its address")
            return
        at = int(found.group(1), 16)
        for address, data in chunks:
            if address <= at < address + len(data):
                held = after.at(at, 1)
                if held is not None and held[0] == data[at - address]:
                    self.fail(ctx, outcome, "the verify names 0x%08X, where the device holds the "
                              "image's byte" % at)
                return
        self.fail(ctx, outcome, "the verify names 0x%08X, which the image does not cover" % at)

    def draw_flash_input(self, ctx, rng):
        shape = ctx.shape
        if shape.plain:
            limit = shape.memory_size + (shape.transfer_size if rng.random() < 0.1 else 0)
            size = rng.randrange(1, max(2, min(limit, 300000, shape.max_bytes())))
            data = payload(rng, size)
            ctx.write("fw.bin", data)
            return ["flash", "fw.bin"], [(0, data)], "fw.bin"
        writable = [s for s in shape.sectors if s.access & ACCESS_WRITE]
        if ctx.flashed and rng.random() < 0.5:
            # The last image again with some blocks changed: what
            # --changed-only is for.
            chunks = []
            for address, data in ctx.flashed:
                data = bytearray(data)
                for _ in range(rng.randrange(0, 4)):
                    at = rng.randrange(len(data))
                    data[at:at + 16] = payload(rng, len(data[at:at + 16]))
                chunks.append((address, bytes(data)))
        elif not writable or rng.random() < 0.08:
            # Anywhere in the map, writable or not.
            sector = rng.choice(shape.sectors)
            chunks = [(sector.address + rng.randrange(sector.size), payload(rng, rng.randrange(1, 9000)))]
        else:
            chunks = []
            for _ in range(rng.choice([1, 1, 1, 2])):
                first = rng.choice(writable)
                address = first.address + rng.choice([0, 0, rng.randrange(first.size)])
                # Across the following writable sectors, as far as they go.
                end = first.end
                for sector in shape.sectors:
                    if sector.address == end and sector.access & ACCESS_WRITE:
                        end = sector.end
                size = rng.randrange(1, max(2, min(end - address + 1, 200000, shape.max_bytes())))
                if any(a < address + size and address < a + len(d) for a, d in chunks):
                    continue
                chunks.append((address, payload(rng, size)))
        if len(chunks) == 1 and rng.random() < 0.7:
            ctx.write("fw.bin", chunks[0][1])
            argv = ["flash", "fw.bin"]
            if chunks[0][0] != shape.sectors[0].address or rng.random() < 0.5:
                argv += ["--address", "0x%08X" % chunks[0][0]]
            return argv, chunks, "fw.bin"
        ctx.write("fw.hex", hex_records(chunks).encode())
        return ["flash", "fw.hex"], chunks, "fw.hex"

    def read(self, ctx, rng):
        shape = ctx.shape
        before = ctx.read_flash()
        out_path = os.path.join(ctx.work, "out.bin")
        if os.path.exists(out_path):
            os.remove(out_path)
        argv = ["read", "out.bin"]
        expected_range = None
        if not shape.plain and rng.random() < 0.6:
            sector = rng.choice(shape.sectors)
            address = sector.address + rng.choice([0, rng.randrange(sector.size)])
            length = rng.randrange(1, 70000)
            argv += ["--address", "0x%08X" % address, "--length", str(length)]
            expected_range = (address, length)
        outcome = self.run(ctx, argv, self.args.zuvatool)
        if not self.judge_process(ctx, outcome, TOOL_EXITS, "read"):
            return
        after = ctx.read_flash()
        if after.data != before.data:
            self.fail(ctx, outcome, "read changed the flash")
            return
        if outcome.code != 0:
            if os.path.exists(out_path):
                self.fail(ctx, outcome, "a failed read left its file")
            return
        got = ctx.read_bytes("out.bin")
        if shape.plain:
            if got != after.data:
                self.fail(ctx, outcome, "exit 0, but %d bytes read differ from the memory of %d "
                          "bytes%s" % (len(got), len(after.data), first_difference(got, after.data)))
            return
        if expected_range:
            address, length = expected_range
            if not covering(shape, address, length, ACCESS_READ):
                self.fail(ctx, outcome, "exit 0 for a range the device cannot read")
                return
            if len(got) != length or got != after.at(address, length):
                self.fail(ctx, outcome, "exit 0, but the %d bytes read from 0x%08X are not the "
                          "device's %d%s" % (len(got), address, length,
                                             first_difference(got, after.at(address, length))))
            return
        # By default: the whole run of readable sectors from the start of the
        # memory; whether it goes on into a memory that follows without a
        # gap is the tool's choice.
        start = shape.sectors[0].address
        first_memory = shape.memory_starts[1] if len(shape.memory_starts) > 1 else len(shape.sectors)
        run_end = shape_end = start
        for index, sector in enumerate(shape.sectors):
            if sector.address != run_end or not sector.access & ACCESS_READ:
                break
            run_end = sector.end
            if index < first_memory:
                shape_end = sector.end
        if not got or not shape_end - start <= len(got) <= run_end - start or \
                got != after.at(start, len(got)):
            self.fail(ctx, outcome, "exit 0, but the %d bytes read are not the device's whole "
                      "readable run from 0x%08X (%d bytes, %d with the memories that follow)%s"
                      % (len(got), start, shape_end - start, run_end - start,
                         first_difference(got, after.at(start, len(got)))))

    def erase(self, ctx, rng):
        shape = ctx.shape
        before = ctx.read_flash()
        mode = rng.choice(["range", "range", "all", "mass"])
        argv = ["erase"]
        if mode == "range":
            sector = rng.choice(shape.sectors) if shape.sectors else None
            address = (sector.address + rng.randrange(sector.size)) if sector else 0
            length = rng.randrange(1, 40000)
            argv += ["--address", "0x%08X" % address, "--length", str(length)]
        else:
            argv.append("--" + mode)
        outcome = self.run(ctx, argv, self.args.zuvatool)
        if not self.judge_process(ctx, outcome, TOOL_EXITS, "erase " + mode):
            return
        after = ctx.read_flash()
        if outcome.code in EARLY_EXITS and after.data != before.data:
            self.fail(ctx, outcome, "a refusal before the device was touched changed the flash")
            return
        if outcome.code != 0 or shape.plain:
            if outcome.code == 0 and shape.plain and after.data != before.data:
                self.fail(ctx, outcome, "exit 0 on a plain device whose memory changed")
            return
        for index, sector in enumerate(shape.sectors):
            blank = after.sector_bytes(index) == b"\xff" * sector.size
            if mode == "range":
                wanted = sector.address < address + length and address < sector.end
            else:
                wanted = bool(sector.access & ACCESS_ERASE)
            if wanted and not sector.access & ACCESS_ERASE:
                self.fail(ctx, outcome, "exit 0 for a range with the sector at 0x%08X, which "
                          "cannot be erased" % sector.address)
                return
            if wanted and not blank:
                # A device that takes the mass erase and erases nothing is
                # caught only where the tool reads: the first block of each
                # sector (or of a sample of them), as its result says.
                sampled = "not checked" in outcome.text or "checked blank: the first block" in outcome.text
                if mode == "mass" and sampled and shape.keys.get("mass-erase") == "nothing":
                    ctx.unverified += 1
                    continue
                self.fail(ctx, outcome, "exit 0, but the sector at 0x%08X is not blank"
                          % sector.address)
                return
            if not wanted and mode == "range" and after.sector_bytes(index) != before.sector_bytes(index):
                self.fail(ctx, outcome, "exit 0, and the sector at 0x%08X outside the range "
                          "changed" % sector.address)
                return

    def other_alternate(self, ctx, rng):
        """An image to another alternate setting (or one the device does not
        have): alternate setting 0's memory, which the flash file holds, must
        stay as it was. The virtual device keeps the other memories only for
        its life, so on the emulated bus, where one device serves both, the
        image is read back and must agree."""
        shape = ctx.shape
        alternate = rng.choice(sorted(shape.other_alternates) + [len(shape.alternates_listed())])
        sectors = shape.other_alternates.get(alternate) or [Sector(0, 4096, 7)]
        sector = rng.choice(sectors)
        size = rng.randrange(1, max(2, min(sector.size, shape.max_bytes(), 20000)))
        data = payload(rng, size)
        ctx.write("alt.bin", data)
        before = ctx.read_flash()
        flash = ["flash", "alt.bin", "--alt", str(alternate)]
        read = ["read", "back.bin", "--alt", str(alternate)]
        if not shape.plain:
            flash += ["--address", "0x%08X" % sector.address, "--no-leave"]
            read += ["--address", "0x%08X" % sector.address, "--length", str(size)]
        if ctx.bus:
            wrote, back = self.run_pair(ctx, flash, read)
        else:
            wrote, back = self.run(ctx, flash, self.args.zuvatool), None
        if not self.judge_process(ctx, wrote, TOOL_EXITS, "flash --alt"):
            return
        if ctx.read_flash().data != before.data:
            self.fail(ctx, wrote, "a flash to alternate setting %d changed alternate setting 0"
                      % alternate)
            return
        if back is None or not self.judge_process(ctx, back, TOOL_EXITS, "read --alt"):
            return
        if wrote.code == 0 and back.code == 0 and "not read back" not in wrote.text:
            got = ctx.read_bytes("back.bin")
            if got[:size] != data:
                self.fail(ctx, back, "flash to alternate setting %d said exit 0, and reading it "
                          "back gives other bytes%s" % (alternate, first_difference(got[:size], data)))

    def run_pair(self, ctx, first, second):
        """Two zuvatool commands against one device on the emulated bus."""
        script = "".join(
            "%s >%s.out 2>%s.err </dev/null; echo $? >%s.code\n" % (
                " ".join([shlex.quote(self.args.zuvatool)] + [shlex.quote(a) for a in argv]),
                name, name, name)
            for name, argv in (("first", first), ("second", second)))
        outcome = self.run(ctx, ["-c", script], "sh")
        outcomes = []
        for name, argv in (("first", first), ("second", second)):
            def text(suffix):
                path = os.path.join(ctx.work, name + suffix)
                return ctx.read_bytes(name + suffix).decode("utf-8", "replace") \
                    if os.path.exists(path) else ""
            code = text(".code").strip()
            outcomes.append(Outcome(argv, int(code) if code else None, text(".out"),
                                    text(".err") + (outcome.err if not code else ""),
                                    outcome.timed_out, outcome.seconds))
        return outcomes

    def zuva(self, ctx, rng):
        """ZUVA's upgrade: the exit code says only that its DfuSe file was
        written; the console says what the device got."""
        shape = ctx.shape
        before = ctx.read_flash()
        size = min(shape.max_bytes(), rng.choice([rng.randrange(1, 4096), rng.randrange(1, 200000), ZUVA_WINDOW]))
        # Mostly an image that the writable sectors at the window's start hold.
        run_end = ZUVA_BASE
        for sector in shape.sectors:
            if sector.address == run_end and sector.access & ACCESS_WRITE:
                run_end = sector.end
        if run_end > ZUVA_BASE and rng.random() < 0.8:
            size = min(size, run_end - ZUVA_BASE)
        raw = payload(rng, size)
        ctx.write("zuva.bin", raw)
        window = raw + b"\xff" * (ZUVA_WINDOW - len(raw))
        outcome = self.run(ctx, ["zuva.bin"], self.args.zuva, stdin=b"n\nn\nn\n\n")
        if not self.judge_process(ctx, outcome, (0, 1), "ZUVA"):
            return
        if not outcome.out.endswith("\n Press any key to continue ..."):
            self.fail(ctx, outcome, "the run did not end with its final prompt")
            return
        after = ctx.read_flash()
        verified = "Verifying..." in outcome.out and \
            outcome.out.split("Verifying...")[1].split("\n")[0].endswith("finished.")
        kind = "verified" if verified else "data not matching" if "not matching" in outcome.out \
            else "failed" if "Erasing..." in outcome.out else "device refused"
        self.outcomes[("ZUVA", kind)] = self.outcomes.get(("ZUVA", kind), 0) + 1
        if not verified:
            if "Erasing..." not in outcome.out and after.data != before.data:
                self.fail(ctx, outcome, "the device was refused, but its flash changed")
            return
        # Every byte of the window in a sector that is written and read back.
        for index, sector in enumerate(shape.sectors):
            lo, hi = max(sector.address, ZUVA_BASE), min(sector.end, ZUVA_BASE + ZUVA_WINDOW)
            if lo >= hi or sector.access & (ACCESS_READ | ACCESS_WRITE) != ACCESS_READ | ACCESS_WRITE:
                continue
            held = after.at(lo, hi - lo)
            if held != window[lo - ZUVA_BASE:hi - ZUVA_BASE]:
                self.fail(ctx, outcome, "verify finished, but the sector at 0x%08X does not hold "
                          "the image" % sector.address)
                return


def first_difference(a, b):
    if a is None or b is None:
        return ""
    for i in range(min(len(a), len(b))):
        if a[i] != b[i]:
            return ", first at byte %d" % i
    return ", lengths %d and %d" % (len(a), len(b))


class Context:
    def __init__(self, sweep, seed, index, shape, bus):
        self.seed, self.index, self.shape, self.bus = seed, index, shape, bus
        self.work = os.path.join(sweep.args.work_dir, "%s%d" % ("bus" if bus else "sim", index))
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.write("device.profile", shape.profile.encode())
        self.flashed = None
        self.unverified = 0

    def write(self, name, data):
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(data)

    def read_bytes(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def read_flash(self):
        return Flash(self.shape, self.read_bytes("flash.bin"))


def sweep_profile(sweep, seed, index):
    rng = random.Random(seed * 1000003 + index)
    shape = draw_shape(rng)
    args = sweep.args
    fronts = [False]
    if args.devsim and args.bus_every and index % args.bus_every == 0:
        fronts.append(True)
    failures = len(sweep.failures)
    for bus in fronts:
        ctx = Context(sweep, seed, index, shape, bus)
        run_rng = random.Random(rng.random())
        ctx.write("flash.bin", old_flash(shape, run_rng))
        sweep.flash(ctx, run_rng)
        sweep.read(ctx, run_rng)
        sweep.flash(ctx, run_rng, changed_only=not shape.plain or run_rng.random() < 0.3)
        if not shape.plain:
            sweep.erase(ctx, run_rng)
        if run_rng.random() < 0.5:
            sweep.other_alternate(ctx, run_rng)
        if args.zuva and not shape.plain:
            # Half the time the sectors ZUVA cannot write are blank, so that
            # its verify can pass over a window they lie in.
            ctx.write("flash.bin", old_flash(shape, run_rng, run_rng.random() < 0.5))
            sweep.zuva(ctx, run_rng)
        sweep.unverified += ctx.unverified
        if len(sweep.failures) == failures:
            shutil.rmtree(ctx.work, ignore_errors=True)
    return len(sweep.failures) == failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zuvatool", required=True)
    parser.add_argument("--zuva")
    parser.add_argument("--devsim")
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int,
                        help="profiles to draw (default 20, or as many as --minutes allows)")
    parser.add_argument("--bus-every", type=int, default=0)
    parser.add_argument("--only", type=int)
    parser.add_argument("--minutes", type=float, default=0,
                        help="stop drawing profiles after this long (0: run --count)")
    parser.add_argument("--verbose", action="store_true", help="one line per run")
    parser.add_argument("--reasons", action="store_true",
                        help="count the last line of every refusal")
    parser.add_argument("--lower-case-units", action="store_true",
                        help="also draw memory maps whose sizes use 'k' and 'm'")
    args = parser.parse_args()
    if args.lower_case_units:
        UNITS.update(K="KKk", M="Mm")
    shutil.rmtree(os.path.join(args.work_dir, "findings"), ignore_errors=True)
    os.makedirs(args.work_dir, exist_ok=True)
    sweep = Sweep(args)
    started = time.monotonic()
    count = args.count if args.count is not None else (1 << 30 if args.minutes else 20)
    indices = [args.only] if args.only is not None else range(count)
    done = 0
    for index in indices:
        if args.minutes and time.monotonic() - started > args.minutes * 60:
            break
        ok = sweep_profile(sweep, args.seed, index)
        done += 1
        print("%s profile %d: %s" % ("ok  " if ok else "FAIL", index,
                                     draw_shape(random.Random(args.seed * 1000003 + index)).summary()))
        sys.stdout.flush()
    print("\n%d profiles, %d runs in %.0f s, seed %d" % (done, sweep.runs, time.monotonic() - started,
                                                          args.seed))
    print("successes whose result said what was not checked, over bytes that differ there: %d"
          % sweep.unverified)
    print("outcomes: " + ", ".join("%s exit %s: %d" % (k[0], k[1], v)
                                   for k, v in sorted(sweep.outcomes.items(), key=str)))
    if args.reasons:
        print("refusals:\n  " + "\n  ".join("%4d %s" % (n, k) for k, n in sorted(sweep.reasons.items())))
    if sweep.failures:
        print("\n%d failures:\n%s" % (len(sweep.failures), "\n".join(sweep.failures)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
