#!/usr/bin/env python3
"""End-to-end cases of the run's surroundings (Linux), which the table-driven
suites cannot set up.

An interrupted upgrade: a signal, or a reader of standard output that goes
away, in the middle of a download against the virtual device with real
timing. The run must stop the download as a halt does (the trace ends with
the abort request), keep what the device holds (the flash file shows the
erase), and exit with the conventional code.

A run started with standard output closed: the trace file must not take the
free descriptor and receive the console's text.

The virtual device's flash file: a second process that names it while the
first one's device exists finds no device (the file is locked), and a file
that cannot be written whole at the start (a full file system) leaves no
device rather than a device that loses what it is given.

Command line: run_environment_test.py --exe PATH [--work-dir DIR]"""

import argparse
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

WINDOW = 0x80000
RAW_SIZE = 0x21000
# The whole 512 KiB window is erased before the download; past the raw image
# nothing is ever programmed.
ERASED_TAIL = (0x40000, WINDOW)
PROFILE = "timing = real\n"
UPGRADING = b"Target 00: Upgrading... "
DEADLINE_SECONDS = 60
# Some blocks are programmed by then; the whole download takes over a second.
IN_DOWNLOAD_SECONDS = 0.3


def raw_bytes(size):
    return bytes((i * 31 + 7) % 251 for i in range(size))


NO_DEVICE = (b"No Device(s) found. Plug your DFU Device or reset to DFU mode (reset and hold "
             b"ENTER)!\nRetry? [y/n] ")


def prepare(work_dir):
    shutil.rmtree(work_dir, ignore_errors=True)
    work_dir.mkdir(parents=True)
    (work_dir / "fw.bin").write_bytes(raw_bytes(RAW_SIZE))
    (work_dir / "device.profile").write_text(PROFILE)
    (work_dir / "flash.bin").write_bytes(b"\x00" * WINDOW)


def start(exe, work_dir, stdout=subprocess.PIPE, preexec_fn=None, fresh=True,
          flash="flash.bin", trace="trace.txt"):
    if fresh:
        prepare(work_dir)
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_SIM")}
    env.update({"ZUVA_SIM": "device.profile", "ZUVA_SIM_FLASH": flash,
                "ZUVA_SIM_TRACE": trace})
    return subprocess.Popen([str(exe), "fw.bin"], cwd=work_dir, env=env,
                            stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=subprocess.PIPE, preexec_fn=preexec_fn)


def read_until(process, marker):
    """Reads standard output until `marker` has appeared; returns it all."""
    seen = b""
    end = time.monotonic() + DEADLINE_SECONDS
    while marker not in seen:
        ready, _, _ = select.select([process.stdout], [], [], max(0, end - time.monotonic()))
        if not ready:
            raise AssertionError("no %r within %d s: %r" % (marker, DEADLINE_SECONDS, seen))
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            raise AssertionError("output ended before %r: %r" % (marker, seen))
        seen += chunk
    return seen


def check_device(work_dir):
    requests = (work_dir / "trace.txt").read_text().splitlines()
    assert requests, "no trace"
    # A device still busy with a block refuses the abort (it stalls), as
    # hardware does; the request is sent all the same.
    assert requests[-1].split()[1] == "ABORT", "trace ends with %r" % requests[-1]
    assert not any(r.split()[1] == "DNLOAD" and r.split()[2] == "0" and r.split()[4] == "0"
                   for r in requests), "the device was made to leave DFU mode"
    flash = (work_dir / "flash.bin").read_bytes()
    assert len(flash) == WINDOW, "flash file of %d bytes" % len(flash)
    lo, hi = ERASED_TAIL
    assert flash[lo:hi] == b"\xff" * (hi - lo), "the erase is not in the flash file"


def run_signal(exe, work_dir, number, expected_code):
    process = start(exe, work_dir)
    try:
        read_until(process, UPGRADING)
        time.sleep(IN_DOWNLOAD_SECONDS)
        process.send_signal(number)
        rest, _ = process.communicate(timeout=DEADLINE_SECONDS)
    finally:
        process.kill()
    assert process.returncode == expected_code, \
        "exit code %d, expected %d" % (process.returncode, expected_code)
    assert b"Press any key" not in rest, "the interrupted run waited for a key"
    check_device(work_dir)


