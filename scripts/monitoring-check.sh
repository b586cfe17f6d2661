#!/usr/bin/env bash
# Checks what ships for the monitoring side (monitoring/):
#   1. promtool check rules on the recording and alert rules;
#   2. promtool test rules on their unit tests (series in, alerts expected out);
#   3. no error panel of the dashboard counts RTN 00 (a normal reply), and every query of
#      the Grafana dashboard parses: each panel's expression and each
#      variable's label_values() selector, with the dashboard variables replaced by plain
#      values, goes through promtool check rules as the expression of a recording rule.
# Needs promtool and python3. Exit 0 when every check passes, 1 when one fails, 2 when a
# tool is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in promtool python3; do
  command -v "${tool}" >/dev/null || { echo "monitoring-check: ${tool} is missing (bash scripts/install-deps.sh --packaging)" >&2; exit 2; }
done
work="$(mktemp -d /tmp/zrt-monitoring.XXXXXX)"
trap 'rm -rf "${work}"' EXIT
fail() { echo "monitoring-check: FAIL: $*" >&2; exit 1; }

promtool check rules monitoring/zrt4600a.rules.yml || fail "promtool check rules refused monitoring/zrt4600a.rules.yml"
promtool test rules monitoring/tests/zrt4600a.rules.test.yml || fail "a rule unit test failed"

python3 - monitoring/zrt4600a-dashboard.json "${work}/dashboard-queries.yml" <<'PY' || fail "cannot read the dashboard's queries"
import json, re, sys
dash = json.load(open(sys.argv[1]))
# Values a dashboard variable or a Grafana interval stands for when the query runs.
subst = {"$site": "s1", "$system": "1", "$__rate_interval": "5m", "$__interval": "1m", "$__range": "6h"}
def plain(expr):
    for k in sorted(subst, key=len, reverse=True):
        expr = expr.replace(k, subst[k])
    if "$" in expr:
        raise SystemExit(f"a variable this check does not know in: {expr}")
    return expr
exprs = []
def walk(panels):
    for p in panels:
        walk(p.get("panels", []))
        for t in p.get("targets", []):
            exprs.append((p["title"], t["expr"]))
walk(dash["panels"])
# RTN 00 is a normal reply: no error panel counts it.
for title, e in exprs:
    if "zrt4600a_reply_rtn_total" in e and "rror" in title and 'code!="00"' not in e:
        raise SystemExit(f"panel {title}: counts the normal return code RTN 00 as an error: {e}")
names = {v["name"] for v in dash["templating"]["list"]}
for need in ("site", "system"):
    if need not in names:
        raise SystemExit(f"the dashboard has no {need} variable")
for v in dash["templating"]["list"]:
    if v["type"] != "query":
        continue
    m = re.fullmatch(r"label_values\((.*),\s*(\w+)\)", v["definition"])
    if not m:
        raise SystemExit(f"variable {v['name']}: not a label_values() query: {v['definition']}")
    exprs.append(("variable " + v["name"], m.group(1)))
with open(sys.argv[2], "w") as out:
    out.write("groups:\n  - name: dashboard\n    rules:\n")
    for i, (title, e) in enumerate(exprs):
        out.write(f"      # {title}\n      - record: dashboard:query_{i}\n        expr: {json.dumps(plain(e))}\n")
print(f"monitoring-check: {len(exprs)} dashboard queries")
PY
promtool check rules "${work}/dashboard-queries.yml" || fail "a dashboard query does not parse"
echo "monitoring-check: OK"
