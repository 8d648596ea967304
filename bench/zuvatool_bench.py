#!/usr/bin/env python3
"""zuvatool's options for production and speed on the emulated USB bus,
`real` timing, a 512 KiB image; prints each run's wall time and the ratio
that each target of the options names:

  - flash against dfu-util's download followed by an upload of the same range
    (dfu-util has no verify; its upload stands for one);
  - a re-flash of the same image with --changed-only against a plain one, and
    the same with one sector changed;
  - a device that announces 100 ms for every busy answer while a block takes
    8 ms to program, with and without --fast-poll, against what its flash
    needs plus what the bus costs: measured as a plain flash of a device that
    announces the time that really remains, and by the device's cost model
    over the plain run's requests (which leaves out the emulated bus's own
    cost);
  - four devices with --all against four runs one after the other (skipped
    while flash does not take --all);
  - sixteen devices with --all against one: wall time, the client's largest
    resident set, and the CPU time of the client against that of the whole
    run (the emulated bus's processes included), which shows whose work
    bounds the run on a machine of few cores.

usage: zuvatool_bench.py --devsim PATH --zuvatool PATH [--work-dir DIR]
                         [-k NAME ...]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devsim_bench import IMAGE_SIZE, PROFILE, run_on_bus  # noqa: E402

FLASH_BASE = 0x08000000
# The default map's flash: 4 sectors of 16 KiB, 1 of 64 KiB, 3 of 128 KiB.
SECTOR_KIB = [16, 16, 16, 16, 64, 128, 128, 128]
ERASE_US_PER_KIB = 7813
PROGRAM_US_PER_KIB = 4000
INFLATED = PROFILE + "poll-timeout = 100\nprogram-us-per-kib = %d\n" % PROGRAM_US_PER_KIB
DEVICES = 4
MANY_DEVICES = 16
# The bus costs of the virtual device: 0.5 ms a request, 1 ms per KiB of data.
REQUEST_MS = 0.5
MS_PER_KIB = 1.0


def bus_ms(traces):
    """The bus time of the requests in the traces, by the device's cost model."""
    total = 0.0
    for trace in traces:
        for line in open(trace):
            head = line.split(" -> ")[0].split()
            length = int(head[-1]) if len(head) > 2 and head[-1].isdigit() else 0
            total += REQUEST_MS + MS_PER_KIB * length / 1024.0
    return total


