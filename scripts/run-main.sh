#!/usr/bin/env bash
# The main job: builds ZUVA and upgrades a virtual device with the default
# image, answering the operator's prompts, so the console shows what an
# operator sees.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target ZUVA
work=$(mktemp -d)
cp build/linux/ZUVA "$work/ZUVA"
cd "$work"
printf 'y\n\n' | ZUVA_SIM=default ZUVA_SIM_FLASH="$work/flash.bin" ./ZUVA
echo
echo "exit code: $?; DfuSe file: $work/ZUVA.dfu"
