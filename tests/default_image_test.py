#!/usr/bin/env python3
"""The committed default image is what its recipe makes, and it is a
plausible Cortex-M flash image for internal flash at 0x08000000: it fits the
512 KiB window, its vector table starts with the initial stack pointer
0x20018000, and its reset and exception vectors point at Thumb code inside
the image."""

import importlib.util
import struct
import sys
from pathlib import Path

RESOURCES = Path(__file__).resolve().parents[1] / "resources"
FLASH_BASE = 0x08000000


def load_recipe():
    recipe = importlib.util.spec_from_file_location("make_default_image",
                                                  RESOURCES / "make_default_image.py")
    module = importlib.util.module_from_spec(recipe)
    recipe.loader.exec_module(module)
    return module


def faults_of(image, regenerated):
    faults = []
    if image != regenerated:
        faults.append("default_image.bin is not what make_default_image.py makes")
    if not 0 < len(image) <= 0x80000:
        faults.append("image of %d bytes does not fit the flash window" % len(image))
    stack, reset, nmi, hard_fault = struct.unpack_from("<4I", image, 0)
    if stack != 0x20018000:
        faults.append("initial stack pointer 0x%08X" % stack)
    for name, vector in (("reset", reset), ("NMI", nmi), ("hard fault", hard_fault)):
        offset = (vector & ~1) - FLASH_BASE
        if not vector & 1:
            faults.append("%s vector 0x%08X is not a Thumb address" % (name, vector))
        elif not 0 <= offset < len(image) - 1:
            faults.append("%s vector 0x%08X lies outside the image" % (name, vector))
    # A parked handler is "B ." (0xE7FE); the reset handler must not be one.
    if not faults and struct.unpack_from("<H", image, (reset & ~1) - FLASH_BASE)[0] == 0xE7FE:
        faults.append("the reset handler does nothing")
    return faults


def main():
    image = (RESOURCES / "default_image.bin").read_bytes()
    faults = faults_of(image, load_recipe().build())
    for fault in faults:
        print("FAIL " + fault)
    print("default image: %d bytes, %s" % (len(image), "faults" if faults else "ok"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
