#!/usr/bin/env python3
"""Generates default_image.bin, the raw flash image built into ZUVA.

The image is a small, complete Cortex-M program for internal flash at
0x08000000, assembled here from hand-encoded 16-bit Thumb instructions so that
no ARM toolchain is needed and every run gives the same bytes:

  * a vector table at offset 0: initial stack pointer 0x20018000 (top of
    96 KiB of SRAM), the reset handler, and every other exception and interrupt
    vector on one default handler that parks the core;
  * a reset handler that copies the initialised data to SRAM, zeroes the
    zero-initialised data, starts the core's SysTick timer for a 1 ms tick at
    16 MHz and then counts ticks in an SRAM word forever;
  * read-only data: an identification string (copied to SRAM at start) and a
    16-bit sine table of the kind a signal generator plays out, which fills
    the image to its final size.

Usage: make_default_image.py OUTPUT
"""

import struct
import sys

FLASH_BASE = 0x08000000
SRAM_BASE = 0x20000000
INITIAL_SP = 0x20018000
IMAGE_SIZE = 135380          # total length of the raw image in bytes
VECTOR_COUNT = 16 + 64       # the core's exceptions, then 64 interrupt lines
SYSTICK_BASE = 0xE000E010    # SysTick CTRL; LOAD at +4, VAL at +8
SYSTICK_RELOAD = 16000 - 1   # 1 ms at 16 MHz
SYSTICK_ENABLE_CORE_CLOCK = 0x5
IDENT = b"ZUVA default image 5.8.0.1\0"


class Thumb:
    """A two-pass assembler for the few 16-bit Thumb forms the program uses."""

    def __init__(self, origin):
        self.origin = origin
        self.items = []      # (kind, args)
        self.labels = {}
        self.literals = []   # values for the pool, in order of first use

    def label(self, name):
        self.labels[name] = len(self.items) * 2

    def op(self, kind, *args):
        self.items.append((kind, args))

    def ldr_literal(self, rt, value):
        if value not in self.literals:
            self.literals.append(value)
        self.op("ldr_lit", rt, value)

    def assemble(self):
        code_size = len(self.items) * 2
        pool_offset = (code_size + 3) & ~3
        out = bytearray()
        for index, (kind, args) in enumerate(self.items):
            here = self.origin + index * 2
            out += struct.pack("<H", self._encode(here, kind, args, pool_offset))
        out += b"\x00" * (pool_offset - code_size)
        for value in self.literals:
            out += struct.pack("<I", value)
        return bytes(out)

    def address(self, name):
        return self.origin + self.labels[name]

    def _branch_offset(self, here, name, bits):
        offset = self.address(name) - (here + 4)
        limit = 1 << bits
        assert offset % 2 == 0 and -limit <= offset < limit, (name, offset)
        return (offset >> 1) & ((1 << bits) - 1)

    def _encode(self, here, kind, args, pool_offset):
        if kind == "ldr_lit":        # LDR Rt, [PC, #imm8*4]
            rt, value = args
            literal = self.origin + pool_offset + 4 * self.literals.index(value)
            base = (here + 4) & ~3
            assert literal >= base and (literal - base) % 4 == 0
            return 0x4800 | rt << 8 | (literal - base) >> 2
        if kind == "cmp":            # CMP Rn, Rm
            rn, rm = args
            return 0x4280 | rm << 3 | rn
        if kind == "bcond":          # B<cond> label
            cond, name = args
            return 0xD000 | cond << 8 | self._branch_offset(here, name, 8)
        if kind == "b":              # B label
            return 0xE000 | self._branch_offset(here, args[0], 11)
        if kind == "ldmia":          # LDMIA Rn!, {Rt}
            rn, rt = args
            return 0xC800 | rn << 8 | 1 << rt
        if kind == "stmia":          # STMIA Rn!, {Rt}
            rn, rt = args
            return 0xC000 | rn << 8 | 1 << rt
        if kind == "movs":           # MOVS Rd, #imm8
            rd, imm = args
            return 0x2000 | rd << 8 | imm
        if kind == "adds":           # ADDS Rdn, #imm8
            rd, imm = args
            return 0x3000 | rd << 8 | imm
        if kind == "str":            # STR Rt, [Rn, #imm5*4]
            rt, rn, offset = args
            return 0x6000 | (offset >> 2) << 6 | rn << 3 | rt
        if kind == "ldr":            # LDR Rt, [Rn, #imm5*4]
            rt, rn, offset = args
            return 0x6800 | (offset >> 2) << 6 | rn << 3 | rt
        if kind == "lsls":           # LSLS Rd, Rm, #imm5
            rd, rm, imm = args
            return imm << 6 | rm << 3 | rd
        raise ValueError(kind)


