#!/usr/bin/env bash
# The main job: builds ZUVA and upgrades a virtual device with the default
# image, answering the operator's prompts, so the console shows what an
# operator sees.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh main
cmake --preset main >/dev/null
cmake --build --preset main --target ZUVA
work=$(mktemp -d)
cp build/main/ZUVA "$work/ZUVA"
cd "$work"
status=0
printf 'y\n\n' | ZUVA_SIM=default ZUVA_SIM_FLASH="$work/flash.bin" ./ZUVA || status=$?
echo
echo "exit code: $status; DfuSe file: $work/ZUVA.dfu; device flash: $work/flash.bin"
exit $status
