#!/usr/bin/env bash
# Runs a command on the real Linux USB stack: a QEMU guest with Debian's own
# kernel, dummy_hcd (a software host and device controller pair) and Raw
# Gadget, where zuva-gadget serves the virtual device and libusb programs
# reach it through usbfs as hardware.
#
#   scripts/kernel-bus.sh [OPTIONS] [DEVICE OPTIONS] -- COMMAND [ARGS...]
#
#   --build DIR      the build tree whose programs the guest gets
#                    (default: build/linux of this checkout)
#   --buses N        dummy_hcd buses, one device each (default 4)
#   --share DIR      the folder the guest mounts at the same path and where
#                    COMMAND starts (default: the current folder); files the
#                    command writes there come back to the caller
#   --timeout SECS   the longest the guest may run (default 900)
#   --profile FILE, --flash FILE, --faults PLAN, --trace FILE, --udc NAME
#                    device options: when any is given, COMMAND runs under
#                    zuva-gadget with them (once per device, as zuva-devsim
#                    takes them); otherwise COMMAND runs bare and may start
#                    zuva-gadget itself
#
# COMMAND runs as root in the guest with the project's programs, dfu-util and
# busybox on PATH; its standard output and error come back as this script's,
# and its exit code is this script's. No network in the guest.
#
# The kernel, the module and the guest's base image are cached in
# $ZUVA_KERNEL_CACHE (default ~/.cache/zuva-kernel-bus); the first run
# downloads about 225 MB of Debian packages. A guest that cannot be made or
# does not boot fails with exit 125 and says why.
set -eu

SELF_DIR=$(cd "$(dirname "$0")" && pwd)
SOURCE_DIR=$(dirname "$SELF_DIR")
EXIT_GUEST=125

fail() {
  echo "kernel-bus: $*" >&2
  exit $EXIT_GUEST
}

