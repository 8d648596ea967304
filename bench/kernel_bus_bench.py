#!/usr/bin/env python3
"""zuvatool and dfu-util on the real Linux USB stack (a QEMU guest with
dummy_hcd and Raw Gadget, scripts/kernel-bus.sh), `real` timing, a 512 KiB
image, one guest boot with 16 buses; prints each run's wall time and:

  - zuvatool flash (erase, download, verify) against dfu-util's download
    followed by an upload of the same range (dfu-util has no verify);
  - sixteen devices with --all against one: wall time, the client's largest
    resident set and its CPU time;
  - what a control request costs in the guest: a 512 KiB read with `fast`
    timing, its wall time over the requests its trace counts (the guest's CPU
    is emulated, TCG, unless the host's KVM can run it).

usage: kernel_bus_bench.py --kernel-bus PATH --build DIR [--work-dir DIR]
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys

IMAGE_SIZE = 512 * 1024
DEVICES = 16

GUEST_SCRIPT = r"""
set -u
udcs=""
for i in $(seq 0 %(last)d); do udcs="$udcs --udc dummy_udc.$i"; done
zuva-gadget --profile real.profile -- sh -c '
  time -v -o flash.time zuvatool flash image.bin --address 0x08000000 --no-leave >/dev/null
  time -v -o download.time dfu-util -a 0 -s 0x08000000 -D image.bin >/dev/null
  time -v -o upload.time dfu-util -a 0 -s 0x08000000:%(size)d -U upload.bin >/dev/null'
zuva-gadget --profile real.profile -- \
  time -v -o one.time zuvatool flash image.bin --address 0x08000000 --no-leave --all >/dev/null
zuva-gadget --profile auto.profile $udcs -- \
  time -v -o all.time zuvatool flash image.bin --address 0x08000000 --no-leave --all >/dev/null
zuva-gadget --trace read_trace.txt -- \
  time -v -o read.time zuvatool read read.bin --address 0x08000000 --length %(size)d >/dev/null
"""


def parse_time(path):
    """Wall seconds, CPU seconds and the largest resident set (KiB) from
    busybox's `time -v`."""
    text = open(path).read()
    wall = re.search(r"Elapsed \(wall clock\) time \(.*?\): (?:(\d+)h )?(\d+)m ([\d.]+)s", text)
    hours, minutes, seconds = wall.groups()
    elapsed = int(hours or 0) * 3600 + int(minutes) * 60 + float(seconds)
    user = float(re.search(r"User time \(seconds\): ([\d.]+)", text).group(1))
    system = float(re.search(r"System time \(seconds\): ([\d.]+)", text).group(1))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return elapsed, user + system, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel-bus", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work-dir", default="kernel_bus_bench")
    args = parser.parse_args()
    work = os.path.abspath(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    rng = random.Random(1)
    with open(os.path.join(work, "image.bin"), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(IMAGE_SIZE)))
    profile = "description = Virtual DFU Device\ntiming = real\n"
    for name, text in (("real.profile", profile), ("auto.profile", profile + "serial = auto\n")):
        with open(os.path.join(work, name), "w") as f:
            f.write(text)
    with open(os.path.join(work, "guest.sh"), "w") as f:
        f.write(GUEST_SCRIPT % {"last": DEVICES - 1, "size": IMAGE_SIZE})
    done = subprocess.run([args.kernel_bus, "--build", args.build, "--buses", str(DEVICES),
                           "--share", work, "--", "sh", "guest.sh"], capture_output=True)
    if done.returncode != 0:
        sys.stdout.write(done.stdout.decode(errors="replace") + done.stderr.decode(errors="replace"))
        print("the guest run failed (exit %d)" % done.returncode)
        return 1
    t = {name: parse_time(os.path.join(work, name + ".time"))
         for name in ("flash", "download", "upload", "one", "all", "read")}
    flash, dfu_util = t["flash"][0], t["download"][0] + t["upload"][0]
    print("zuvatool flash 512 KiB (erase, download, verify): %.2f s" % flash)
    print("dfu-util download + upload 512 KiB: %.2f s + %.2f s = %.2f s" %
          (t["download"][0], t["upload"][0], dfu_util))
    print("  ratio flash / (download + upload): %.2f" % (flash / dfu_util))
    for name, count in (("one", 1), ("all", DEVICES)):
        wall, cpu, rss = t[name]
        print("flash --all on %2d device(s): %.2f s wall, %.2f s CPU, %d KiB resident" %
              (count, wall, cpu, rss))
    print("  ratio 16 / 1: wall %.2f, CPU %.2f, resident %.2f" %
          (t["all"][0] / t["one"][0], t["all"][1] / t["one"][1], t["all"][2] / t["one"][2]))
    requests = len(open(os.path.join(work, "read_trace.txt")).read().splitlines())
    print("read 512 KiB, fast timing: %.2f s over %d requests (enumeration included): "
          "%.2f ms a request" % (t["read"][0], requests, 1000 * t["read"][0] / requests))
    return 0


if __name__ == "__main__":
    sys.exit(main())
