#!/usr/bin/env bash
# Configures, builds and tests each named CMake preset in turn (default: "default").
#   bash scripts/test.sh                 native build and tests
#   bash scripts/test.sh default armhf   then the 32-bit ARM build, tests under qemu-arm
#   bash scripts/test.sh debug           native with AddressSanitizer and UBSan
# JOBS sets the parallel build and test jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-2}"
presets=("$@")
if [ "${#presets[@]}" -eq 0 ]; then presets=(default); fi

# On a fresh machine this installs the build dependencies first; the armhf cross toolchain,
# libraries and qemu-user only when an armhf preset is asked for.
deps=(--if-missing)
for preset in "${presets[@]}"; do
  case "${preset}" in *armhf*) deps+=(--armhf) ;; esac
done
bash scripts/install-deps.sh "${deps[@]}"

for preset in "${presets[@]}"; do
  echo "== ${preset}: configure"
  cmake --preset "${preset}"
  echo "== ${preset}: build"
  cmake --build --preset "${preset}" -j "${jobs}"
  echo "== ${preset}: test"
  ctest --preset "${preset}" -j "${jobs}"
done
