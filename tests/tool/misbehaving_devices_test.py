#!/usr/bin/env python3
"""zuvatool against devices that misbehave all the time, as the virtual
device's fault plan scripts them: each against flash, read, erase, detach and
flash --all. None may end in success over what the device did; each ends in
exit 1, 6 or 7 with a message that names it. Uses the runner of
zuvatool_test.py.

  misbehaving_devices_test.py --exe PATH [--wrapper PROGRAM] --work-dir DIR [-k NAME]
"""
import sys

import zuvatool_test as tool
from zuvatool_test import expect, payload

CASES = []


def case(function):
    CASES.append(function)
    return function


def alternating_busy_and_error(first, count):
    return ",".join("status=0x00:4@%d,status=0x0F:10@%d" % (n, n + 1)
                    for n in range(first, first + 2 * count, 2))


# (what the device does, fault plan, words of the message, any one of). Requests 1 to 14
# list and open the device; its conversation starts with request 15.
MISBEHAVING_DEVICES = [
    ("answers appIDLE to every status request", "status=0x00:0@1-",
     ("answered appIDLE", "did not complete its ABORT")),
    ("answers dfuIDLE to every status request", "status=0x00:2@1-", ("answered dfuIDLE",)),
    ("answers dfuMANIFEST-WAIT-RESET to every status request", "status=0x00:8@1-",
     ("answered dfuMANIFEST-WAIT-RESET",)),
    ("answers errPROG in dfuERROR to every status request", "status=0x06:10@1-", ("errPROG",)),
    ("alternates busy and error", alternating_busy_and_error(1, 400),
     ("answered dfuDNBUSY", "errSTALLEDPKT", "did not complete its ABORT")),
    ("answers 3 bytes to every status request", "status-length=3@1-",
     ("answer to GETSTATUS was too short", "did not complete its CLRSTATUS",
      "did not complete its ABORT")),
    ("answers 100 bytes to every upload", "upload-length=100@1-", ("answer to UPLOAD was too short", "came back short", "came back with 100 bytes")),
    ("answers more than asked to every upload", "upload-length=2049@1-",
     ("did not complete its UPLOAD request",)),
    ("leaves and comes back under the same path", "replug@17",
     ("did not complete its GETSTATUS", "did not complete its GETSTATE")),
    ("disappears in the middle", "unplug@20", ("the device is gone",)),
]

# Where a command succeeds over a device's misbehaviour because it never
# meets it, the reason; each such row is a success by right.
NEVER_MET = {
    # What a detach is for: the device says it is in DFU mode.
    ("answers dfuIDLE to every status request", "detach"): "a device in dfuIDLE is in DFU mode",
    # An erase neither reads the memory back nor asks for more than statuses.
    ("answers 100 bytes to every upload", "erase"): "an erase uploads nothing",
    ("answers more than asked to every upload", "erase"): "an erase uploads nothing",
    # An application-mode device is detached with one request and a reset;
    # the DFU-mode device that comes back is not asked anything.
    ("answers 100 bytes to every upload", "detach"): "a detach uploads nothing",
    ("answers more than asked to every upload", "detach"): "a detach uploads nothing",
    ("leaves and comes back under the same path", "detach"):
        "the device had left for DFU mode before request 17",
    ("disappears in the middle", "detach"): "the device had left for DFU mode before request 20",
}


@case
def misbehaving_devices_never_end_in_success(t):
    profile = tool.default_profile()
    t.write("fw.bin", payload(4096, 21))
    commands = [
        ("flash", ("flash", "fw.bin"), profile),
        ("read", ("read", "out.bin", "--length", "4096"), profile),
        ("erase", ("erase", "--all"), profile),
        ("detach", ("detach",), profile + "mode = application\n"),
        ("flash --all", ("flash", "fw.bin", "--all"), profile),
    ]
    table = []
    failures = []
    for behaviour, faults, words in MISBEHAVING_DEVICES:
        for name, argv, device in commands:
            t.old_flash()
            done = t.run(*argv, faults=faults, profile=device)
            message = (done.err + done.out).strip().splitlines()[-1] if (done.err + done.out).strip() else ""
            table.append("%-55s %-12s exit %d  %s" % (behaviour, name, done.returncode, message))
            what = "%s, %s: exit %d\nstdout:\n%s\nstderr:\n%s" % (
                behaviour, name, done.returncode, done.out, done.err)
            if (behaviour, name) in NEVER_MET:
                if done.returncode != 0:
                    failures.append("expected a success (%s): %s" % (NEVER_MET[behaviour, name], what))
                continue
            if done.returncode not in (1, 6, 7) or not any(w in done.err + done.out for w in words):
                failures.append("wanted exit 1, 6 or 7 and one of %s: %s" % (words, what))
    print("\n".join(table))
    expect(not failures, "\n\n".join(failures))


if __name__ == "__main__":
    tool.CASES[:] = CASES
    sys.exit(tool.main())
