#!/usr/bin/env python3
"""Turns a virtual-device trace into a seed of the conversation fuzzer.

usage: trace_to_conversation.py SETUP_HEX TRACE OUT

SETUP_HEX is the fuzzer's six setup bytes (operation, attributes, transfer
size, element count, two element sizes) in hex; the trace is the file that
ZUVA_SIM_TRACE names. Every DFU class request of the trace becomes the answer
the device gave it, in the script form the fuzzer reads.
"""
import re
import sys

CLASS = {"DETACH", "DNLOAD", "UPLOAD", "GETSTATUS", "CLRSTATUS", "GETSTATE", "ABORT"}
LINE = re.compile(r"^\d+ (\w+)[^>]*-> (ok|stall|gone)(.*)$")


def poll_byte(poll):
    if poll < 16:
        return poll
    if poll <= 63 * 50:
        return 0x80 | min(63, (poll + 49) // 50)
    if poll <= 15 * 4000:
        return 0xC0 | min(15, (poll + 3999) // 4000)
    return 0xFF


def answer(name, outcome, rest):
    if outcome == "stall":
        return [5]
    if outcome == "gone":
        return [6, 0]
    fields = dict(re.findall(r"(\w+)=(\d+)", rest))
    if name == "GETSTATUS":
        status = int(fields.get("status", 0))
        return [0, 0 if status == 0 else 0xC0 | (status & 0x0F), int(fields.get("state", 2)),
                poll_byte(int(fields.get("poll", 0)))]
    if name == "GETSTATE":
        return [0, int(fields.get("state", 2))]
    if name == "DETACH":
        return [0, 1]
    return [0]


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    setup = bytes.fromhex(sys.argv[1])
    if len(setup) != 6:
        sys.exit("the setup is six bytes")
    script = bytearray(setup)
    with open(sys.argv[2], encoding="utf-8") as trace:
        for line in trace:
            match = LINE.match(line.strip())
            if match and match.group(1) in CLASS:
                script += bytes(answer(*match.groups()))
    with open(sys.argv[3], "wb") as out:
        out.write(script)


if __name__ == "__main__":
    main()