build_dir="$SOURCE_DIR/build/linux"
buses=4
share=$PWD
timeout_s=900
device_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build_dir=$2; shift 2 ;;
    --buses) buses=$2; shift 2 ;;
    --share) share=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --profile | --flash | --faults | --trace | --udc) device_args+=("$1" "$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--build DIR] [--buses N] [--share DIR] [--timeout SECS]" \
         "[--profile FILE] [--flash FILE] [--faults PLAN] [--trace FILE] ... -- COMMAND" >&2
       exit 2 ;;
  esac
done
[ $# -gt 0 ] || fail "no command given"
build_dir=$(cd "$build_dir" && pwd) || fail "no build tree at $build_dir"
share=$(cd "$share" && pwd) || fail "no folder $share"

for tool in qemu-system-x86_64 busybox cpio apt-get dpkg-deb make gcc-12 timeout dfu-util udevadm strings flock; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh all installs it)"
done

cache=${ZUVA_KERNEL_CACHE:-$HOME/.cache/zuva-kernel-bus}
mkdir -p "$cache"

# The kernel Debian currently ships for amd64, its module tree, the raw
# gadget module built against its headers, and the uncompressed vmlinux
# (QEMU boots it through its PVH entry, faster than the compressed image).
abi=$(apt-cache depends linux-image-amd64 2>/dev/null |
      sed -n 's/.*Depends: linux-image-\(6\.1\.0-[0-9]*\)-amd64$/\1/p' | head -n 1)
[ -n "$abi" ] || fail "apt-cache knows no linux-image-amd64 (run apt-get update)"
release="$abi-amd64"
kdir="$cache/$release"
# One preparation at a time; runs that find it done go on at once.
exec 9>"$cache/.lock"
flock 9
if [ ! -f "$kdir/ready" ]; then
  echo "kernel-bus: preparing kernel $release in $kdir" >&2
  rm -rf "$kdir"
  mkdir -p "$kdir/deb" "$kdir/root" "$kdir/module"
  (cd "$kdir/deb" && apt-get download -q "linux-image-$release" "linux-headers-$release" \
     "linux-headers-$abi-common" linux-kbuild-6.1 linux-source-6.1 >/dev/null 2>&1) ||
    fail "cannot download the kernel packages of $release"
  for deb in "$kdir"/deb/*.deb; do
    case "$deb" in *linux-source*) ;; *) dpkg-deb -x "$deb" "$kdir/root" ;; esac
  done
  # Only the gadget's source and the decompressor come from the sources.
  dpkg-deb --fsys-tarfile "$kdir"/deb/linux-source-6.1_*.deb |
    tar -xO ./usr/src/linux-source-6.1.tar.xz |
    tar -xJ -C "$kdir/module" --strip-components=1 \
      linux-source-6.1/drivers/usb/gadget/legacy/raw_gadget.c linux-source-6.1/scripts/extract-vmlinux ||
    fail "cannot unpack the raw gadget's source"
  mv "$kdir/module/drivers/usb/gadget/legacy/raw_gadget.c" "$kdir/module/"
  headers="$kdir/root/usr/src/linux-headers-$release"
  echo "include $kdir/root/usr/src/linux-headers-$abi-common/Makefile" >"$headers/Makefile"
  echo 'obj-m := raw_gadget.o' >"$kdir/module/Kbuild"
  make -s -C "$headers" M="$kdir/module" modules >"$kdir/module/build.log" 2>&1 ||
    fail "cannot build raw_gadget.ko (see $kdir/module/build.log)"
  sh "$kdir/module/scripts/extract-vmlinux" "$kdir/root/boot/vmlinuz-$release" >"$kdir/vmlinux" ||
    fail "cannot extract vmlinux from vmlinuz-$release"
  rm -rf "$kdir/deb"
  touch "$kdir/ready"
fi

# The modules a guest loads, each after those it depends on.
modules_dir="$kdir/root/lib/modules/$release/kernel"
declare -A module_seen=()
module_order=()
add_module() {
  local name=${1//-/_} path
  [ -z "${module_seen[$name]:-}" ] || return 0
  module_seen[$name]=1
  path=$(find "$modules_dir" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n 1)
  [ -n "$path" ] || fail "no module $name in $release"
  local deps
  deps=$(strings -a "$path" | sed -n 's/^depends=//p' | tr ',' ' ')
  for dep in $deps; do add_module "$dep"; done
  module_order+=("$path")
}
for m in 9pnet_virtio 9p virtio_pci dummy_hcd; do add_module "$m"; done

# The base image: busybox and the modules, cached per kernel.
base="$kdir/base.cpio"
if [ ! -f "$base" ]; then
  staging=$(mktemp -d)
  mkdir -p "$staging"/{bin,sbin,dev,proc,sys,tmp,modules,usr/bin,usr/sbin}
  cp "$(command -v busybox)" "$staging/bin/busybox"
  : >"$staging/modules/order"
  for path in "${module_order[@]}"; do
    cp "$path" "$staging/modules/"
    basename "$path" >>"$staging/modules/order"
  done
  cp "$kdir/module/raw_gadget.ko" "$staging/modules/"
  (cd "$staging" && find . | cpio -o -H newc --quiet) >"$base.tmp"
  mv "$base.tmp" "$base"
  rm -rf "$staging"
fi

flock -u 9

# This run's image: the project's programs, dfu-util and their libraries,
# and the guest's init.
run_dir=$(mktemp -d "$share/.kernel-bus.XXXXXX")
cleanup() { rm -rf "$run_dir"; }
trap cleanup EXIT
staging="$run_dir/image"
mkdir -p "$staging/usr/local/bin"
programs=()
for name in ZUVA zuvatool zuva-gadget; do
  [ -x "$build_dir/$name" ] || fail "no $name in $build_dir (build it first)"
  programs+=("$build_dir/$name")
done
programs+=("$(command -v dfu-util)" "$(command -v udevadm)")
for program in "${programs[@]}"; do
  cp "$program" "$staging/usr/local/bin/"
  for library in $(ldd "$program" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
    mkdir -p "$staging$(dirname "$library")"
    cp -n "$library" "$staging$library"
  done
done
# libusb learns of arrivals and removals from udev, as on any Linux host.
mkdir -p "$staging/lib/systemd"
ln -s /usr/local/bin/udevadm "$staging/lib/systemd/systemd-udevd"
cat >"$staging/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/usr/local/bin:/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /run /etc/udev/rules.d
mount -t tmpfs run /run
/lib/systemd/systemd-udevd --daemon 2>/dev/null
for arg in $(cat /proc/cmdline); do
  case "$arg" in
    zuva.share=*) share=${arg#zuva.share=} ;;
    zuva.run=*) run=${arg#zuva.run=} ;;
    zuva.buses=*) buses=${arg#zuva.buses=} ;;
  esac
done
for m in $(cat /modules/order); do
  case "$m" in
    dummy_hcd.ko) insmod /modules/$m num="$buses" ;;
    *) insmod /modules/$m ;;
  esac || echo "kernel-bus guest: insmod $m failed"
done
mkdir -p "$share"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 work "$share" ||
  echo "kernel-bus guest: cannot mount the share"
insmod /modules/raw_gadget.ko
udevadm trigger --action=add
udevadm settle --timeout=30
cd "$share"
sh "$run/command.sh" >"$run/stdout" 2>"$run/stderr"
echo $? >"$run/rc"
cd /
sync
umount "$share"
poweroff -f
INIT
chmod +x "$staging/init"
# The kernel unpacks concatenated archives one after the other.
{ cat "$base" && (cd "$staging" && find . | cpio -o -H newc --quiet); } >"$run_dir/initrd" ||
  fail "cannot pack the guest's image"
rm -rf "$staging"

# The command, quoted for the guest's shell.
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
{
  printf 'export HOME=/tmp\n'
  [ ${#device_args[@]} -eq 0 ] || printf 'exec zuva-gadget'
  [ ${#device_args[@]} -eq 0 ] || { for a in "${device_args[@]}"; do printf ' %s' "$(quote "$a")"; done; printf ' --'; }
  [ ${#device_args[@]} -gt 0 ] || printf 'exec'
  for a in "$@"; do printf ' %s' "$(quote "$a")"; done
  printf '\n'
} >"$run_dir/command.sh"

# TCG unless KVM is usable: a PVM host's /dev/kvm cannot run a stock kernel.
accel="accel=tcg -cpu max"
if [ -w /dev/kvm ] && [ ! -e /sys/module/kvm_pvm ]; then accel="accel=kvm -cpu host"; fi
console="$run_dir/console.log"
set +e
# shellcheck disable=SC2086
timeout "$timeout_s" qemu-system-x86_64 -machine $accel -m 1024 -smp 1 \
  -nodefaults -display none -no-reboot -serial "file:$console" \
  -kernel "$kdir/vmlinux" -initrd "$run_dir/initrd" \
  -fsdev "local,id=work,path=$share,security_model=none" \
  -device "virtio-9p-pci,fsdev=work,mount_tag=work" \
  -append "console=ttyS0 quiet panic=-1 no_timer_check rdinit=/init zuva.share=$share zuva.run=$run_dir zuva.buses=$buses" \
  2>"$run_dir/qemu.log"
qemu_status=$?
set -e
if [ ! -f "$run_dir/rc" ]; then
  echo "kernel-bus: the guest did not run the command (qemu exit $qemu_status)" >&2
  tail -n 30 "$run_dir/qemu.log" "$console" >&2 2>/dev/null || true
  exit $EXIT_GUEST
fi
cat "$run_dir/stdout"
cat "$run_dir/stderr" >&2
exit "$(cat "$run_dir/rc")"
