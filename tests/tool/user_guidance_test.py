#!/usr/bin/env python3
"""zuvatool telling its user what it does and why it will not: device
selection as USB tools write it. Uses the runner of zuvatool_test.py.

  user_guidance_test.py --exe PATH [--wrapper PROGRAM] --work-dir DIR [-k NAME]
"""
import sys

import zuvatool_test as tool
from zuvatool_test import expect, expect_exit

CASES = []


def case(function):
    CASES.append(function)
    return function


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
