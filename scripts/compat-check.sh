#!/usr/bin/env bash
# Older-toolchain check: builds the plug-in in a Debian 11 (bullseye) root made with
# debootstrap (GCC 10, glibc 2.31, Boost 1.74, jsoncpp 1.9.4), for amd64 and for armhf
# (bullseye's cross compiler and armhf multiarch libraries, programs run under qemu-arm):
#   1. the plug-in alone against our host contract headers, warnings as errors (on amd64
#      also with GCC 9, the oldest compiler docs/controller-requirements.md states);
#   2. the second-controller contract test (tests/contract built on its own);
#   3. the highest GLIBC_/GLIBCXX_/CXXABI_ versions of the .so against the
#      "Controller requirements" table of docs/controller-requirements.md (zrt-symbol-floor,
#      built there too).
#   bash scripts/compat-check.sh [amd64|armhf|all]    (default all)
#   bash scripts/compat-check.sh --release ARCH OUT   only the plug-in for the packages:
#       OUT/zrt4600a.so, checked against the floor, and OUT/depends, its Debian
#       dependencies as dpkg-shlibdeps computes them there (scripts/package.sh uses both)
# The root is made once under ZRT_COMPAT_CACHE (default /var/cache/zrt-compat) and reused;
# it needs root (debootstrap, chroot) and Debian's archive the first time.
# ZRT_COMPAT_MIRROR picks the archive (default http://deb.debian.org/debian).
# Exit 0 when every check passes, 1 when one fails, 2 on a usage error.
set -Eeuo pipefail
trap 'echo "compat-check.sh: failed (line ${LINENO}: ${BASH_COMMAND})" >&2; exit 1' ERR
repo="$(cd "$(dirname "$0")/.." && pwd)"
cache="${ZRT_COMPAT_CACHE:-/var/cache/zrt-compat}"
mirror="${ZRT_COMPAT_MIRROR:-http://deb.debian.org/debian}"
jobs="${JOBS:-2}"
root="${cache}/bullseye"

usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

release_out=""
arches=()
case "${1:-all}" in
  all) arches=(amd64 armhf) ;;
  amd64|armhf) arches=("$1") ;;
  --release)
    [ $# -eq 3 ] || usage
    case "$2" in amd64|armhf) ;; *) usage ;; esac
    arches=("$2"); release_out="$3" ;;
  -h|--help) usage ;;
  *) echo "compat-check.sh: unknown argument $1 (amd64, armhf, all or --release ARCH OUT)" >&2; exit 2 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "compat-check.sh: needs root for debootstrap and chroot (run it with sudo)" >&2
  exit 2
fi

# What the root holds; a change of this list installs the difference on the next run.
base_pkgs=(build-essential g++-9 cmake libboost-dev libjsoncpp-dev crossbuild-essential-armhf qemu-user ccache)
armhf_pkgs=(libboost-dev:armhf libjsoncpp-dev:armhf)

phase_start=0
phase() { phase_start=${SECONDS}; echo "== $*"; }
phase_done() { echo "   ($((SECONDS - phase_start)) s)"; }

mounted=""
cleanup() { if [ -n "${mounted}" ]; then umount "${mounted}" 2>/dev/null || true; fi; }
trap cleanup EXIT

# The builds compile through the root's own ccache (kept in the root, the paths inside it
# are always the same), so a later run recompiles only what changed.
in_root() {
  chroot "${root}" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
    CMAKE_BUILD_PARALLEL_LEVEL="${jobs}" CMAKE_CXX_COMPILER_LAUNCHER=ccache \
    CCACHE_DIR=/var/cache/ccache CCACHE_MAXSIZE=2G "$@"
}

