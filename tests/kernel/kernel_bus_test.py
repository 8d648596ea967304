#!/usr/bin/env python3
"""End-to-end tests on the real Linux USB stack: one boot of a QEMU guest
(scripts/kernel-bus.sh) runs a script of checks, each against virtual
devices served by zuva-gadget on dummy_hcd and reached by ZUVA, zuvatool and
dfu-util through the kernel's hub driver, usbfs and libusb; the host then
judges what the guest left in the shared work folder.

A guest that cannot boot fails the test (kernel-bus.sh exits 125 and says
why); nothing here is skipped."""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys

PROGRESS = re.compile(rb"\d{2,3}%\x08{3,4}")
PLAIN_PROFILE = ("description = Plain Board\nvendor = 0x1209\nproduct = 0x70B1\n"
                 "dfu-version = 0x0110\nattributes = 0x03\ntransfer-size = 1024\n"
                 "memory-size = 262144\nalt = Application\n"
                 "leave = wait-reset\nafter-leave = application\n")

# Each block runs as one zuva-gadget session in the guest; `sh run.sh NAME
# COMMAND...` leaves NAME.out, NAME.err and NAME.rc for the host.
GUEST_SCRIPT = r"""
set -u
cat >run.sh <<'EOF'
name=$1; shift
"$@" >"$name.out" 2>"$name.err" <"${STDIN:-/dev/null}"
echo $? >"$name.rc"
EOF
# Runs a listing until it shows a device in that mode, for up to 30 s: a
# device that re-enumerates takes the hub driver a while under emulation.
cat >listed.sh <<'EOF'
name=$1; mode=$2
for i in $(seq 300); do
  zuvatool list --json >"$name.out" 2>"$name.err"
  grep -q "\"mode\":\"$mode\"" "$name.out" && break
  sleep 0.1
done
EOF

# ZUVA upgrades the default device with its default image.
STDIN=upgrade.in sh run.sh upgrade zuva-gadget --flash upgrade_flash.bin --trace upgrade_trace.txt -- ZUVA

# zuvatool's commands on one device.
zuva-gadget --flash tool_flash.bin --trace tool_trace.txt -- sh -c '
  sh run.sh list zuvatool list
  sh run.sh flash zuvatool flash image.bin --address 0x08000000 --no-leave
  sh run.sh read zuvatool read back.bin --address 0x08000000 --length 131072
  sh run.sh erase zuvatool erase --address 0x08000000 --length 16384
  sh run.sh read_erased zuvatool read erased.bin --address 0x08000000 --length 16384
  sh run.sh leave zuvatool leave
  sh run.sh list_after_leave zuvatool list'

# A device in application mode detaches at zuvatool's DETACH and reset and
# comes back in DFU mode under a new device number.
zuva-gadget --profile application.profile --trace detach_trace.txt -- sh -c '
  cat /sys/bus/usb/devices/1-1/devnum >devnum_before.txt
  sh run.sh detach zuvatool detach
  sh listed.sh detach_list dfu
  cat /sys/bus/usb/devices/1-1/devnum >devnum_after.txt'

# A plain device that waits for a reset after manifestation starts its
# application at zuvatool's reset.
zuva-gadget --profile plain.profile --flash plain_flash.bin --trace plain_trace.txt -- sh -c '
  sh run.sh plain_flash zuvatool flash plain.bin
  sh listed.sh plain_list application'

# Four devices at once; the events show how far a failing one got, and the
# kernel's and udev's notices of the devices, with their times, when each
# departure reached the host.
udevadm monitor --kernel --udev --subsystem-match=usb/usb_device >all_bus.txt 2>&1 &
monitor=$!
sh run.sh all zuva-gadget --profile auto.profile --flash all1.bin --flash all2.bin \
  --flash all3.bin --flash all4.bin --trace all1.txt --trace all2.txt --trace all3.txt \
  --trace all4.txt -- zuvatool flash image.bin --address 0x08000000 --all --json
kill $monitor

# The device vanishes in the middle of the download: the request number of
# the tenth download block of the run above, with the same requests before.
n=$(awk '$2 == "DNLOAD" { if (++c == 10) { print $1; exit } }' tool_trace.txt)
echo "$n" >unplug_request.txt
zuva-gadget --flash unplug_flash.bin --faults "unplug@$n" --trace unplug_trace.txt -- sh -c '
  zuvatool list >/dev/null
  sh run.sh unplug zuvatool flash image.bin --address 0x08000000 --no-leave'

# The device answers its first status request 7 s late, past the host's
# 5 s: the request number from a run of the same requests.
zuva-gadget --trace late_pre_trace.txt -- sh -c '
  zuvatool list >/dev/null; zuvatool read late_pre.bin --address 0x08000000 --length 4096 >/dev/null'
n=$(awk '$2 == "GETSTATUS" { print $1; exit }' late_pre_trace.txt)
echo "$n" >late_request.txt
zuva-gadget --faults "late=7000@$n" -- sh -c '
  zuvatool list >/dev/null
  sh run.sh late zuvatool read late.bin --address 0x08000000 --length 4096'

# A second program on a device zuvatool holds.
zuva-gadget --profile slow.profile --flash busy_flash.bin -- sh -c '
  zuvatool flash busy.bin --address 0x08000000 --json >first.json 2>&1 &
  first=$!
  for i in $(seq 600); do grep -q "\"event\":\"step\"" first.json && break; sleep 0.05; done
  sh run.sh second_read zuvatool read second.bin --length 4096
  sh run.sh second_dfu_util dfu-util -a 0 -s 0x08000000:4096 -U second_dfu_util.bin
  wait $first
  echo $? >first.rc'

# dfu-util downloads and uploads through the same gadget.
zuva-gadget --flash dfu_util_flash.bin -- sh -c '
  sh run.sh dfu_util_download dfu-util -a 0 -s 0x08000000 -D dfu_util.bin
  sh run.sh dfu_util_upload dfu-util -a 0 -s 0x08000000:100000 -U dfu_util_back.bin'
"""


