#!/usr/bin/env bash
# Checks mibs/*.txt with smilint (Debian smitools) at level 4: no error and no warning.
#
# Debian's main archive ships none of the standard modules the MIB imports: the check reads
# the least stand-ins of them that scripts/mib-stubs.sh writes into a temporary folder.
# smilint exits 0 even when it reports errors, so any line it prints fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v smilint >/dev/null || { echo "mib-check: smilint is missing (apt-get install smitools)" >&2; exit 2; }

stubs="$(mktemp -d /tmp/zrt-mibs.XXXXXX)"
trap 'rm -rf "${stubs}"' EXIT
bash scripts/mib-stubs.sh "${stubs}"

status=0
for mib in mibs/*.txt; do
  out="$(SMIPATH="${stubs}" smilint -l 4 "./${mib}" 2>&1)"
  if [ -n "${out}" ]; then
    echo "${out}" >&2
    echo "mib-check: FAIL: smilint -l 4 reports on ${mib}" >&2
    status=1
  else
    echo "mib-check: ${mib}: smilint -l 4 reports nothing"
  fi
done
exit "${status}"
