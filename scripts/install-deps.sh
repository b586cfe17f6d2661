#!/usr/bin/env bash
# Installs every build, test and cross-build dependency from Debian's archive.
# Safe to run again: apt-get skips what is already there.
#   bash scripts/install-deps.sh              install (or confirm) everything
#   bash scripts/install-deps.sh --if-missing do nothing when every package is installed
#   bash scripts/install-deps.sh --packaging  also what packaging and the CI checks need
#                                             (lintian, help2man, debootstrap, prometheus...)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

native=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libboost-dev libboost-date-time-dev libjsoncpp-dev
  libfmt-dev libcli11-dev libasio-dev libsqlite3-dev sqlite3
  clang libclang-rt-14-dev valgrind socat python3 libsnmp-dev
)
armhf=(
  crossbuild-essential-armhf qemu-user
  libboost-dev:armhf libboost-date-time-dev:armhf libjsoncpp-dev:armhf
  libfmt-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
)
# Packages, their checks, the metrics check and the SNMP checks (scripts/package.sh,
# scripts/metrics-check.sh, scripts/snmp-check.sh, scripts/mib-check.sh): the armhf tools need
# SQLite for ARM too.
packaging=(
  dpkg-dev fakeroot file lintian help2man debootstrap prometheus libsqlite3-dev:armhf
  snmpd snmptrapd snmp smitools
)

want_packaging=0
args=()
for a in "$@"; do
  if [ "${a}" = "--packaging" ]; then want_packaging=1; else args+=("${a}"); fi
done
set -- "${args[@]+"${args[@]}"}"
if [ "${want_packaging}" -eq 0 ]; then packaging=(); fi

# The report's chart library comes from the npm registry, pinned by
# tools/history/report/package-lock.json; CMake embeds it into zrt4600a-host.
root="$(cd "$(dirname "$0")/.." && pwd)"
report_assets() {
  if ! command -v npm >/dev/null 2>&1; then
    $SUDO apt-get install -y -qq --no-install-recommends npm
  fi
  (cd "${root}/tools/history/report" && npm ci --no-audit --no-fund --silent)
}

if [ "${1:-}" = "--if-missing" ]; then
  missing=0
  if [ ! -f "${root}/tools/history/report/node_modules/uplot/dist/uPlot.iife.min.js" ]; then missing=1; fi
  for pkg in "${native[@]}" "${armhf[@]}" "${packaging[@]+"${packaging[@]}"}"; do
    if ! dpkg-query -W -f='${Status}' "${pkg}" 2>/dev/null | grep -q "ok installed"; then
      missing=1
      break
    fi
  done
  [ "${missing}" -eq 0 ] && exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends --no-remove "${native[@]}"
$SUDO apt-get install -y -qq --no-install-recommends --no-remove "${armhf[@]}"
report_assets
if [ "${#packaging[@]}" -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove "${packaging[@]}"
fi