def image(size, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


class Suite:
    def __init__(self, work):
        self.work = work
        self.failures = []

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def read(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def rc(self, name):
        text = self.read(name + ".rc").strip()
        return int(text) if text.lstrip(b"-").isdigit() else None

    def words(self, name):
        return self.read(name + ".out") + self.read(name + ".err")

    def trace(self, name):
        return [line.split() for line in self.read(name).decode(errors="replace").splitlines()]

    def check(self, name, condition, detail=""):
        print(("ok   " if condition else "FAIL ") + name + ("" if condition else ": " + detail))
        if not condition:
            self.failures.append(name)


def zuva_in_process(args, work, flash):
    """ZUVA's upgrade of the in-process device: the console text to match."""
    folder = os.path.join(work, "in_process")
    os.makedirs(folder, exist_ok=True)
    program = os.path.join(folder, os.path.basename(args.zuva))
    shutil.copy(args.zuva, program)
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUVA_SIM")}
    env.update({"ZUVA_SIM": "default", "ZUVA_SIM_FLASH": flash})
    return subprocess.run([program], input=b"y\n\n", capture_output=True, timeout=300,
                          cwd=folder, env=env)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel-bus", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--zuva", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    work = os.path.abspath(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    s = Suite(work)

    data = image(200000, 1)
    s.write("image.bin", data)
    s.write("busy.bin", image(131072, 2))
    plain = image(20000, 3)
    s.write("plain.bin", plain)
    dfu_util_data = image(100000, 4)  # the last block is short
    s.write("dfu_util.bin", dfu_util_data)
    s.write("upgrade.in", b"y\n\n")
    s.write("application.profile", "mode = application\nattributes = 0x03\n")
    s.write("plain.profile", PLAIN_PROFILE)
    s.write("auto.profile", "serial = auto\n")
    s.write("slow.profile", "timing = real\nprogram-us-per-kib = 20000\n")
    s.write("guest.sh", GUEST_SCRIPT)

    guest = subprocess.run([args.kernel_bus, "--build", args.build, "--buses", "4", "--share",
                            work, "--", "sh", "guest.sh"], capture_output=True, timeout=1500)
    sys.stdout.write(guest.stdout.decode(errors="replace"))
    sys.stdout.write(guest.stderr.decode(errors="replace"))
    if guest.returncode != 0:
        print("FAIL the guest did not run the checks (exit %d)" % guest.returncode)
        return 1

    # ZUVA: the same console bytes as against the in-process device.
    in_process = zuva_in_process(args, work, s.path("in_process_flash.bin"))
    bus_text = PROGRESS.sub(b"", s.read("upgrade.out"))
    sim_text = PROGRESS.sub(b"", in_process.stdout)
    s.check("ZUVA upgrades the device on the real stack with the in-process console text",
            b"Leaving DFU mode..." in bus_text and bus_text == sim_text
            and s.rc("upgrade") == in_process.returncode == 0,
            "bus:\n%r\nsim:\n%r\n%r" % (bus_text, sim_text, s.read("upgrade.err")[-400:]))
    s.check("ZUVA leaves the same flash as in process",
            s.read("upgrade_flash.bin") != b""
            and s.read("upgrade_flash.bin") == s.read("in_process_flash.bin"))

    # zuvatool's commands.
    s.check("zuvatool list shows the device on its port",
            s.rc("list") == 0 and b"usb:1-1" in s.words("list")
            and b"@Internal Flash" in s.words("list"), repr(s.words("list")[-600:]))
    # The erase below blanks the first sector again.
    s.check("zuvatool flash writes and verifies the image",
            s.rc("flash") == 0 and b"flashed image.bin" in s.words("flash")
            and s.read("tool_flash.bin")[16384:len(data)] == data[16384:],
            repr(s.words("flash")[-600:]))
    s.check("zuvatool read returns what was flashed",
            s.rc("read") == 0 and s.read("back.bin") == data[:131072],
            repr(s.words("read")[-600:]))
    s.check("zuvatool erase blanks the sector",
            s.rc("erase") == 0 and s.rc("read_erased") == 0
            and s.read("erased.bin") == b"\xff" * 16384, repr(s.words("erase")[-600:]))
    s.check("zuvatool leave: the device leaves the bus and is not listed again",
            s.rc("leave") == 0 and s.rc("list_after_leave") == 4,
            repr(s.words("leave")[-600:]) + repr(s.words("list_after_leave")[-300:]))

    names = [line[1] for line in s.trace("detach_trace.txt") if line[1] in ("DETACH", "RESET")]
    before, after = s.read("devnum_before.txt").strip(), s.read("devnum_after.txt").strip()
    s.check("zuvatool detach: DETACH, a USB reset, and the device is back in DFU mode under "
            "a new device number",
            s.rc("detach") == 0 and names == ["DETACH", "RESET"]
            and b'"mode":"dfu"' in s.read("detach_list.out") and before and after
            and before != after,
            repr(s.words("detach")[-600:]) + repr(names) + repr((before, after)))

    resets = [line for line in s.trace("plain_trace.txt") if line[1] == "RESET"]
    s.check("zuvatool resets a plain device after manifestation into its application",
            s.rc("plain_flash") == 0 and b"zuvatool reset the device" in s.words("plain_flash")
            and len(resets) == 1 and b'"mode":"application"' in s.read("plain_list.out")
            and s.read("plain_flash.bin")[:len(plain)] == plain,
            repr(s.words("plain_flash")[-600:]) + repr(s.read("plain_list.out")[-300:]))

    flashes = [s.read("all%d.bin" % i)[:len(data)] for i in range(1, 5)]
    s.check("zuvatool flash --all writes four devices",
            s.rc("all") == 0 and all(f == data for f in flashes),
            "\n".join(line for line in s.words("all").decode(errors="replace").splitlines()
                      if '"result"' in line or '"step":"leave"' in line)[-3000:] + "".join(
                "\n".join(["", "all%d.txt:" % i] + s.read("all%d.txt" % i).decode(
                    errors="replace").splitlines()[-8:]) for i in range(1, 5))
            + "\nall_bus.txt:\n" + s.read("all_bus.txt").decode(errors="replace")[-3000:])

    unplug = s.read("unplug_request.txt").strip()
    seen = [line[1] for line in s.trace("unplug_trace.txt")]
    s.check("a device unplugged in the middle of the download: exit 1, said, not flashed",
            unplug.isdigit() and "DNLOAD" in seen and s.rc("unplug") == 1
            and b"failed" in s.words("unplug")
            and s.read("unplug_flash.bin")[:len(data)] != data,
            "request %r: %r" % (unplug, s.words("unplug")[-600:]))

    s.check("a status answer later than the host's time-out fails the read: exit 1, said, "
            "no file", s.read("late_request.txt").strip().isdigit() and s.rc("late") == 1
            and b"upload failed" in s.words("late") and not os.path.exists(s.path("late.bin")),
            repr(s.words("late")[-600:]))
    s.check("a second zuvatool on a held device exits 6 \"in use by another program\"",
            s.rc("second_read") == 6 and b"in use by another program" in s.words("second_read"),
            repr(s.words("second_read")[-600:]))
    s.check("dfu-util cannot claim a held device",
            s.rc("second_dfu_util") not in (0, None), repr(s.words("second_dfu_util")[-600:]))
    s.check("the holder's flash ends with exit 0",
            s.read("first.rc").strip() == b"0", repr(s.read("first.json")[-600:]))

    s.check("dfu-util downloads and uploads the same bytes through the gadget",
            s.rc("dfu_util_download") == 0 and s.rc("dfu_util_upload") == 0
            and s.read("dfu_util_back.bin") == dfu_util_data
            and s.read("dfu_util_flash.bin")[:len(dfu_util_data)] == dfu_util_data,
            repr(s.words("dfu_util_download")[-400:]) + repr(s.words("dfu_util_upload")[-400:]))

    print("%d failed" % len(s.failures) if s.failures else "all passed")
    return 1 if s.failures else 0


if __name__ == "__main__":
    sys.exit(main())
