#!/usr/bin/env bash
# An installed tree works on its own: `cmake --install` into a fresh prefix, then the
# installed host finds its plug-in, libtxqhost and the examples there, prints its version,
# shows no path of the build or source tree in --help, and polls the example site on the
# built-in simulator for one cycle. Usage: installed_tree_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1" source="$2"
prefix="$(mktemp -d /tmp/zrt-install.XXXXXX)"
trap 'rm -rf "${prefix}"' EXIT
cmake --install "${build}" --prefix "${prefix}" >/dev/null
host="${prefix}/bin/zrt4600a-host"
"${host}" --version | grep -Eq '^zrt4600a-host [0-9]+\.[0-9]+\.[0-9]+ \(revision .+\)$'
"${prefix}/bin/zrt4600a-sim" --version | grep -q '^zrt4600a-sim '
# The man pages, compressed, where man looks for them.
for page in man1/zrt4600a-host.1 man1/zrt4600a-sim.1 man5/zrt4600a-settings.5 man5/zrt4600a-plant.5; do
  gzip -t "${prefix}/share/man/${page}.gz" 2>/dev/null || { echo "the man page share/man/${page}.gz is not installed"; exit 1; }
done
help="$("${host}" --help)"
if grep -qF -e "${build}" -e "${source}" <<<"${help}"; then
  echo "--help shows a build or source tree path:"; grep -F -e "${build}" -e "${source}" <<<"${help}"; exit 1
fi
grep -qF "${prefix}/lib/" <<<"${help}" || { echo "--help does not default to the installed plug-in"; exit 1; }
grep -qF "${prefix}/share/zrt4600a/examples/site.json" <<<"${help}" || { echo "no installed example default"; exit 1; }
# The build tree's libtxqhost is out of reach: the installed RPATH must find the installed one.
out="$(cd / && env -u LD_LIBRARY_PATH "${host}" --simulate --cycles 1 --json 2>/dev/null)"
grep -q '"event":"cycle"' <<<"${out}" || { echo "the installed host did not complete a cycle:"; echo "${out}" | tail -3; exit 1; }
grep -qF "\"plugin\":\"${prefix}/lib/" <<<"${out}" || { echo "the installed host did not load the installed plug-in"; exit 1; }
# A bad metrics address ends the host with exit code 2 and a line naming the option.
set +e
err="$("${host}" --simulate --cycles 1 --metrics 127.0.0.1:70000 2>&1 >/dev/null)"
rc=$?
set -e
[ "${rc}" -eq 2 ] || { echo "a bad --metrics address gave exit code ${rc}, not 2"; exit 1; }
grep -q -- '--metrics "127.0.0.1:70000": the port' <<<"${err}" || { echo "unclear error: ${err}"; exit 1; }
# The history file's SQL extension loads from where it is installed, as docs/history.md shows it.
db="${prefix}/site.db"
(cd / && env -u LD_LIBRARY_PATH "${host}" --simulate --cycles 2 --history "${db}" >/dev/null 2>&1)
ext="$(find "${prefix}/lib" -name libzrt_history_sql.so | head -n1)"
[ -n "${ext}" ] || { echo "the SQL extension libzrt_history_sql.so is not installed"; exit 1; }
# A sanitizer build's extension needs its runtime loaded first into the (plain) sqlite3 shell.
asan="$(ldd "${ext}" | awk '/libasan/ {print $3; exit}')"
preload=()
[ -z "${asan}" ] || preload=(env LD_PRELOAD="${asan}" ASAN_OPTIONS=detect_leaks=0)
n="$("${preload[@]}" sqlite3 "${db}" -cmd ".load ${ext%.so}" "SELECT count(*) FROM value_v WHERE data_id = 21 AND key = 'v'")"
[ "${n}" -ge 1 ] 2>/dev/null || { echo "the installed SQL extension gave no rows: ${n}"; exit 1; }
echo "installed tree OK"
