"""End-to-end harness: runs the built ZUVA executable as a process with
scripted standard input and compares its standard output byte for byte and
its exit code.

A suite is a script that builds a list of Case records and hands it to main().
Every case runs in a fresh working directory holding its own copy of the
executable, so that the default image's DfuSe file (written beside the
program) and every file a case makes stay apart. The same suite runs the
Linux executable directly and the Windows executable through a wrapper (Wine):
expected texts are written with "\n" line ends and turned into "\r\n" for
Windows, whose C runtime writes standard output in text mode.

Command line of a suite:
  SUITE --exe PATH [--wrapper PROGRAM] [--work-dir DIR] [-k SUBSTRING]...
A suite is registered with CTest by zuva_add_e2e(<test name> <script>) in
tests/CMakeLists.txt, which runs it on Linux and, in the Windows build, under
Wine.
"""

import argparse
import dataclasses
import os
import shutil
import struct
import subprocess
import sys
import traceback
import zlib
from pathlib import Path
from typing import Callable, Dict, List, Optional, Union

SOURCE_DIR = Path(__file__).resolve().parents[2]
DEFAULT_IMAGE = SOURCE_DIR / "resources" / "default_image.bin"

# How long one run may take before it counts as hung.
RUN_TIMEOUT_SECONDS = 120


@dataclasses.dataclass
class Context:
    """What a case's callables see of the run."""

    platform: str        # "linux" or "windows"
    work_dir: Path       # the case's working directory (the program's too)
    program_name: str    # the executable's file name in work_dir
    exe: Path            # the executable under test, as built
    # Objects a setup keeps alive for the run (an open, locked file); each is
    # closed after the run.
    held: List[object] = dataclasses.field(default_factory=list)

    @property
    def windows(self) -> bool:
        return self.platform == "windows"

    def path(self, name: str) -> Path:
        return self.work_dir / name

    def error_number(self, linux: int, windows: int) -> int:
        """The operating system's error number for one failure."""
        return windows if self.windows else linux


Text = Union[str, Callable[[Context], str]]


@dataclasses.dataclass
class Case:
    name: str
    expected_stdout: Text            # "\n" line ends, on every platform
    expected_exit_code: int
    args: List[str] = dataclasses.field(default_factory=list)
    stdin: bytes = b""
    # The variables, or a callable that gives them for the platform.
    env: Union[Dict[str, str], Callable[[str], Dict[str, str]]] = dataclasses.field(
        default_factory=dict)
    # Makes the files the case needs in the working directory.
    setup: Optional[Callable[[Context], None]] = None
    # Checks the files after the run; raises AssertionError on a fault.
    check: Optional[Callable[[Context], None]] = None
    # Applied to the actual output (after "\r\n" became "\n") before the
    # comparison, e.g. to collapse in-place progress updates whose number
    # depends on timing.
    normalize: Optional[Callable[[str], str]] = None
    timeout: float = RUN_TIMEOUT_SECONDS
    # The file name under which the executable is copied and run, when not
    # its own (ZUVA or ZUVA.exe); a callable gets the platform.
    program_name: Optional[Callable[[str], str]] = None
    # The platforms the case applies to.
    platforms: tuple = ("linux", "windows")


# ---------------------------------------------------------------------------
# Files the program writes

FLASH_WINDOW_ADDRESS = 0x08000000
FLASH_WINDOW_SIZE = 0x80000
DFUSE_WINDOW_FILE_SIZE = 524597


def dfuse_crc(data: bytes) -> int:
    """The DfuSe suffix checksum: CRC-32 without its final complement."""
    return ~zlib.crc32(data) & 0xFFFFFFFF


def expected_window_dfuse(raw: bytes) -> bytes:
    """The DfuSe file that a raw image of at most 512 KiB converts into:
    one target "Internal Flash" for alternate setting 0 with one element,
    the 512 KiB flash window at 0x08000000, 0xFF after the raw bytes."""
    assert len(raw) <= FLASH_WINDOW_SIZE
    window = raw + b"\xff" * (FLASH_WINDOW_SIZE - len(raw))
    element = struct.pack("<II", FLASH_WINDOW_ADDRESS, FLASH_WINDOW_SIZE) + window
    name = b"Internal Flash".ljust(255, b"\0")
    target = b"Target" + struct.pack("<BI", 0, 1) + name + struct.pack("<II", len(element), 1)
    image_size = 11 + len(target) + len(element)
    body = b"DfuSe" + struct.pack("<BIB", 1, image_size, 1) + target + element
    suffix = struct.pack("<HHHH", 0x2200, 0xDF11, 0x0483, 0x011A) + b"UFD" + bytes([16])
    whole = body + suffix
    return whole + struct.pack("<I", dfuse_crc(whole))


