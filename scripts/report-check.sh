#!/usr/bin/env bash
# Checks the history report in a real browser: runs the host on the built-in simulator for
# a while, writes the report, opens it in headless Chromium (offline: no network is
# needed), and fails when the page logs an error to the console or draws no chart. Leaves
# the page, a screenshot and the console log in OUT (default build/report-check).
#   bash scripts/report-check.sh            30 cycles of the example site (about a minute)
# Environment: CYCLES (default 30), OUT, BUILD_DIR (default build/default).
set -euo pipefail
cd "$(dirname "$0")/.."

cycles="${CYCLES:-30}"
out="${OUT:-build/report-check}"
build="${BUILD_DIR:-build/default}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The browser, and a font with Chinese glyphs for the alarm names (the page's font stack
# names Noto Sans CJK first), so that the screenshot shows what a user sees.
need=()
command -v chromium >/dev/null 2>&1 || need+=(chromium)
dpkg-query -W -f='${Status}' fonts-noto-cjk 2>/dev/null | grep -q "ok installed" || need+=(fonts-noto-cjk)
if [ "${#need[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

host="${build}/tools/zrt4600a-host"
if [ ! -x "${host}" ]; then
  cmake --preset default >/dev/null
  cmake --build "${build}" -j2 --target zrt4600a-host >/dev/null
fi

mkdir -p "${out}"
db="${out}/site.db"
rm -f "${db}" "${db}-wal" "${db}-shm"
echo "== ${cycles} cycles of the example site into ${db}"
"${host}" --simulate --cycles "${cycles}" --baud 115200 --history "${db}" --json >"${out}/events.jsonl" 2>"${out}/host.err"
"${host}" report --history "${db}" --out "${out}/report.html"
page="$(cd "${out}" && pwd)/report.html"

chrome=(chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --hide-scrollbars
        --user-data-dir="${out}/chromium-profile")
echo "== screenshot ${out}/report.png"
"${chrome[@]}" --enable-logging=stderr --v=0 --window-size=1280,2000 --screenshot="${out}/report.png" \
  "file://${page}" 2>"${out}/console.log" >/dev/null || true
"${chrome[@]}" --virtual-time-budget=5000 --dump-dom "file://${page}" >"${out}/dom.html" 2>/dev/null

fail=0
# Console messages of the page (errors of the page's scripts appear as CONSOLE lines).
if grep -E "CONSOLE|Uncaught" "${out}/console.log"; then
  echo "the page logged to the console (above)"
  fail=1
fi
drawn="$(grep -o 'data-charts-drawn="[0-9]*"' "${out}/dom.html" | grep -o '[0-9]*' || true)"
charts="$(grep -o 'class="uplot' "${out}/dom.html" | wc -l)"
rows="$(grep -o '<tr class="\(active\|cleared\)"' "${out}/dom.html" | wc -l)"
timelines="$(grep -o '<svg class="timeline"' "${out}/dom.html" | wc -l)"
echo "charts drawn: ${drawn:-none} (${charts} chart elements), state and alarm timelines: ${timelines}, alarm timeline rows: ${rows}"
if [ "${timelines}" -eq 0 ]; then
  echo "no state timeline"
  fail=1
fi
if [ -z "${drawn}" ] || [ "${drawn}" -eq 0 ] || [ "${charts}" -eq 0 ]; then
  echo "no chart was drawn"
  fail=1
fi
if [ ! -s "${out}/report.png" ]; then
  echo "no screenshot"
  fail=1
fi
exit "${fail}"
