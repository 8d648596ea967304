#!/usr/bin/env python3
"""A device on the kernel driver and one bound to WinUSB at once, under Wine:
zuvatool lists the kernel driver's first and the WinUSB device next, and
ZUVA.exe upgrades the last one listed, the WinUSB device, leaving the other's
flash alone.

zuva-wine-devsim serves the WinUSB node; the command it runs starts a second
device model on the kernel driver's node in the same prefix, waits until that
device is listed, and then runs the programs. Each device has a description
of its own, so the console names the one chosen.

Command line: both_drivers_test.py --zuva ZUVA.exe --tool zuvatool.exe
  --devsim zuva-wine-devsim --model zuva-devsim-pipe.exe --work-dir DIR
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

TIMEOUT_SECONDS = 300
OLD_FLASH = b"\x5a" * (128 * 1024)
IMAGE = bytes(range(256)) * 64

# Runs inside the fixture: the kernel driver's device model beside the one the
# fixture serves, then the programs; the model ends when its input closes.
COMMAND = r"""
set -u
mkfifo legacy.stop
wine "$MODEL" --profile legacy.profile --flash legacy.flash --ready 'Z:'"$(pwd | tr / '\\')"'\legacy.ready' \
  <legacy.stop >legacy.out 2>&1 &
model=$!
exec 3>legacy.stop
waited=0
while [ ! -f legacy.ready ] && [ "$waited" -lt 600 ]; do sleep 0.1; waited=$((waited + 1)); done
wine zuvatool.exe list --json >list.json 2>list.err
printf '\n' | wine ZUVA.exe fw.bin >zuva.out 2>zuva.err
status=$?
exec 3>&-
wait "$model"
exit "$status"
"""


def main():
    parser = argparse.ArgumentParser()
    for option in ("--zuva", "--tool", "--devsim", "--model", "--work-dir"):
        parser.add_argument(option, required=True, type=Path)
    args = parser.parse_args()
    work = args.work_dir.resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    shutil.copy2(args.zuva, work / "ZUVA.exe")
    shutil.copy2(args.tool, work / "zuvatool.exe")
    (work / "fw.bin").write_bytes(IMAGE)
    (work / "legacy.profile").write_text("description = Kernel Driver DFU\n")
    (work / "winusb.profile").write_text("description = WinUSB DFU\n")
    for flash in ("legacy.flash", "winusb.flash"):
        (work / flash).write_bytes(OLD_FLASH)

    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_SIM")}
    env.update({"MODEL": str(args.model.resolve()),
                "ZUVA_WINE_DEVSIM_PREFIX": str(work / "prefix")})
    done = subprocess.run(
        [str(args.devsim.resolve()), "--winusb", "--profile", "winusb.profile",
         "--flash", "winusb.flash", "--", "sh", "-c", COMMAND],
        cwd=work, env=env, capture_output=True, timeout=TIMEOUT_SECONDS)
    subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=str(work / "prefix")),
                   capture_output=True, timeout=60)

    failures = []

    def check(name, condition, detail):
        print(("ok   " if condition else "FAIL ") + name + ("" if condition else ": " + detail))
        if not condition:
            failures.append(name)

    listed = []
    for line in (work / "list.json").read_text(errors="replace").splitlines():
        event = json.loads(line)
        if event.get("event") == "device":
            listed.append((event.get("path", ""), event.get("description", "")))
    check("the kernel driver's device is listed first, the WinUSB device next",
          [d for _, d in listed] == ["Kernel Driver DFU", "WinUSB DFU"]
          and listed[1][0].startswith("winusb:") and not listed[0][0].startswith("winusb:"),
          "listed %r" % listed)
    output = (work / "zuva.out").read_bytes().decode("latin-1")
    check("ZUVA.exe upgrades the last one listed",
          done.returncode == 0 and "Device found: WinUSB DFU, having" in output
          and "Leaving DFU mode..." in output,
          "exit %d, output %r, fixture %r" % (done.returncode, output[-400:],
                                              done.stderr.decode(errors="replace")[-400:]))
    check("only the chosen device's flash changes",
          (work / "winusb.flash").read_bytes()[:len(IMAGE)] == IMAGE
          and (work / "legacy.flash").read_bytes()[:len(OLD_FLASH)] == OLD_FLASH,
          "the flashes are not as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