def check_window_dfuse(path: Path, raw: bytes) -> None:
    """The file at `path` is the conversion of `raw`, byte for byte. The main
    facts are checked one by one first so that a failure names the fault."""
    assert path.is_file(), "no DfuSe file at %s" % path
    data = path.read_bytes()
    assert len(data) == DFUSE_WINDOW_FILE_SIZE, "DfuSe file is %d bytes" % len(data)
    assert data[10] == 1, "target count %d" % data[10]
    address, size = struct.unpack_from("<II", data, 11 + 274)
    assert (address, size) == (FLASH_WINDOW_ADDRESS, FLASH_WINDOW_SIZE), \
        "element at 0x%08X of %d bytes" % (address, size)
    window = data[293:293 + FLASH_WINDOW_SIZE]
    assert window[:len(raw)] == raw, "element does not start with the raw image"
    assert window[len(raw):].count(0xFF) == FLASH_WINDOW_SIZE - len(raw), "fill is not 0xFF"
    expected = expected_window_dfuse(raw)
    if data != expected:
        first = next(i for i in range(len(data)) if data[i] != expected[i])
        raise AssertionError("DfuSe file differs from the reference at offset %d" % first)


# ---------------------------------------------------------------------------
# Running


class Runner:
    def __init__(self, exe: Path, wrapper: Optional[str], work_root: Path):
        self.exe = exe
        self.wrapper = wrapper
        self.work_root = work_root
        self.platform = "windows" if exe.suffix.lower() == ".exe" else "linux"

    def environment(self, case: Case) -> Dict[str, str]:
        # The program's behaviour must not depend on the caller's settings.
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_SIM")}
        if self.wrapper:
            env.setdefault("ZUVA_WINEPREFIX", str(self.work_root / "wineprefix"))
            env["WINEDEBUG"] = "-all"
            env.pop("DISPLAY", None)
        # A case's variables may depend on the platform (a list separator).
        env.update(case.env(self.platform) if callable(case.env) else case.env)
        return env

    def prepare(self, ctx: "Context") -> None:
        """Puts what a runner's every program needs beside it in its folder,
        before the case's own setup."""

    def command(self, case: Case, program_name: str) -> List[str]:
        """The command line that runs the program of a case in its directory."""
        program = program_name if self.wrapper else "./" + program_name
        return ([self.wrapper] if self.wrapper else []) + [program] + case.args

    # Extra starts of a case whose run ended in failure without a byte on
    # either stream. Every program run here prints before it does anything
    # else, and a fixture reports its own failures, so such an end means the
    # program never ran (Wine's loader can rarely die that way). A runner that
    # starts Wine itself, rather than through the wrapper (which retries on
    # its own), sets this.
    silent_end_retries = 0

    def run(self, case: Case) -> List[str]:
        """Runs one case; returns its faults (empty when it passed)."""
        attempt = 0
        while True:
            ctx, done = self._start(case)
            if done is None:
                return ["no exit within %d s" % case.timeout]
            silent = done.returncode != 0 and not done.stdout and not done.stderr
            if not silent or attempt >= self.silent_end_retries:
                break
            attempt += 1
            print("%s: ended with exit code %d and no output; starting it again"
                  % (case.name, done.returncode), flush=True)
        return self._faults(case, ctx, done)

    def _start(self, case: Case):
        """Runs a case's program in a fresh directory; returns the context and
        the finished process, or None for it when it did not end in time."""
        work_dir = self.work_root / "cases" / case.name
        shutil.rmtree(work_dir, ignore_errors=True)
        work_dir.mkdir(parents=True)
        name = case.program_name(self.platform) if case.program_name else self.exe.name
        shutil.copy2(self.exe, work_dir / name)
        ctx = Context(self.platform, work_dir, name, self.exe)
        self.prepare(ctx)
        if case.setup:
            case.setup(ctx)

        command = self.command(case, name)
        try:
            done = subprocess.run(command, cwd=work_dir, input=case.stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=self.environment(case),
                                  timeout=case.timeout)
        except subprocess.TimeoutExpired:
            return ctx, None
        finally:
            for held in ctx.held:
                held.close()
        return ctx, done

    def _faults(self, case: Case, ctx: "Context", done) -> List[str]:
        faults = []
        expected = case.expected_stdout(ctx) if callable(case.expected_stdout) \
            else case.expected_stdout
        actual = done.stdout
        if ctx.windows:
            expected_bytes = expected.replace("\n", "\r\n").encode("latin-1")
        else:
            expected_bytes = expected.encode("latin-1")
        if case.normalize:
            text = actual.decode("latin-1")
            if ctx.windows:
                text = text.replace("\r\n", "\n")
            text = case.normalize(text)
            actual = (text.replace("\n", "\r\n") if ctx.windows else text).encode("latin-1")
        if actual != expected_bytes:
            faults.append("standard output differs\n  expected: %r\n  actual:   %r"
                          % (expected_bytes, actual))
        if done.returncode != case.expected_exit_code:
            faults.append("exit code %d, expected %d" % (done.returncode, case.expected_exit_code))
        if case.check:
            try:
                case.check(ctx)
            except AssertionError as failure:
                faults.append("file check: %s" % (failure or traceback.format_exc()))
        if faults and done.stderr:
            faults.append("standard error: %r" % done.stderr[-2000:])
        return faults

    def _wineserver(self, option: str) -> None:
        env = self.environment(Case("", "", 0))
        env["WINEPREFIX"] = env["ZUVA_WINEPREFIX"]
        subprocess.run(["wineserver", option], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    def start(self) -> None:
        """Under Wine: makes the prefix ready with one run of the program
        (the wrapper creates it on first use), then keeps Wine's server up
        between the cases, which saves its start-up on every run."""
        if self.wrapper:
            work_dir = self.work_root / "cases"
            work_dir.mkdir(parents=True, exist_ok=True)
            subprocess.run([self.wrapper, str(self.exe), "/?"], cwd=work_dir,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=self.environment(Case("", "", 0)),
                           timeout=RUN_TIMEOUT_SECONDS, check=False)
            self._wineserver("-p")

    def finish(self) -> None:
        if self.wrapper:
            self._wineserver("-k")


def main(cases: List[Case], argv: Optional[List[str]] = None, runner_class=None,
         add_arguments: Optional[Callable] = None) -> int:
    """Runs the cases. A suite may run them its own way with a subclass of
    Runner, built as runner_class(args, exe, wrapper, work_root), and add
    command-line options of its own with add_arguments(parser)."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, type=Path, help="the ZUVA executable to run")
    parser.add_argument("--wrapper", help="program that runs the executable (Wine)")
    parser.add_argument("--work-dir", type=Path, help="where the cases' directories go")
    parser.add_argument("-k", dest="filters", action="append", default=[],
                        help="run only cases whose name contains this text")
    if add_arguments:
        add_arguments(parser)
    args = parser.parse_args(argv)

    names = [case.name for case in cases]
    assert len(set(names)) == len(names), "case names must be unique"
    work_root = (args.work_dir or Path.cwd() / ("e2e-" + Path(sys.argv[0]).stem)).resolve()
    if runner_class:
        runner = runner_class(args, args.exe.resolve(), args.wrapper, work_root)
    else:
        runner = Runner(args.exe.resolve(), args.wrapper, work_root)
    selected = [c for c in cases if runner.platform in c.platforms
                and (not args.filters or any(f in c.name for f in args.filters))]

    failed = 0
    try:
        runner.start()
        for case in selected:
            faults = runner.run(case)
            print("%s %s" % ("ok  " if not faults else "FAIL", case.name), flush=True)
            for fault in faults:
                print("     " + fault.replace("\n", "\n     "), flush=True)
            failed += bool(faults)
    finally:
        runner.finish()
    print("%d of %d cases passed on %s" % (len(selected) - failed, len(selected), runner.platform))
    return 1 if failed or not selected else 0
