#!/usr/bin/env python3
"""The end-to-end upgrade cases a fourth time, with ZUVA.exe under Wine
reaching the virtual device as a USB device bound to WinUSB: SetupDi finds the
node by its service and compatible ids, the registry names its interface
class, CreateFileA opens the interface, and winusb.dll carries the requests
as control transfers to the virtual driver's WinUSB node and on to the device
model (zuva-wine-devsim --winusb). The device leaves through the same node,
so the leave step must see the WinUSB interface go.

Wine's own winusb.dll fails every call, so zuva-wine-devsim puts our stand-in
(sim/windows-driver/winusb_standin.c) into the prefix's System32, where
ZUVA.exe loads its system libraries from, never beside ZUVA.exe. The console
text and the flash must be those of the other three runs.

Command line: as windriver_upgrade_test.py.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import windriver_upgrade_test as driver  # noqa: E402
import zuva_e2e as e2e  # noqa: E402


class WinUsbRunner(driver.DriverRunner):
    """The driver suite's runner, with the device on the WinUSB node."""

    def command(self, case, program_name):
        command = super().command(case, program_name)
        at = command.index("--")
        return command[:at] + ["--winusb"] + command[at:]


if __name__ == "__main__":
    sys.exit(e2e.main(driver.CASES, runner_class=WinUsbRunner, add_arguments=driver.add_arguments))
