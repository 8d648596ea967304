#!/usr/bin/env python3
"""Benchmark on the emulated USB bus with `real` timing and a 512 KiB image:
ZUVA's whole upgrade (erase, download, verify, leave) and, when given,
zuvatool's flash of the same image (the same four steps) against dfu-util's
download of the same image followed by an upload of the same range (its
verify); each client's wall time is also given as a ratio to dfu-util's. Reports wall time, CPU time of the client and of the whole run (bus
included), and the count of DFU class and standard requests from the trace.

With --plain the device is a plain DFU device (no DfuSe, which ZUVA refuses):
zuvatool's flash without verify (download and manifestation) against
dfu-util's download alone, and zuvatool's flash with its read-back against
dfu-util's download followed by an upload.

usage: devsim_bench.py --devsim PATH --zuva PATH [--zuvatool PATH] [--plain] [--work-dir DIR]
"""
import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 512 * 1024
CLASS_REQUESTS = {"DETACH", "DNLOAD", "UPLOAD", "GETSTATUS", "CLRSTATUS", "GETSTATE", "ABORT"}
PROFILE = "description = Virtual DFU Device\ntiming = real\n"
PLAIN_PROFILE = ("description = Plain Board\ntiming = real\ndfu-version = 0x0110\n"
                 "attributes = 0x07\nmemory-size = %d\nalt = Application\n" % IMAGE_SIZE)


def run_on_bus(devsim, workdir, name, shell_command, profile="real.profile", devices=1):
    """Runs shell_command with `devices` virtual devices of `profile` on the
    bus; the first device's flash file is <name>.flash (which may be prepared
    beforehand), the others' <name>.<i>.flash."""
    def per_device(suffix):
        return [os.path.join(workdir, name + ("" if i == 0 else ".%d" % i) + suffix)
                for i in range(devices)]
    traces = per_device(".trace")
    flashes = per_device(".flash")
    timing = os.path.join(workdir, name + ".time")
    # /usr/bin/time measures the client alone; the children's rusage covers
    # the bus process too.
    command = [devsim, "--profile", os.path.join(workdir, profile)]
    for flash, trace in zip(flashes, traces):
        command += ["--flash", flash, "--trace", trace]
    command += ["--", "/usr/bin/time", "-o", timing, "-f", "%e %U %S %M", "sh", "-c", shell_command]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    result = subprocess.run(command, input=b"n\n", cwd=workdir, capture_output=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode(errors="replace")[-2000:])
        sys.stderr.write(result.stderr.decode(errors="replace")[-2000:])
        raise SystemExit("%s failed with exit code %d" % (name, result.returncode))
    # %M: the largest resident set among the shell and what it waited for.
    client_wall, client_user, client_sys, client_rss = \
        (float(v) for v in open(timing).read().split()[-4:])
    counts = {"class": 0, "standard": 0}
    for trace in traces:
        for line in open(trace):
            fields = line.split()
            counts["class" if fields[1] in CLASS_REQUESTS else "standard"] += 1
    return {
        "name": name,
        "wall": wall,
        "client_wall": client_wall,
        "client_cpu": client_user + client_sys,
        "client_rss_kib": int(client_rss),
        "total_cpu": (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime),
        "class": counts["class"],
        "standard": counts["standard"],
        "flash": open(flashes[0], "rb").read()[:IMAGE_SIZE],
        "flashes": [open(flash, "rb").read()[:IMAGE_SIZE] for flash in flashes],
        "traces": traces,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--zuva", required=True)
    parser.add_argument("--zuvatool")
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--work-dir")
    args = parser.parse_args()
    workdir = args.work_dir or tempfile.mkdtemp(prefix="devsim_bench_")
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    rng = random.Random(512)
    image = bytes(rng.getrandbits(8) for _ in range(IMAGE_SIZE))
    with open(os.path.join(workdir, "fw.bin"), "wb") as f:
        f.write(image)
    with open(os.path.join(workdir, "real.profile"), "w") as f:
        f.write(PLAIN_PROFILE if args.plain else PROFILE)

    if args.plain:
        return plain_rows(args, workdir, image)
    rows = [run_on_bus(args.devsim, workdir, "zuva", "'%s' fw.bin > zuva.out" % args.zuva)]
    if args.zuvatool:
        rows.append(run_on_bus(args.devsim, workdir, "zuvatool",
                               "'%s' flash fw.bin > zuvatool.out" % args.zuvatool))
    rows += [
        run_on_bus(args.devsim, workdir, "dfu-util",
                   "dfu-util -a 0 -s 0x08000000 -D fw.bin > /dev/null 2>&1 && "
                   "dfu-util -a 0 -s 0x08000000:%d -U back.bin > /dev/null 2>&1 && "
                   "cmp -s fw.bin back.bin" % IMAGE_SIZE),
    ]
    report("512 KiB image, real timing, emulated USB bus", rows, image)
    return 0


def report(title, rows, image):
    """Prints the rows, each against the last one (dfu-util's)."""
    print(title)
    print("%-18s %9s %11s %11s %10s %7s %8s %9s" % ("client", "wall s", "client s", "client CPU",
                                                    "total CPU", "class", "standard", "/dfu-util"))
    reference = rows[-1]["client_wall"]
    for row in rows:
        print("%-18s %9.2f %11.2f %11.2f %10.2f %7d %8d %9.2f" % (
            row["name"], row["wall"], row["client_wall"], row["client_cpu"], row["total_cpu"],
            row["class"], row["standard"], row["client_wall"] / reference))
        if row["flash"] != image:
            raise SystemExit("%s left a flash that differs from the image" % row["name"])


def plain_rows(args, workdir, image):
    if not args.zuvatool:
        raise SystemExit("--plain needs --zuvatool")
    report("512 KiB image, plain DFU device, real timing, emulated USB bus: download", [
        run_on_bus(args.devsim, workdir, "zuvatool --no-verify",
                   "'%s' flash fw.bin --no-verify > zuvatool.out" % args.zuvatool),
        run_on_bus(args.devsim, workdir, "dfu-util -D", "dfu-util -a 0 -D fw.bin > /dev/null 2>&1"),
    ], image)
    report("the same with a read-back", [
        run_on_bus(args.devsim, workdir, "zuvatool",
                   "'%s' flash fw.bin > zuvatool.out" % args.zuvatool),
        run_on_bus(args.devsim, workdir, "dfu-util -D -U",
                   "dfu-util -a 0 -D fw.bin > /dev/null 2>&1 && "
                   "dfu-util -a 0 -U back.bin > /dev/null 2>&1 && cmp -s fw.bin back.bin"),
    ], image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
