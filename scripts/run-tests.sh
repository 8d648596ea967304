#!/usr/bin/env bash
# Builds every configuration and runs every test: Linux (unit, integration,
# end-to-end, benchmarks built), ASan+UBSan, TSan, the Windows build with
# its tests under Wine, and a short smoke run of every fuzzer (clang).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh all
presets=${ZUVA_PRESETS:-"linux asan tsan mingw fuzz"}
status=0
for preset in $presets; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" || status=1
done
exit $status