COND_CS = 0x2   # unsigned higher or same
COND_PL = 0x5   # plus: bit 31 clear


def program(origin, data_load, data_size, bss_size):
    """The reset and default handlers with their literal pool."""
    sdata = SRAM_BASE
    edata = sdata + data_size
    ebss = edata + bss_size
    a = Thumb(origin)
    a.label("reset")
    a.ldr_literal(0, data_load)             # r0: initialised data in flash
    a.ldr_literal(1, sdata)                 # r1: its place in SRAM
    a.ldr_literal(2, edata)
    a.label("copy")
    a.op("cmp", 1, 2)
    a.op("bcond", COND_CS, "copied")
    a.op("ldmia", 0, 3)
    a.op("stmia", 1, 3)
    a.op("b", "copy")
    a.label("copied")                       # r1 = end of data = start of bss
    a.ldr_literal(2, ebss)
    a.op("movs", 3, 0)
    a.label("zero")
    a.op("cmp", 1, 2)
    a.op("bcond", COND_CS, "zeroed")
    a.op("stmia", 1, 3)
    a.op("b", "zero")
    a.label("zeroed")
    a.ldr_literal(0, SYSTICK_BASE)
    a.ldr_literal(1, SYSTICK_RELOAD)
    a.op("str", 1, 0, 4)                    # LOAD
    a.op("movs", 1, 0)
    a.op("str", 1, 0, 8)                    # VAL: start a fresh period
    a.op("movs", 1, SYSTICK_ENABLE_CORE_CLOCK)
    a.op("str", 1, 0, 0)                    # CTRL: enable on the core clock
    a.ldr_literal(2, edata)                 # r2: the tick counter (first bss word)
    a.label("tick")
    a.op("ldr", 1, 0, 0)
    a.op("lsls", 1, 1, 15)                  # COUNTFLAG (bit 16) into the sign bit
    a.op("bcond", COND_PL, "tick")
    a.op("ldr", 1, 2, 0)
    a.op("adds", 1, 1)
    a.op("str", 1, 2, 0)
    a.op("b", "tick")
    a.label("default")
    a.op("b", "default")                    # an unexpected exception parks here
    return a


def sine_table(count):
    """Signed 16-bit sine samples over one period, in integers only (Bhaskara's
    approximation), so the table is the same on every machine."""
    samples = bytearray()
    half = count // 2
    for i in range(count):
        x = i % half                        # position in the half period
        p = x * (half - x)
        value = (16 * p * 32767) // (5 * half * half - 4 * p)
        samples += struct.pack("<h", value if i < half else -value)
    return bytes(samples)


def build():
    vector_bytes = VECTOR_COUNT * 4
    code_origin = FLASH_BASE + vector_bytes
    data = IDENT + b"\0" * (-len(IDENT) % 4)
    bss_size = 4

    # The code's length does not depend on where the data lands, so a first
    # pass with a placeholder address sizes it.
    code_size = len(program(code_origin, 0, len(data), bss_size).assemble())
    data_load = code_origin + code_size
    code = program(code_origin, data_load, len(data), bss_size)
    text = code.assemble()
    assert len(text) == code_size

    reset = code.address("reset") | 1       # Thumb bit
    default = code.address("default") | 1
    vectors = [INITIAL_SP, reset] + [default] * (VECTOR_COUNT - 2)
    for reserved in (7, 8, 9, 10, 13):
        vectors[reserved] = 0

    image = bytearray(struct.pack("<%dI" % VECTOR_COUNT, *vectors))
    image += text + data
    table_bytes = IMAGE_SIZE - len(image)
    assert table_bytes > 0 and table_bytes % 2 == 0
    image += sine_table(table_bytes // 2)
    assert len(image) == IMAGE_SIZE
    return bytes(image)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_default_image.py OUTPUT\n")
        return 2
    with open(argv[1], "wb") as out:
        out.write(build())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