make_root() {
  local wanted="${base_pkgs[*]} ${armhf_pkgs[*]}"
  if [ -f "${root}/.zrt-ready" ] && [ "$(cat "${root}/.zrt-ready")" = "${wanted}" ]; then
    echo "== bullseye root: ${root} (cached)"
    return
  fi
  if [ ! -x "${root}/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null || { echo "compat-check.sh: debootstrap is not installed (bash scripts/install-deps.sh --packaging)" >&2; exit 1; }
    phase "bullseye root: debootstrap into ${root}"
    rm -rf "${root}.tmp" && mkdir -p "${cache}"
    local inc; inc="$(IFS=,; echo "${base_pkgs[*]}")"
    debootstrap --variant=minbase --include="${inc}" bullseye "${root}.tmp" "${mirror}"
    mv "${root}.tmp" "${root}"
    phase_done
  fi
  phase "bullseye root: packages, armhf multiarch libraries"
  in_root dpkg --add-architecture armhf
  in_root apt-get update -qq
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${base_pkgs[@]}" "${armhf_pkgs[@]}" >/dev/null
  in_root apt-get clean
  echo "${wanted}" > "${root}/.zrt-ready"
  phase_done
}

# The sources as they stand in the worktree (tracked and new files, not the build trees),
# from a git checkout or from a tree without .git (a release tarball).
copy_sources() {
  bash "${repo}/scripts/source-tree.sh" "${root}/src"
}

toolchain_args() {
  if [ "$1" = armhf ]; then echo "-DCMAKE_TOOLCHAIN_FILE=/src/cmake/armhf-toolchain.cmake"; fi
}

check_arch() {
  local arch="$1" b="/build/${arch}" tc
  tc="$(toolchain_args "${arch}")"
  rm -rf "${root}${b}" && mkdir -p "${root}${b}"

  phase "${arch}: plug-in alone against the host contract headers, warnings as errors"
  # Hidden visibility as in our own build; the version script keeps get_providers alone.
  in_root cmake -S /src -B "${b}/plugin" ${tc} -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZRT_HOST_INCLUDE_DIR=/src -DCMAKE_CXX_FLAGS=-Werror \
    -DCMAKE_CXX_VISIBILITY_PRESET=hidden -DCMAKE_VISIBILITY_INLINES_HIDDEN=ON >/dev/null
  in_root cmake --build "${b}/plugin" -j "${jobs}" --target zrt4600a
  in_root /build/zrt-symbol-floor /src/docs/controller-requirements.md "${b}/plugin/plugin/zrt4600a.so" | sed 's/^/   /'
  phase_done

  if [ "${arch}" = amd64 ] && [ -z "${release_out}" ]; then
    # The oldest compiler docs/controller-requirements.md states, on the same sources.
    phase "amd64: plug-in alone with GCC 9, warnings as errors"
    in_root cmake -S /src -B "${b}/plugin-gcc9" -DCMAKE_CXX_COMPILER=g++-9 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZRT_HOST_INCLUDE_DIR=/src -DCMAKE_CXX_FLAGS=-Werror >/dev/null
    in_root cmake --build "${b}/plugin-gcc9" -j "${jobs}" --target zrt4600a
    phase_done
  fi

  if [ -n "${release_out}" ]; then
    # The package's Depends as dpkg-shlibdeps finds them among this root's libraries.
    mkdir -p "${root}${b}/shlibs/debian" "${release_out}"
    printf 'Source: zrt4600a\n\nPackage: zrt4600a\nArchitecture: any\n' > "${root}${b}/shlibs/debian/control"
    in_root sh -c "cd ${b}/shlibs && dpkg-shlibdeps -O ${b}/plugin/plugin/zrt4600a.so" \
      | sed -n 's/^shlibs:Depends=//p' > "${release_out}/depends"
    [ -s "${release_out}/depends" ] || { echo "compat-check.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
    cp "${root}${b}/plugin/plugin/zrt4600a.so" "${release_out}/zrt4600a.so"
    echo "   release plug-in: ${release_out}/zrt4600a.so, Depends: $(cat "${release_out}/depends")"
    return
  fi

  phase "${arch}: second-controller contract test"
  in_root cmake -S /src/tests/contract -B "${b}/contract" ${tc} -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS=-Werror >/dev/null
  in_root cmake --build "${b}/contract" -j "${jobs}"
  in_root sh -c "cd ${b}/contract && ctest --output-on-failure"
  phase_done
}

total_start=${SECONDS}
make_root
copy_sources
if mount -t proc proc "${root}/proc" 2>/dev/null; then mounted="${root}/proc"; fi
# awk reads the whole output: a reader that stops early would end the writer with SIGPIPE,
# which the error trap takes for a failure.
echo "== toolchain: $(in_root g++ --version | awk 'NR == 1'); glibc $(in_root ldd --version | awk 'NR == 1 {print $NF}')"
mkdir -p "${root}/build"
in_root g++ -std=c++17 -O1 -Wall -Wextra -Werror -o /build/zrt-symbol-floor /src/tests/plugin/symbol_floor_main.cpp \
  /src/tests/plugin/symbol_floor.cpp /src/tests/plugin/elf_symbols.cpp
for arch in "${arches[@]}"; do check_arch "${arch}"; done
if [ -z "${release_out}" ]; then echo "== compat-check: passed (${arches[*]}) in $((SECONDS - total_start)) s"; fi
