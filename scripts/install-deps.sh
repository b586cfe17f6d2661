#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's archive. Safe to run again: apt-get
# skips what is already there.
#   bash scripts/install-deps.sh               what the native build and its tests need
#   bash scripts/install-deps.sh --armhf       also the armhf cross toolchain, libraries, qemu-user
#   bash scripts/install-deps.sh --packaging   also what packaging and the CI checks need
#                                              (lintian, debootstrap, prometheus...)
#   bash scripts/install-deps.sh --if-missing  do nothing when every package asked for is installed
#   bash scripts/install-deps.sh --print       print the packages asked for, one a line; install nothing
# A mirror mid-sync: apt-get update is tried ZRT_APT_UPDATE_TRIES times (default 3),
# ZRT_APT_RETRY_DELAY seconds apart (default 30); when it still fails, the script goes on
# with the package lists apt has and stops only if a package then cannot be installed.
# An armhf install that apt refuses because an amd64 package and its armhf twin (Multi-Arch:
# same) have no version in common among the candidates is retried with each such pair at a
# version both architectures have, and the packages that pin it moved along
# (scripts/apt_align.py); when no such version exists, it says which package and why.
# Exit 0 when everything asked for is installed, 1 when a package cannot be, 2 on a usage error.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
root="$(cd "$(dirname "$0")/.." && pwd)"

native=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libboost-dev libboost-date-time-dev libjsoncpp-dev
  libfmt-dev libcli11-dev libasio-dev libsqlite3-dev sqlite3
  clang libclang-rt-14-dev valgrind socat tmux python3 libsnmp-dev groff-base man-db
  mosquitto mosquitto-clients libmosquitto-dev libprotobuf-dev protobuf-compiler
  libyaml-cpp-dev libssl-dev libcrypt-dev zlib1g-dev openssl apache2-utils curl
)
armhf=(
  crossbuild-essential-armhf qemu-user
  libboost-dev:armhf libboost-date-time-dev:armhf libjsoncpp-dev:armhf
  libfmt-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
)
# Packages, their checks, the metrics and monitoring checks, the browser checks of the live
# page and the report (with a font that covers the alarms' Chinese texts), the SNMP checks and
# the older-toolchain check, and the compiler cache CI builds through (scripts/package.sh, scripts/metrics-check.sh,
# scripts/monitoring-check.sh, scripts/live-page-check.sh, scripts/report-check.sh,
# scripts/snmp-check.sh, scripts/mib-check.sh, scripts/compat-check.sh).
packaging=(
  dpkg-dev fakeroot file lintian debootstrap prometheus
  chromium fonts-noto-cjk
  snmpd snmptrapd snmp smitools
  ccache
)

want_armhf=0 want_packaging=0 if_missing=0 print_only=0
for a in "$@"; do
  case "${a}" in
    --armhf) want_armhf=1 ;;
    --packaging) want_packaging=1 ;;
    --if-missing) if_missing=1 ;;
    --print) print_only=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-deps.sh: unknown option ${a} (--armhf, --packaging, --if-missing, --print)" >&2; exit 2 ;;
  esac
done
if [ "${want_armhf}" -eq 0 ]; then armhf=(); fi
if [ "${want_packaging}" -eq 0 ]; then packaging=();
elif [ "${want_armhf}" -eq 1 ]; then
  # The armhf tools package. libyaml-cpp-dev is not multi-arch: its headers come from the
  # native package, the library from libyaml-cpp0.7:armhf (tools/CMakeLists.txt).
  armhf+=(libsqlite3-dev:armhf libssl-dev:armhf libcrypt-dev:armhf zlib1g-dev:armhf
          libyaml-cpp0.7:armhf libmosquitto-dev:armhf)
fi

if [ "${print_only}" -eq 1 ]; then
  printf '%s\n' "${native[@]}" "${armhf[@]+"${armhf[@]}"}" "${packaging[@]+"${packaging[@]}"}"
  exit 0
fi

# The report's chart library comes from the npm registry, pinned by
# tools/history/report/package-lock.json; CMake embeds it into zrt4600a-host.
report_assets() {
  if ! command -v npm >/dev/null 2>&1; then
    $SUDO apt-get install -y -qq --no-install-recommends npm
  fi
  (cd "${root}/tools/history/report" && npm ci --no-audit --no-fund --silent)
}

if [ "${if_missing}" -eq 1 ]; then
  missing=0
  if [ ! -f "${root}/tools/history/report/node_modules/uplot/dist/uPlot.iife.min.js" ]; then missing=1; fi
  for pkg in "${native[@]}" "${armhf[@]+"${armhf[@]}"}" "${packaging[@]+"${packaging[@]}"}"; do
    if ! dpkg-query -W -f='${Status}' "${pkg}" 2>/dev/null | grep -q "ok installed"; then
      missing=1
      break
    fi
  done
  [ "${missing}" -eq 0 ] && exit 0
fi

update_failed=0
update_lists() {
  local tries="${ZRT_APT_UPDATE_TRIES:-3}" delay="${ZRT_APT_RETRY_DELAY:-30}" i
  for ((i = 1; i <= tries; i++)); do
    if $SUDO apt-get update -qq; then return 0; fi
    if [ "${i}" -lt "${tries}" ]; then
      echo "install-deps.sh: apt-get update failed (try ${i} of ${tries}; a mirror mid-sync?), trying again in ${delay} s" >&2
      sleep "${delay}"
    fi
  done
  update_failed=1
  echo "install-deps.sh: apt-get update failed ${tries} times; going on with the package lists apt has" >&2
}

fail() {
  echo "install-deps.sh: $*" >&2
  if [ "${update_failed}" -eq 1 ]; then
    echo "install-deps.sh: apt-get update had failed, so the package lists may be stale or mid-sync: run this again later" >&2
  fi
  exit 1
}

# install_group LABEL FOREIGN_ARCH PACKAGE...: FOREIGN_ARCH empty for native packages.
install_group() {
  local label="$1" foreign="$2" pins
  shift 2
  # --no-upgrade: a package already there stays at its version, so that naming a Multi-Arch
  # package (zlib1g-dev, libssl-dev) does not move it away from its armhf twin.
  if $SUDO apt-get install -y -qq --no-install-recommends --no-remove --no-upgrade "$@"; then return 0; fi
  [ -n "${foreign}" ] || fail "apt-get could not install the ${label} packages (its message is above)"
  echo "install-deps.sh: apt-get could not install the ${label} packages; looking for ${foreign} packages out of step with their native twins" >&2
  pins="$(python3 "${root}/scripts/apt_align.py" plan --foreign "${foreign}" \
            ${ZRT_APT_RECORDED:+--recorded "${ZRT_APT_RECORDED}"} "$@")" \
    || fail "the ${label} packages cannot be installed (the reason is above)"
  [ -n "${pins}" ] || fail "apt-get could not install the ${label} packages and no Multi-Arch version skew explains it (apt-get's message is above)"
  echo "install-deps.sh: installing each out-of-step pair at a version both architectures have: $(echo ${pins})" >&2
  # shellcheck disable=SC2086  # one name=version a word
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove --allow-downgrades ${pins} "$@" \
    || fail "apt-get could not install the ${label} packages even with those versions"
}

if [ "${#armhf[@]}" -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
update_lists
install_group native "" "${native[@]}"
if [ "${#armhf[@]}" -gt 0 ]; then install_group armhf armhf "${armhf[@]}"; fi
report_assets
if [ "${#packaging[@]}" -gt 0 ]; then install_group packaging "" "${packaging[@]}"; fi
