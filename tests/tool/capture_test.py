#!/usr/bin/env python3
"""The USB capture of both programs, read back by tshark: every DFU class request that the
virtual device's trace shows is in the capture, in the same order, with the same block numbers,
states, statuses and outcomes, and the DFU functional descriptor is decoded. Runs zuvatool and
ZUVA in process (directly, or through a wrapper: Wine) and, given zuva-devsim, on the emulated
USB bus.

  capture_test.py --zuvatool PATH --zuva PATH [--wrapper PROGRAM] [--devsim PATH] --work-dir DIR
"""
import argparse
import os
import random
import resource
import shutil
import signal
import subprocess
import sys

RUN_TIMEOUT = 120
CLASS_REQUESTS = ["DETACH", "DNLOAD", "UPLOAD", "GETSTATUS", "CLRSTATUS", "GETSTATE", "ABORT"]
# Linux errno values usbmon records for a transfer's end, as the trace names it.
OUTCOME_OF_STATUS = {0: "ok", -32: "stall", -19: "gone"}
PROFILE = """description = Virtual DFU Device
vendor = 0x0483
product = 0xDF11
device = 0x2200
dfu-version = 0x011A
attributes = 0x0B
detach-timeout = 255
transfer-size = 2048
timing = fast
alt = @Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg
alt = @Option Bytes  /0x1FFFC000/01*016 e
"""


def decode_as(devices=4):
    """tshark's Decode As of the first devices of bus 1 as DFU (Wireshark 4.0 needs it)."""
    argv = []
    for number in range(1, devices + 1):
        argv += ["-d", "usb.device==0x%08x,usbdfu" % (0x10000 | number)]
    return argv


def trace_requests(path):
    """The class requests of a trace: (name, wValue, outcome, status, state)."""
    requests = []
    for line in open(path).read().splitlines():
        fields = line.split()
        if len(fields) < 4 or fields[1] not in CLASS_REQUESTS:
            continue
        answer = line.split(" -> ", 1)[1].split()
        values = dict(word.split("=", 1) for word in answer[1:] if "=" in word)
        block = int(fields[2]) if fields[1] in ("DNLOAD", "UPLOAD") else None
        status, state = values.get("status"), values.get("state")
        requests.append((fields[1], block, answer[0], status and int(status),
                         state and int(state)))
    return requests


def capture_requests(capture, device=None):
    """The DFU class requests tshark finds in the capture (of one device number, if given),
    in the same form as the trace's: each submission paired with its completion by URB id."""
    fields = ["usb.urb_id", "usb.urb_type", "usbdfu.command", "usbdfu.block_number",
              "usbdfu.response", "usbdfu.status", "usbdfu.state", "usb.urb_status"]
    wanted = "(usbdfu.command || usbdfu.response)"
    if device is not None:
        wanted += " && usb.device_address == %d" % device
    argv = ["tshark", "-r", capture] + decode_as() + ["-Y", wanted, "-T", "fields",
                                                      "-E", "separator=|"]
    for field in fields:
        argv += ["-e", field]
    done = subprocess.run(argv, capture_output=True, timeout=RUN_TIMEOUT, text=True)
    if done.returncode != 0:
        raise AssertionError("tshark failed: " + done.stderr)
    submitted, requests = {}, []
    for line in done.stdout.splitlines():
        urb, kind, command, block, _, status, state, urb_status = line.split("|")
        if "S" in kind:
            submitted[urb] = (CLASS_REQUESTS[int(command)], block)
            continue
        name, block = submitted.pop(urb)
        outcome = OUTCOME_OF_STATUS.get(int(urb_status), urb_status)
        block = int(block) if name in ("DNLOAD", "UPLOAD") else None
        status = int(status, 0) if name == "GETSTATUS" and outcome == "ok" else None
        state = int(state, 0) if name in ("GETSTATUS", "GETSTATE") and outcome == "ok" else None
        requests.append((name, block, outcome, status, state))
    return requests


def descriptor_fields(capture):
    argv = ["tshark", "-r", capture, "-Y", "usbdfu.descriptor", "-T", "fields",
            "-e", "usbdfu.descriptor.wTransferSize", "-e", "usbdfu.descriptor.bcdDFUVersion",
            "-e", "usbdfu.descriptor.bmAttributes.CanUpload",
            "-e", "usbdfu.descriptor.bmAttributes.WillDetach"]
    done = subprocess.run(argv, capture_output=True, timeout=RUN_TIMEOUT, text=True)
    return done.stdout.splitlines()[:1]


