#!/usr/bin/env bash
# Checks the host's metrics endpoint the way an operator's monitoring reads it:
#   1. the host runs the example site on the built-in simulator with --metrics on a loopback
#      port; a scrape in the Prometheus text format passes `promtool check metrics`, its
#      families are exactly those the metrics table of docs/metrics-and-alerts.md lists, and a scrape that asks
#      for OpenMetrics ends with "# EOF";
#   2. a real Prometheus server on another loopback port scrapes the host every second; its
#      HTTP query API must return each DC screen's voltage
#      (zrt4600a_dc_output_voltage_volts) as the simulator's plant file sets it, and every
#      query of the Grafana dashboard (monitoring/) must return series.
# Every wait is bounded; the host and Prometheus are stopped at the end, pass or fail.
# BUILD_DIR picks the build tree (default build/default). Exit 0 when every check passes.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build/default}"
plant=examples/plant.json

if [ ! -f "${build}/CMakeCache.txt" ]; then cmake --preset default >/dev/null; fi
cmake --build "${build}" -j "${JOBS:-2}" --target zrt4600a-host zrt4600a-sim >/dev/null
for tool in promtool prometheus python3; do
  command -v "${tool}" >/dev/null || { echo "metrics-check: ${tool} is missing (bash scripts/install-deps.sh --packaging)" >&2; exit 2; }
done

