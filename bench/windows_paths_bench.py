#!/usr/bin/env python3
"""Benchmark of ZUVA.exe under Wine with `real` timing and a 512 KiB image,
through each way a Windows program reaches the device: the in-process virtual
device (`sim:`), the legacy kernel driver and a WinUSB-bound device (both
through zuva-wine-devsim; WinUSB with our stand-in winusb.dll, which
zuva-wine-devsim puts into the prefix's System32). Reports the
wall time of ZUVA.exe alone (Wine's session already running) and its ratio to
the `sim:` path, and checks that each flash holds the image.

usage: windows_paths_bench.py --zuva ZUVA.exe --devsim zuva-wine-devsim
                              [--work-dir DIR]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

IMAGE_SIZE = 512 * 1024
PROFILE = "description = Virtual DFU Device\ntiming = real\n"


def run(args, workdir, name, prefix):
    folder = os.path.join(workdir, name)
    os.makedirs(folder)
    shutil.copy2(args.zuva, os.path.join(folder, "ZUVA.exe"))
    shutil.copy2(os.path.join(workdir, "fw.bin"), folder)
    shutil.copy2(os.path.join(workdir, "real.profile"), folder)
    flash = os.path.join(folder, "flash.bin")
    timing = os.path.join(folder, "time.txt")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_SIM")}
    env.update({"WINEDEBUG": "-all", "WINEPREFIX": prefix, "ZUVA_WINE_DEVSIM_PREFIX": prefix})
    env.pop("DISPLAY", None)
    client = ["/usr/bin/time", "-o", timing, "-f", "%e", "wine", "ZUVA.exe", "fw.bin"]
    profile = os.path.join(folder, "real.profile")
    if name == "sim":
        env.update({"ZUVA_SIM": "real.profile", "ZUVA_SIM_FLASH": "flash.bin"})
        command = client
    else:
        command = [args.devsim, "--profile", profile, "--flash", flash]
        if name == "winusb":
            command.append("--winusb")
        command += ["--"] + client
    done = subprocess.run(command, input=b"\n", cwd=folder, env=env, capture_output=True)
    output = done.stdout.decode(errors="replace")
    if done.returncode != 0 or "Leaving DFU mode..." not in output:
        sys.stderr.write(output[-2000:] + done.stderr.decode(errors="replace")[-2000:])
        raise SystemExit("%s failed with exit code %d" % (name, done.returncode))
    image = open(os.path.join(workdir, "fw.bin"), "rb").read()
    if open(flash, "rb").read()[:IMAGE_SIZE] != image:
        raise SystemExit("%s left a flash that differs from the image" % name)
    return float(open(timing).read().split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zuva", required=True)
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--work-dir")
    args = parser.parse_args()
    workdir = os.path.abspath(args.work_dir or tempfile.mkdtemp(prefix="windows_paths_bench_"))
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    rng = random.Random(512)
    with open(os.path.join(workdir, "fw.bin"), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(IMAGE_SIZE)))
    with open(os.path.join(workdir, "real.profile"), "w") as f:
        f.write(PROFILE)
    # One prefix, prepared by the fixture, with its server kept running, so
    # that no run pays for the start of Wine's session.
    prefix = os.path.join(workdir, "prefix")
    env = dict(os.environ, ZUVA_WINE_DEVSIM_PREFIX=prefix, WINEDEBUG="-all")
    subprocess.run([args.devsim, "--", "true"], env=env, check=True)
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=dict(env, WINEPREFIX=prefix))
    try:
        rows = [(name, run(args, workdir, name, prefix)) for name in ("sim", "legacy", "winusb")]
    finally:
        subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=prefix))
        server.wait()
    print("512 KiB image, real timing, ZUVA.exe under Wine")
    print("%-8s %8s %8s" % ("path", "wall s", "ratio"))
    for name, wall in rows:
        print("%-8s %8.2f %8.2f" % (name, wall, wall / rows[0][1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