class Run:
    def __init__(self, args):
        self.args = args
        self.failures = []

    def path(self, name):
        return os.path.join(self.args.work_dir, name)

    def check(self, name, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + name + ("" if condition else ": " + detail))
        if not condition:
            self.failures.append(name)

    def program(self, name, argv, profile=PROFILE, stdin=b"", devsim=False, capture_env=False,
                faults=None, image_size=9000, file_size_limit=None):
        """Runs argv in its own folder with a fresh flash, a trace and a capture; returns the
        process's outcome and the folder."""
        folder = self.path(name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        with open(os.path.join(folder, "device.profile"), "w") as f:
            f.write(profile)
        rng = random.Random(len(name))
        with open(os.path.join(folder, "fw.bin"), "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(image_size)))
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_")}
        if capture_env:
            env["ZUVA_CAPTURE"] = "capture.pcap"
        else:
            argv = argv + ["--capture", "capture.pcap"]
        if devsim:
            argv = [self.args.devsim, "--profile", "device.profile", "--flash", "flash.bin",
                    "--trace", "trace.txt", "--"] + argv
        else:
            env.update(ZUVA_SIM="device.profile", ZUVA_SIM_FLASH="flash.bin",
                       ZUVA_SIM_TRACE="trace.txt")
            if faults:
                env["ZUVA_SIM_FAULTS"] = faults
            if self.args.wrapper:
                argv = [self.args.wrapper] + argv

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        done = subprocess.run(argv, input=stdin, capture_output=True, timeout=RUN_TIMEOUT,
                              cwd=folder, env=env, preexec_fn=limit if file_size_limit else None)
        return done, folder

    def compare(self, name, argv, exit_code=0, **kwargs):
        done, folder = self.program(name, argv, **kwargs)
        self.check(name + ": exit %d" % exit_code, done.returncode == exit_code,
                   done.stderr.decode(errors="replace"))
        traced = trace_requests(os.path.join(folder, "trace.txt"))
        captured = capture_requests(os.path.join(folder, "capture.pcap"))
        first = next((i for i, (a, b) in enumerate(zip(traced, captured)) if a != b),
                     min(len(traced), len(captured)))
        self.check(name + ": the capture shows the trace's DFU requests",
                   traced == captured and len(traced) > 0,
                   "%d traced, %d captured, first difference at %d: %s / %s" %
                   (len(traced), len(captured), first, traced[first:first + 2],
                    captured[first:first + 2]))
        return folder


def test_each_program_captures_what_the_device_saw(run):
    tool, zuva = run.args.zuvatool, run.args.zuva
    app_mode = PROFILE + "mode = application\n"
    places = [("in-process", False)] + ([("bus", True)] if run.args.devsim else [])
    for place, devsim in places:
        folder = run.compare(place + " flash", [tool, "flash", "fw.bin"], devsim=devsim)
        run.check(place + " flash: the functional descriptor is decoded",
                  descriptor_fields(os.path.join(folder, "capture.pcap")) == ["2048\t0x011a\t1\t1"],
                  str(descriptor_fields(os.path.join(folder, "capture.pcap"))))
        run.compare(place + " read", [tool, "read", "out.bin", "--length", "10000"], devsim=devsim)
        run.compare(place + " detach", [tool, "detach"], profile=app_mode, devsim=devsim)
        run.compare(place + " upgrade", [zuva, "fw.bin"], stdin=b"n\n\n", devsim=devsim,
                    capture_env=True)
    # A stalled request and a device that vanishes end their transfers as usbmon says.
    run.compare("stall and unplug", [tool, "flash", "fw.bin"], faults="stall@40,unplug@60",
                exit_code=1)


def test_devices_of_one_run_share_the_file_each_under_its_own_number(run):
    if run.args.wrapper:
        return
    folder = run.path("all")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(os.path.join(folder, "device.profile"), "w") as f:
        f.write(PROFILE + "serial = auto\n")
    with open(os.path.join(folder, "fw.bin"), "wb") as f:
        f.write(bytes(range(256)) * 20)
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_")}
    env.update(ZUVA_SIM="device.profile:device.profile", ZUVA_SIM_FLASH="f1.bin:f2.bin",
               ZUVA_SIM_TRACE="t1.txt:t2.txt")
    done = subprocess.run([run.args.zuvatool, "flash", "fw.bin", "--all", "--capture",
                           "capture.pcap"], capture_output=True, timeout=RUN_TIMEOUT, cwd=folder,
                          env=env)
    run.check("all: exit 0", done.returncode == 0, done.stderr.decode(errors="replace"))
    capture = os.path.join(folder, "capture.pcap")
    traced = [trace_requests(os.path.join(folder, name)) for name in ("t1.txt", "t2.txt")]
    captured = [capture_requests(capture, device) for device in (1, 2)]
    # The devices run at once: which one the run spoke to first is not fixed.
    run.check("all: each device's requests under its own number",
              all(captured) and (captured == traced or captured == traced[::-1]),
              "%s captured, %s traced" % ([len(c) for c in captured], [len(t) for t in traced]))


def test_a_capture_that_cannot_be_written_changes_no_outcome(run):
    if run.args.wrapper:
        return
    # The flash file stays within its 512 KiB; the capture of a whole memory's write and
    # read-back outgrows the limit.
    done, folder = run.program("full disk", [run.args.zuvatool, "flash", "fw.bin"],
                               image_size=512 * 1024, file_size_limit=600 * 1024)
    err = done.stderr.decode(errors="replace")
    run.check("full disk: the flash succeeds", done.returncode == 0, err)
    run.check("full disk: said once", err.count("could not be written") == 1, err)
    with open(os.path.join(folder, "flash.bin"), "rb") as f, \
            open(os.path.join(folder, "fw.bin"), "rb") as g:
        run.check("full disk: the device holds the file", f.read() == g.read())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zuvatool", required=True)
    parser.add_argument("--zuva", required=True)
    parser.add_argument("--wrapper")
    parser.add_argument("--devsim")
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    if shutil.which("tshark") is None:
        print("tshark is needed (scripts/install-deps.sh)")
        return 1
    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)
    run = Run(args)
    for test in (test_each_program_captures_what_the_device_saw,
                 test_devices_of_one_run_share_the_file_each_under_its_own_number,
                 test_a_capture_that_cannot_be_written_changes_no_outcome):
        test(run)
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
