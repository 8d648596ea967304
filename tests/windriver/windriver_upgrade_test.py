#!/usr/bin/env python3
"""The end-to-end upgrade cases once more, with ZUVA.exe under Wine reaching
the virtual device the way it reaches real hardware: SetupDi lists the
interface, CreateFileA opens it and DeviceIoControl goes to our virtual
kernel driver, which hands each request to the device model
(zuva-wine-devsim). The cases are those of tests/e2e/upgrade_test.py; their
ZUVA_SIM settings become the fixture's options, so the program runs without
any in-process device; a case with several devices has a device node for
each.

Cases without a device (no ZUVA_SIM) are left out: the driver's device is
always on the bus while a model serves.

Wine hands the device-change window the interface name in UTF-16 where
Windows gives a window registered with RegisterDeviceNotificationA ANSI text;
the leave step must recognise its device's removal all the same, and the
trace must show that nothing reached the device after it left.

Command line: as any suite of tests/e2e, plus --devsim (the fixture script).
"""

import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

import upgrade_test  # noqa: E402
import zuva_e2e as e2e  # noqa: E402

LEAVING = upgrade_test.LEAVING
# The fixture's own limit, below the harness's, so that it can stop what it
# started before the harness gives up on it.
FIXTURE_TIMEOUT_SECONDS = e2e.RUN_TIMEOUT_SECONDS - 10


def left_the_bus(ctx):
    """The device left at the leave request, after answering dfuMANIFEST or
    at once (a device that resets there), and nothing reached it after."""
    lines = upgrade_test.trace_lines(ctx)
    leave = [i for i, line in enumerate(lines) if line.endswith(" DNLOAD 0 0 0 -> ok")]
    assert leave, "the device never took the leave request"
    later = lines[leave[-1] + 1:]
    if later and re.search(r"GETSTATUS .* state=7 ", later[0]):
        later = later[1:]
    later = [line for line in later if not line.endswith("-> gone")]
    assert not later, "requests after the device left: %r" % later[:3]


def driver_case(case):
    """The case as it runs through the driver, or None when it has no
    device."""
    env = case.env("windows") if callable(case.env) else case.env
    if not env.get("ZUVA_SIM"):
        return None
    check = case.check
    if LEAVING + upgrade_test.DONE in case.expected_stdout:

        def check(ctx, inner=case.check):
            if inner:
                inner(ctx)
            left_the_bus(ctx)
    return e2e.Case(case.name, case.expected_stdout, case.expected_exit_code, args=case.args,
                    stdin=case.stdin, env=env, setup=case.setup, check=check,
                    normalize=case.normalize, timeout=case.timeout, program_name=case.program_name,
                    platforms=("windows",))


class DriverRunner(e2e.Runner):
    """Runs each case's program under zuva-wine-devsim, with the case's
    device settings as the fixture's options: each setting's list (separated
    by ';', as on Windows) gives one option per device. The cases share one
    prefix; only the device models start anew for each."""

    OPTIONS = (("ZUVA_SIM_FLASH", "--flash"), ("ZUVA_SIM_FAULTS", "--faults"),
               ("ZUVA_SIM_TRACE", "--trace"))

    silent_end_retries = 2

    def __init__(self, args, exe, wrapper, work_root):
        super().__init__(exe, wrapper, work_root)
        self.devsim = str(Path(args.devsim).resolve())
        self.prefix = work_root / "prefix"

    def environment(self, case):
        env = super().environment(case)
        for name in list(env):
            if name.startswith("ZUVA_SIM"):
                del env[name]
        env["ZUVA_WINE_DEVSIM_PREFIX"] = str(self.prefix)
        return env

    def command(self, case, program_name):
        options = []
        profiles = case.env["ZUVA_SIM"].split(";")
        if any(profile != "default" for profile in profiles):
            for profile in profiles:
                options += ["--profile", "" if profile == "default" else profile]
        for variable, option in self.OPTIONS:
            if case.env.get(variable):
                for entry in case.env[variable].split(";"):
                    options += [option, entry]
        return (["timeout", str(FIXTURE_TIMEOUT_SECONDS), self.devsim] + options
                + ["--", "wine", program_name] + case.args)

    def start(self):
        pass

    def finish(self):
        env = self.environment(e2e.Case("", "", 0, env={"ZUVA_SIM": "default"}))
        env["WINEPREFIX"] = str(self.prefix)
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False, timeout=60)


def add_arguments(parser):
    parser.add_argument("--devsim", required=True, help="the zuva-wine-devsim script")


CASES = [c for c in map(driver_case, upgrade_test.CASES) if c is not None]

if __name__ == "__main__":
    sys.exit(e2e.main(CASES, runner_class=DriverRunner, add_arguments=add_arguments))