def run_lost_output(exe, work_dir):
    process = start(exe, work_dir)
    try:
        read_until(process, UPGRADING)
        time.sleep(IN_DOWNLOAD_SECONDS)
        process.stdout.close()
        process.wait(timeout=DEADLINE_SECONDS)
    finally:
        process.kill()
    expected = 128 + signal.SIGPIPE
    assert process.returncode == expected, \
        "exit code %d, expected %d" % (process.returncode, expected)
    check_device(work_dir)


def run_without_standard_output(exe, work_dir):
    process = start(exe, work_dir, stdout=None, preexec_fn=lambda: os.close(1))
    try:
        process.wait(timeout=DEADLINE_SECONDS * 2)
    finally:
        process.kill()
    assert process.returncode == 0, "exit code %d" % process.returncode
    trace = (work_dir / "trace.txt").read_bytes()
    assert b"Success for" not in trace and b"Device found" not in trace, \
        "the console's text went into the trace"
    assert trace.splitlines()[0].startswith(b"1 "), "trace starts with %r" % trace[:40]
    flash = (work_dir / "flash.bin").read_bytes()
    assert flash[:RAW_SIZE] == raw_bytes(RAW_SIZE), "the upgrade did not happen"


def run_second_process_on_the_flash_file(exe, work_dir):
    first = start(exe, work_dir)
    try:
        read_until(first, UPGRADING)
        second = start(exe, work_dir, fresh=False, trace="second-trace.txt")
        out, err = second.communicate(timeout=DEADLINE_SECONDS)
        assert NO_DEVICE in out, "the second process found a device: %r" % out
        assert b"flash.bin' is in use by another virtual device" in err, \
            "standard error: %r" % err
        first.communicate(timeout=DEADLINE_SECONDS)
    finally:
        first.kill()
    assert first.returncode == 0, "first process: exit code %d" % first.returncode
    flash = (work_dir / "flash.bin").read_bytes()
    assert flash[:RAW_SIZE] == raw_bytes(RAW_SIZE), "the first process's upgrade was disturbed"


def run_on_a_full_file_system(exe, work_dir):
    prepare(work_dir)
    small = work_dir / "small"
    small.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(small)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if mounted.returncode != 0:
        return "skipped: a small file system cannot be mounted here (%s)" \
            % mounted.stderr.decode(errors="replace").strip()
    try:
        process = start(exe, work_dir, fresh=False, flash="small/flash.bin")
        out, err = process.communicate(timeout=DEADLINE_SECONDS)
    finally:
        subprocess.run(["umount", str(small)], check=False)
    assert NO_DEVICE in out, "a device was found: %r" % out
    assert b"small/flash.bin' cannot be written" in err, "standard error: %r" % err
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, type=Path)
    parser.add_argument("--work-dir", type=Path, default=Path.cwd() / "e2e-run-environment")
    args = parser.parse_args()
    exe = args.exe.resolve()
    cases = [
        ("sigint", lambda d: run_signal(exe, d, signal.SIGINT, 130)),
        ("sigterm", lambda d: run_signal(exe, d, signal.SIGTERM, 128 + signal.SIGTERM)),
        ("sighup", lambda d: run_signal(exe, d, signal.SIGHUP, 128 + signal.SIGHUP)),
        ("reader_gone", lambda d: run_lost_output(exe, d)),
        ("standard_output_closed", lambda d: run_without_standard_output(exe, d)),
        ("second_process_on_the_flash_file",
         lambda d: run_second_process_on_the_flash_file(exe, d)),
        ("full_file_system_under_the_flash_file", lambda d: run_on_a_full_file_system(exe, d)),
    ]
    failed = 0
    for name, case in cases:
        try:
            note = case(args.work_dir.resolve() / name)
            print("ok   %s%s" % (name, " (%s)" % note if note else ""), flush=True)
        except (AssertionError, subprocess.TimeoutExpired) as fault:
            failed += 1
            print("FAIL %s\n     %s" % (name, fault), flush=True)
    print("%d of %d cases passed" % (len(cases) - failed, len(cases)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
