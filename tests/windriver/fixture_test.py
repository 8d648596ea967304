#!/usr/bin/env python3
"""zuva-wine-devsim as a program: its exit codes, its refusals, a device node
for each device, and that it leaves nothing running behind it, also when it
is stopped part way.

Command line: fixture_test.py --devsim SCRIPT --tool zuvatool.exe --work-dir DIR
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

TIMEOUT = 120


def processes_of(prefix):
    """Processes whose Wine prefix lies inside `prefix`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            environ = Path("/proc", pid, "environ").read_bytes().split(b"\0")
            command = Path("/proc", pid, "cmdline").read_bytes().replace(b"\0", b" ")
        except OSError:
            continue
        for entry in environ:
            if entry.startswith(b"WINEPREFIX=") and entry[11:].decode(errors="replace") \
                    .startswith(str(prefix)):
                found.append("%s %s" % (pid, command[:80].decode(errors="replace")))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work-dir", required=True, type=Path)
    args = parser.parse_args()
    work = args.work_dir.resolve()
    work.mkdir(parents=True, exist_ok=True)
    (work / "bad.profile").write_text("bogus = 1\n")
    for stale in ("ran.txt", "started"):
        (work / stale).unlink(missing_ok=True)
    devsim = str(Path(args.devsim).resolve())
    # Each run's own prefix is made here (the prepared one beside it is kept).
    runs = Path(devsim).parent / "wine-devsim" / "runs"
    failures = []

    def check(name, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + name + ("" if condition else ": " + detail),
              flush=True)
        if not condition:
            failures.append(name)

    def settled():
        # Wine's server and session processes of a stopped run may need a
        # while to go on a loaded machine.
        deadline = time.monotonic() + 40
        while processes_of(runs) and time.monotonic() < deadline:
            time.sleep(0.2)
        return processes_of(runs)

    cases = [
        ("the command's exit code is the fixture's", [], ["sh", "-c", "exit 7"], 7, ""),
        ("a profile the model refuses stops the run before the command",
         ["--profile", "bad.profile"], ["sh", "-c", "echo ran >ran.txt"], 3, "unknown key 'bogus'"),
        ("an unknown option is a usage error", ["--bogus"], ["true"], 2, "usage:"),
        ("a command is required", [], [], 2, "usage:"),
    ]
    for name, options, command, code, message in cases:
        argv = [devsim] + options + (["--"] + command if command else [])
        done = subprocess.run(argv, cwd=work, capture_output=True, timeout=TIMEOUT)
        stderr = done.stderr.decode(errors="replace")
        left = settled()
        check(name, done.returncode == code and message in stderr and not left
              and not (work / "ran.txt").exists(),
              "exit %d, stderr %r, left running %r" % (done.returncode, stderr[-300:], left))

    # Two devices, each with a node of its own, named by its own profile and
    # listed in the order given; then, in the same prefix and Wine session,
    # one device: the node whose model has ended lists nothing.
    shutil.copy2(args.tool, work / "zuvatool.exe")
    shutil.rmtree(work / "prefix", ignore_errors=True)
    env = dict(os.environ, ZUVA_WINE_DEVSIM_PREFIX=str(work / "prefix"))
    for name in ("First", "Second", "Third"):
        (work / (name.lower() + ".profile")).write_text("description = %s Board\n" % name)
    for name, profiles, expected in [
            ("each device has a node of its own", ["first", "second"],
             ["First Board", "Second Board"]),
            ("a node whose device has gone lists nothing", ["third"], ["Third Board"])]:
        options = [item for profile in profiles for item in ("--profile", profile + ".profile")]
        done = subprocess.run([devsim] + options + ["--", "wine", "zuvatool.exe", "list", "--json"],
                              cwd=work, env=env, capture_output=True, timeout=TIMEOUT)
        listed = []
        for line in done.stdout.decode(errors="replace").splitlines():
            event = json.loads(line) if line.startswith("{") else {}
            if event.get("event") == "device":
                listed.append((event.get("path", ""), event.get("description", "")))
        check(name, done.returncode == 0 and [d for _, d in listed] == expected
              and len({p for p, _ in listed}) == len(listed),
              "exit %d, listed %r, stderr %r" % (done.returncode, listed,
                                                 done.stderr.decode(errors="replace")[-300:]))
    # A plain DFU device that waits for a USB reset after manifestation,
    # through the kernel driver, whose requests have no reset: zuvatool
    # flashes it and asks for a replug.
    (work / "waiting.profile").write_text(
        "description = Plain Board\ndfu-version = 0x0110\nattributes = 0x03\ntransfer-size = 1024\n"
        "memory-size = 65536\nalt = Application\nleave = wait-reset\n")
    image = bytes((i * 13 + 5) & 0xFF for i in range(5000))
    (work / "fw.bin").write_bytes(image)
    (work / "waiting.flash").unlink(missing_ok=True)
    done = subprocess.run([devsim, "--profile", "waiting.profile", "--flash", "waiting.flash", "--",
                           "wine", "zuvatool.exe", "flash", "fw.bin"],
                          cwd=work, env=env, capture_output=True, timeout=TIMEOUT)
    out = done.stdout.decode(errors="replace")
    flashed = (work / "waiting.flash").exists() and (work / "waiting.flash").read_bytes()[:len(image)] == image
    check("a plain device that waits for a reset the kernel driver cannot send: flashed, and a "
          "replug asked for",
          done.returncode == 0 and flashed and "this transport cannot send a USB reset" in out
          and "unplug the device and plug it in again" in out,
          "exit %d, stdout %r, stderr %r" % (done.returncode, out[-300:],
                                             done.stderr.decode(errors="replace")[-300:]))
    subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=str(work / "prefix")),
                   capture_output=True, timeout=TIMEOUT)

    # Stopped while its command runs: the command and the model go with it.
    run = subprocess.Popen([devsim, "--", "sh", "-c", "touch started; exec sleep 300"], cwd=work,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + TIMEOUT
    while not (work / "started").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    run.send_signal(signal.SIGTERM)
    code = run.wait(timeout=TIMEOUT)
    left = settled()
    # Only this run's: the suite may run in another build on the same machine.
    sleepers = [pid for pid in subprocess.run(["pgrep", "-f", "^sleep 300$"], capture_output=True,
                                              text=True).stdout.split()
                if os.path.realpath("/proc/%s/cwd" % pid) == str(work)]
    check("a stopped fixture stops its command and its device",
          (work / "started").exists() and code == 143 and not left and not sleepers,
          "exit %d, left running %r %r" % (code, left, sleepers))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