work="$(mktemp -d /tmp/zrt-metrics.XXXXXX)"
host_pid="" prom_pid=""
cleanup() {
  [ -n "${prom_pid}" ] && kill "${prom_pid}" 2>/dev/null && wait "${prom_pid}" 2>/dev/null
  [ -n "${host_pid}" ] && kill "${host_pid}" 2>/dev/null && wait "${host_pid}" 2>/dev/null
  rm -rf "${work}"
}
trap cleanup EXIT
fail() { echo "metrics-check: FAIL: $*" >&2; exit 1; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
fetch() {  # URL [ACCEPT]
  python3 - "$@" <<'PY'
import sys, urllib.request
req = urllib.request.Request(sys.argv[1])
if len(sys.argv) > 2: req.add_header("Accept", sys.argv[2])
with urllib.request.urlopen(req, timeout=5) as r:
    sys.stdout.write(r.read().decode("utf-8"))
PY
}

host_port="$(free_port)"
"${build}/tools/zrt4600a-host" --simulate --json --plant "${plant}" --site ci --metrics "127.0.0.1:${host_port}" \
  >"${work}/events.json" 2>"${work}/host.log" &
host_pid=$!

# Bounded wait for a scrape that holds both DC voltages.
for _ in $(seq 60); do
  if fetch "http://127.0.0.1:${host_port}/metrics" >"${work}/scrape.txt" 2>/dev/null &&
     [ "$(grep -c '^zrt4600a_dc_output_voltage_volts{' "${work}/scrape.txt")" -ge 2 ]; then break; fi
  kill -0 "${host_pid}" 2>/dev/null || { cat "${work}/host.log" >&2; fail "the host ended early"; }
  sleep 0.5
done
grep -q '^zrt4600a_dc_output_voltage_volts{' "${work}/scrape.txt" || fail "no DC voltage in the scrape after 30 s"
promtool check metrics <"${work}/scrape.txt" || fail "promtool check metrics refused the scrape"
echo "metrics-check: promtool accepts a scrape of $(grep -vc '^#' "${work}/scrape.txt") samples"
python3 - "${work}/scrape.txt" docs/metrics-and-alerts.md <<'PY' || fail "the scrape's families and the metrics table of docs/metrics-and-alerts.md differ"
import re, sys
scraped = set(re.findall(r"^# TYPE (\S+) ", open(sys.argv[1]).read(), re.M))
# The first cell of each row of the family table names one or more families.
documented = set()
for cell in re.findall(r"^\| (`zrt4600a_[^|]*)\|", open(sys.argv[2]).read(), re.M):
    documented |= set(re.findall(r"`(zrt4600a_[a-z0-9_]+)`", cell))
for name in sorted(scraped - documented): print("metrics-check: not in docs/metrics-and-alerts.md:", name)
for name in sorted(documented - scraped): print("metrics-check: in docs/metrics-and-alerts.md, not scraped:", name)
print(f"metrics-check: {len(scraped)} families, each in docs/metrics-and-alerts.md")
sys.exit(0 if scraped == documented else 1)
PY
fetch "http://127.0.0.1:${host_port}/metrics" "application/openmetrics-text; version=1.0.0" >"${work}/om.txt"
[ "$(tail -n 1 "${work}/om.txt")" = "# EOF" ] || fail "the OpenMetrics scrape does not end with # EOF"

prom_port="$(free_port)"
cat >"${work}/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: zrt4600a
    static_configs:
      - targets: ["127.0.0.1:${host_port}"]
YML
prometheus --config.file="${work}/prometheus.yml" --storage.tsdb.path="${work}/tsdb" \
  --web.listen-address="127.0.0.1:${prom_port}" >"${work}/prometheus.log" 2>&1 &
prom_pid=$!

query="http://127.0.0.1:${prom_port}/api/v1/query?query=zrt4600a_dc_output_voltage_volts"
for _ in $(seq 60); do
  if fetch "${query}" >"${work}/answer.json" 2>/dev/null &&
     python3 -c 'import json,sys; sys.exit(0 if len(json.load(open(sys.argv[1]))["data"]["result"]) >= 2 else 1)' \
       "${work}/answer.json"; then break; fi
  kill -0 "${prom_pid}" 2>/dev/null || { cat "${work}/prometheus.log" >&2; fail "Prometheus ended early"; }
  sleep 0.5
done
python3 - "${work}/answer.json" "${plant}" <<'PY' || fail "Prometheus does not return the plant's DC voltages"
import json, sys
result = json.load(open(sys.argv[1]))["data"]["result"]
plant = json.load(open(sys.argv[2]))
site = json.load(open("examples/site.json"))
want = {str(entry["data_id"]): dc["v"] for entry, dc in zip(site["dcSetting"], plant["dc"])}
got = {r["metric"]["screen"]: float(r["value"][1]) for r in result if r["metric"].get("site") == "ci"}
print("metrics-check: Prometheus query zrt4600a_dc_output_voltage_volts:", got, "plant:", want)
ok = set(got) == set(want) and all(abs(got[k] - want[k]) < 1e-4 for k in want)
sys.exit(0 if ok else 1)
PY

# Every query of the Grafana dashboard, run against this Prometheus for site "ci", must
# return series: a panel whose query names a family or label the host does not write stays
# empty. Only "Blown fuses" may be empty (the example plant blows a fuse for two cycles only);
# the error return codes' query is run with RTN 00 too when the plant sent no other.
sleep 3  # rate() needs two scrapes within its window
python3 - "http://127.0.0.1:${prom_port}" monitoring/zrt4600a-dashboard.json <<'PY' || fail "a dashboard query returns nothing"
import json, sys, urllib.parse, urllib.request
base, dash = sys.argv[1], json.load(open(sys.argv[2]))
subst = {"$site": "ci", "$system": "1", "$__rate_interval": "1m", "$__interval": "15s", "$__range": "5m"}
may_be_empty = {"Blown fuses"}
empty = []
n = 0
for p in dash["panels"]:
    for t in p.get("targets", []):
        expr = t["expr"]
        for k in sorted(subst, key=len, reverse=True):
            expr = expr.replace(k, subst[k])
        url = base + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
        with urllib.request.urlopen(url, timeout=5) as r:
            result = json.load(r)["data"]["result"]
        if not result and ',code!="00"' in expr:
            # Error return codes only: none from a plant that answers normally. The same
            # query with RTN 00 must answer, so that its family and labels are checked.
            url = base + "/api/v1/query?" + urllib.parse.urlencode({"query": expr.replace(',code!="00"', "")})
            with urllib.request.urlopen(url, timeout=5) as r:
                result = json.load(r)["data"]["result"]
        n += 1
        if not result and p["title"] not in may_be_empty:
            empty.append(f'{p["title"]}: {expr}')
for e in empty:
    print("metrics-check: empty dashboard query:", e)
print(f"metrics-check: {n} dashboard queries run against Prometheus, {len(empty)} empty")
sys.exit(1 if empty else 0)
PY
echo "metrics-check: OK"
