#!/usr/bin/env bash
# Checks the plug-in as the zrt4600a package ships it:
#   bash scripts/plugin-package-check.sh [--debuglink] [--probe PROBE] DEB
# - the package holds exactly one usr/lib/<multiarch>/zrt4600a/zrt4600a.so;
# - it is stripped: no symbol table, no debug sections;
# - with --debuglink, it names its debug file, zrt4600a.so.debug, in a GNU debuglink (the
#   prebuilt plug-in of the armhf release is stripped that way);
# - it is an ELF shared object for the package's architecture (amd64: x86-64; armhf: ARM,
#   hard-float EABI);
# - with --probe, PROBE (a program that loads a plug-in the way a controller does, such as
#   the tests' zrt-plugin-probe) loads it; a foreign architecture's plug-in is checked
#   with readelf alone.
# It prints the .so's size and what `file` says of it. Exit 0 when every check passes, 1
# when one fails (each failure on standard error), 2 on a usage error.
set -euo pipefail

usage() { echo "usage: plugin-package-check.sh [--debuglink] [--probe PROBE] DEB" >&2; exit 2; }
want_debuglink=0 probe=""
while [ $# -gt 1 ]; do
  case "$1" in
    --debuglink) want_debuglink=1; shift ;;
    --probe) [ $# -gt 2 ] || usage; probe="$2"; shift 2 ;;
    *) usage ;;
  esac
done
[ $# -eq 1 ] || usage
deb="$1"
[ -f "${deb}" ] || { echo "plugin-package-check.sh: ${deb} does not exist" >&2; exit 2; }
tmp="$(mktemp -d)"
trap 'rm -rf "${tmp}"' EXIT

failed=0
fail() { echo "plugin-package-check.sh: ${deb}: $*" >&2; failed=1; }

arch="$(dpkg-deb -f "${deb}" Architecture)"
dpkg-deb -x "${deb}" "${tmp}/root"
mapfile -t sos < <(cd "${tmp}/root" && find . -path './usr/lib/*/zrt4600a/zrt4600a.so' -type f | sort)
if [ "${#sos[@]}" -ne 1 ]; then
  echo "plugin-package-check.sh: ${deb}: expected one usr/lib/<multiarch>/zrt4600a/zrt4600a.so, found ${#sos[@]}" >&2
  exit 1
fi
so="${tmp}/root/${sos[0]#./}"
echo "   ${sos[0]#.}: $(stat -c %s "${so}") bytes"
if command -v file >/dev/null; then echo "   $(file -b "${so}")"; fi

sections="$(LC_ALL=C readelf -W -S "${so}")"
header="$(LC_ALL=C readelf -W -h "${so}")"
grep -qE '^ *Type: +DYN ' <<<"${header}" || fail "zrt4600a.so is not an ELF shared object"
if grep -qE '\] \.symtab ' <<<"${sections}"; then fail "zrt4600a.so is not stripped: it has a symbol table (.symtab)"; fi
debug="$(grep -oE '\] \.(z?debug_[a-z_.]+)' <<<"${sections}" | sed 's/^\] //' | tr '\n' ' ' || true)"
if [ -n "${debug}" ]; then fail "zrt4600a.so is not stripped: it has debug sections (${debug% })"; fi
if [ "${want_debuglink}" -eq 1 ]; then
  if grep -qE '\] \.gnu_debuglink ' <<<"${sections}"; then
    link="$(LC_ALL=C readelf -W -p .gnu_debuglink "${so}" | sed -n 's/^ *\[ *0\] *//p')"
    [ "${link}" = zrt4600a.so.debug ] || fail "its GNU debuglink names '${link}', not zrt4600a.so.debug"
  else
    fail "zrt4600a.so has no GNU debuglink to its debug file"
  fi
fi

machine="$(sed -n 's/^ *Machine: *//p' <<<"${header}")"
flags="$(sed -n 's/^ *Flags: *//p' <<<"${header}")"
case "${arch}" in
  amd64) [ "${machine}" = "Advanced Micro Devices X86-64" ] || fail "an amd64 package holds a ${machine} object" ;;
  armhf) { [ "${machine}" = ARM ] && grep -q 'hard-float ABI' <<<"${flags}"; } ||
           fail "an armhf package holds a ${machine} object (${flags}), not ARM hard-float" ;;
  *) fail "unexpected package architecture ${arch}" ;;
esac

if [ -n "${probe}" ]; then
  if out="$("${probe}" "${so}" 2>&1)"; then
    echo "   loads: ${out}"
  else
    fail "the stripped zrt4600a.so does not load: ${out}"
  fi
fi
exit "${failed}"
