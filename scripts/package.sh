#!/usr/bin/env bash
# Builds the Debian packages with CPack from the package-amd64 / package-armhf presets and
# checks each with lintian:
#   bash scripts/package.sh            amd64 (this machine)
#   bash scripts/package.sh armhf      32-bit ARM, cross-built
#   bash scripts/package.sh all        both
# The packages land in dist/<arch>/: zrt4600a_<version>_<arch>.deb (the plug-in) and
# zrt4600a-tools_<version>_<arch>.deb (host, simulator, examples, man pages, service).
# The armhf plug-in package ships the plug-in built in the Debian 11 root of
# scripts/compat-check.sh (needs root and, the first time, Debian's archive), so that it
# loads into older controllers; its Depends are what dpkg-shlibdeps finds there. That
# plug-in is packaged stripped; its debug info lands in dist/armhf/zrt4600a.so.debug, which
# the .so names in its GNU debuglink. A source tree without .git (a release tarball, a
# "git archive" export) packages as well.
# Exit 1 when a build fails, lintian reports an error, the plug-in is not shipped stripped
# (scripts/plugin-package-check.sh) or the tools package lacks the MIB or the service unit.
# JOBS sets the build jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

arches=("${1:-amd64}")
[ "${arches[0]}" = all ] && arches=(amd64 armhf)
deps=(--packaging --if-missing)
case " ${arches[*]} " in *" armhf "*) deps+=(--armhf) ;; esac
bash scripts/install-deps.sh "${deps[@]}" >&2

for arch in "${arches[@]}"; do
  case "${arch}" in amd64|armhf) ;; *) echo "package.sh: unknown architecture ${arch} (amd64, armhf or all)" >&2; exit 2;; esac
  preset="package-${arch}"
  build="build/${preset}"
  out="dist/${arch}"
  echo "== ${arch}: configure, build, package into ${out}/"
  arch_start=${SECONDS}
  prebuilt=()
  if [ "${arch}" = armhf ]; then
    bash scripts/compat-check.sh --release armhf "build/${preset}-plugin"
    prebuilt=(-DZRT_PLUGIN_PREBUILT="${PWD}/build/${preset}-plugin/zrt4600a.so"
              -DZRT_PLUGIN_DEPENDS="$(cat "build/${preset}-plugin/depends")")
  fi
  cmake --preset "${preset}" "${prebuilt[@]+"${prebuilt[@]}"}" >/dev/null
  cmake --build --preset "${preset}" -j "${JOBS:-2}"
  rm -rf "${out}" && mkdir -p "${out}"
  (cd "${build}" && cpack -G DEB -B "${PWD}/../../${out}" >/dev/null)
  rm -rf "${out}/_CPack_Packages"
  check=()
  if [ "${arch}" = armhf ]; then
    # The prebuilt plug-in's debug info, which its GNU debuglink names, beside the packages.
    cp "${build}/packaging/zrt4600a.so.debug" "${out}/"
    check=(--debuglink)
  fi
  for deb in "${out}"/*.deb; do
    echo "-- ${deb}"
    dpkg-deb -I "${deb}" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Installed-Size\):/   \1:/p'
    # --fail-on error: warnings are listed, an error fails the build.
    lintian --fail-on error --tag-display-limit 0 "${deb}"
  done
  # The plug-in as shipped: stripped, for this architecture.
  bash scripts/plugin-package-check.sh "${check[@]+"${check[@]}"}" "$(ls "${out}"/zrt4600a_*.deb)"
  # The tools package ships the SNMP subagent's MIB where net-snmp's tools look, and the unit.
  tools_deb="$(ls "${out}"/zrt4600a-tools_*.deb)"
  for f in ./usr/share/snmp/mibs/ZRT4600A-MIB.txt ./usr/lib/systemd/system/zrt4600a-host@.service; do
    dpkg-deb -c "${tools_deb}" | awk '{print $6}' | grep -qxF "${f}" ||
      { echo "package.sh: ${tools_deb} lacks ${f#.}" >&2; exit 1; }
  done
  echo "== ${arch}: packages in ${out}/ ($((SECONDS - arch_start)) s)"
done