def flash_needs_ms():
    """Erase of every sector and programming of every byte."""
    erase = sum(kib * ERASE_US_PER_KIB // 1000 for kib in SECTOR_KIB)
    return erase + IMAGE_SIZE // 1024 * PROGRAM_US_PER_KIB / 1000.0


def takes_all(zuvatool, workdir):
    """Whether flash accepts --all (a usage error exits 2)."""
    env = dict(os.environ)
    env.pop("ZUVA_SIM", None)
    done = subprocess.run([zuvatool, "flash", "fw.bin", "--all"], cwd=workdir, env=env,
                          capture_output=True)
    return done.returncode != 2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--zuvatool", required=True)
    parser.add_argument("--work-dir")
    parser.add_argument("-k", action="append", default=[],
                        help="only the groups whose name holds this: dfu-util, changed, poll, all, "
                             "sixteen")
    args = parser.parse_args()
    workdir = args.work_dir or tempfile.mkdtemp(prefix="zuvatool_bench_")
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    load_before = " ".join("%.2f" % v for v in os.getloadavg())
    rng = random.Random(512)
    image = bytes(rng.getrandbits(8) for _ in range(IMAGE_SIZE))
    # One byte changed in the second 16 KiB sector.
    changed = bytearray(image)
    changed[0x4000 + 100] ^= 0xFF
    changed = bytes(changed)
    files = {"fw.bin": image, "fw-changed.bin": changed}
    for name, data in files.items():
        with open(os.path.join(workdir, name), "wb") as f:
            f.write(data)
    profiles = {"real.profile": PROFILE, "inflated.profile": INFLATED,
                "several.profile": PROFILE + "serial = auto\n"}
    for name, text in profiles.items():
        with open(os.path.join(workdir, name), "w") as f:
            f.write(text)

    def wanted(group):
        return not args.k or any(k in group for k in args.k)

    def tool(name, argv, profile="real.profile", before=None, devices=1, expect=image):
        if before is not None:
            with open(os.path.join(workdir, name + ".flash"), "wb") as f:
                f.write(before)
        row = run_on_bus(args.devsim, workdir, name,
                         "'%s' %s > %s.out" % (args.zuvatool, argv, name), profile, devices)
        for i, flash in enumerate(row["flashes"]):
            if flash != expect:
                raise SystemExit("%s: device %d holds something else than the image" % (name, i + 1))
        return row

    results = []  # (comparison, run, its wall, reference, reference wall, target)

    if wanted("dfu-util"):
        plain = tool("flash", "flash fw.bin")
        peer = run_on_bus(args.devsim, workdir, "dfu-util",
                          "dfu-util -a 0 -s 0x08000000 -D fw.bin > /dev/null 2>&1 && "
                          "dfu-util -a 0 -s 0x08000000:%d -U back.bin > /dev/null 2>&1 && "
                          "cmp -s fw.bin back.bin" % IMAGE_SIZE)
        results.append(("flash vs dfu-util -D, -U", "flash", plain["client_wall"],
                        "dfu-util", peer["client_wall"], "< 1.0"))

    if wanted("changed"):
        again = tool("reflash", "flash fw.bin", before=image)
        skipped = tool("reflash-changed-only", "flash fw.bin --changed-only", before=image)
        results.append(("re-flash, same image", "--changed-only", skipped["client_wall"],
                        "plain", again["client_wall"], "<= 0.15"))
        one = tool("one-sector", "flash fw-changed.bin", before=image, expect=changed)
        one_skipped = tool("one-sector-changed-only", "flash fw-changed.bin --changed-only",
                           before=image, expect=changed)
        results.append(("re-flash, one 16 KiB sector changed", "--changed-only",
                        one_skipped["client_wall"], "plain", one["client_wall"], "-"))

    if wanted("poll"):
        slow = tool("inflated", "flash fw.bin", profile="inflated.profile")
        fast = tool("inflated-fast-poll", "flash fw.bin --fast-poll", profile="inflated.profile")
        # What the flash needs plus what the bus really costs: the same
        # flash of a device that announces the time that really remains.
        honest = tool("true-announcement", "flash fw.bin")
        needed = (flash_needs_ms() + bus_ms(slow["traces"])) / 1000.0
        results.append(("100 ms announced, 8 ms a block", "--fast-poll", fast["client_wall"],
                        "true announcement", honest["client_wall"], "<= 1.1"))
        results.append(("100 ms announced, 8 ms a block", "--fast-poll", fast["client_wall"],
                        "flash + bus model", needed, "-"))
        results.append(("100 ms announced, 8 ms a block", "plain", slow["client_wall"],
                        "true announcement", honest["client_wall"], "-"))

    if wanted("all"):
        if not takes_all(args.zuvatool, workdir):
            print("four devices: skipped, flash does not take --all")
        else:
            one = tool("one-of-four", "flash fw.bin", profile="several.profile")
            sequence = " && ".join("'%s' flash fw.bin --serial SIM%04d" % (args.zuvatool, i + 1)
                                   for i in range(DEVICES))
            serial = run_on_bus(args.devsim, workdir, "four-in-sequence",
                                "(%s) > four-in-sequence.out" % sequence, "several.profile", DEVICES)
            for i, flash in enumerate(serial["flashes"]):
                if flash != image:
                    raise SystemExit("four-in-sequence: device %d differs" % (i + 1))
            together = tool("four-all", "flash fw.bin --all", profile="several.profile",
                            devices=DEVICES)
            results.append(("four devices", "--all", together["client_wall"],
                            "one device", one["client_wall"], "<= 1.3"))
            results.append(("four devices", "in sequence", serial["client_wall"],
                            "one device", one["client_wall"], "-"))

    many = []  # (run, its row), for the table of the sixteen devices
    if wanted("sixteen"):
        single = tool("one-of-sixteen", "flash fw.bin --all", profile="several.profile")
        sixteen = tool("sixteen-all", "flash fw.bin --all", profile="several.profile",
                       devices=MANY_DEVICES)
        many = [("1 device, --all", single), ("%d devices, --all" % MANY_DEVICES, sixteen)]
        results.append(("%d devices" % MANY_DEVICES, "--all", sixteen["client_wall"],
                        "one device", single["client_wall"], "<= 1.3"))
        results.append(("%d devices, resident memory" % MANY_DEVICES, "--all",
                        sixteen["client_rss_kib"] / 1024.0, "one device",
                        single["client_rss_kib"] / 1024.0, "<= 2.0"))

    print("512 KiB image, real timing, emulated USB bus; wall times of the client in seconds")
    print("%-38s %-15s %8s %-17s %8s %7s %7s" % ("comparison", "run", "wall", "reference", "wall",
                                                 "ratio", "target"))
    for comparison, run, wall, reference, reference_wall, target in results:
        print("%-38s %-15s %8.2f %-17s %8.2f %7.3f %7s" % (comparison, run, wall, reference,
                                                           reference_wall, wall / reference_wall,
                                                           target))
    if many:
        print("(the resident memory row is in MiB, not seconds)")
        print("\n%d CPU cores; load average before the runs: %s" % (os.cpu_count(), load_before))
        print("%-20s %8s %12s %12s %12s %10s" % ("run", "wall s", "client CPU s", "total CPU s",
                                                 "client share", "client MiB"))
        for run, row in many:
            print("%-20s %8.2f %12.2f %12.2f %11.0f%% %10.1f" % (
                run, row["client_wall"], row["client_cpu"], row["total_cpu"],
                100.0 * row["client_cpu"] / max(row["total_cpu"], 1e-9),
                row["client_rss_kib"] / 1024.0))
        # Whose work bounds the run: with every core busy, the bus's
        # processes alone take their CPU time over the cores; the client's
        # CPU time also holds the emulated bus's own half in the client (its
        # preload forwards every usbfs request to the bus process).
        sixteen = many[-1][1]
        bus_cpu = sixteen["total_cpu"] - sixteen["client_cpu"]
        cores = os.cpu_count() or 1
        print("%d devices: the bus's processes alone need %.2f s of all %d cores, all of the run "
              "%.2f s; 1.3x one device allows %.2f s" % (
                  MANY_DEVICES, bus_cpu / cores, cores, sixteen["total_cpu"] / cores,
                  1.3 * many[0][1]["client_wall"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
