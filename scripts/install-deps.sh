#!/usr/bin/env bash
# Installs the Debian packages a set of jobs needs, when missing.
#   scripts/install-deps.sh main   the programs alone: compiler, CMake, libusb
#   scripts/install-deps.sh [all]  every build and test: sanitizers, the
#                                  Windows cross build and Wine, the emulated
#                                  bus, the packages and their checks
set -eu
main=(
  cmake make g++ pkg-config libusb-1.0-0-dev
)
tests=(
  python3 git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 python3-pefile
  umockdev libumockdev-dev dfu-util fwupd
  clang libclang-rt-14-dev
  dpkg-dev lintian groff-base zsh
  qemu-system-x86 busybox-static cpio udev binutils xz-utils gcc-12 make libelf1
)
case "${1:-all}" in
  main) packages=("${main[@]}") ;;
  all) packages=("${main[@]}" "${tests[@]}") ;;
  *) echo "usage: $0 [main|all]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
