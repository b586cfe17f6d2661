#!/usr/bin/env bash
# Checks the host's SNMP subagent the way a network operations centre uses it, against the
# system's own net-snmp daemons on loopback (nothing of theirs needs root: every file is in a
# temporary folder, the AgentX socket too):
#   1. bad input, each run polling on and ending its cycles with 0: an unparseable AgentX
#      address in the settings and another host's address as --snmp-agentx each give one
#      error naming the settings key or the option; a unix socket and a loopback TCP port
#      where no master listens each give one "no AgentX master" diagnostic;
#   2. snmpd (master agentx) and snmptrapd run on free loopback ports; the host runs the
#      reference site on the built-in simulator as their subagent;
#   3. snmpwalk of entPhySensorTable gives the DC output voltage of screen 21 as 53.5 V
#      (voltsDC, units, precision 1, value 535, ok) and screen 12's absent phase C current
#      as unavailable; the active-alarm table holds what the host's events hold active;
#   4. snmptrapd received zrtAlarmRaised and zrtAlarmCleared for the rectifier module fault
#      the plant's script raises at cycle 3 and clears at cycle 5, and zrtLineLost and
#      zrtLineBack when the simulator leaves seven replies out at cycle 8;
#   5. a second host on the same snmpd is refused its tables and says so in plain words; no
#      run of the host leaves files under /var/lib/snmp or its own state folder behind;
#   6. snmpd is killed with SIGKILL (its socket file stays behind): the host says once that
#      the master is lost and polls on; snmpd is started again: the subagent registers again
#      without the host restarting, and the walk answers.
# Every wait is a bounded retry of a condition; the whole check has a hard time limit
# (SNMP_CHECK_LIMIT seconds, default 130, the build before it not counted); everything started
# is stopped at the end, pass or fail.
# BUILD_DIR picks the build tree (default build/default). The evidence (a walk of the sensor
# and alarm tables, a received raise and clear) is kept in SNMP_CHECK_SAVE (default
# BUILD_DIR/snmp-check) and printed at the end. Exit 0 when every check passes, 1 when one
# fails, 124 when the time limit ran out, 2 when a tool is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build/default}"
plant=examples/plant.json
host="${build}/tools/zrt4600a-host"
limit="${SNMP_CHECK_LIMIT:-130}"
save="${SNMP_CHECK_SAVE:-${build}/snmp-check}"

if [ "${1:-}" != "--within-limit" ]; then
  if [ ! -f "${build}/CMakeCache.txt" ]; then cmake --preset default >/dev/null; fi
  cmake --build "${build}" -j "${JOBS:-2}" --target zrt4600a-host >/dev/null
  for tool in snmpd snmptrapd snmpwalk snmpbulkwalk python3 timeout; do
    command -v "${tool}" >/dev/null || PATH="${PATH}:/usr/sbin" command -v "${tool}" >/dev/null ||
      { echo "snmp-check: ${tool} is missing (bash scripts/install-deps.sh --packaging)" >&2; exit 2; }
  done
  # The time limit: timeout signals the whole process group (the daemons and hosts too).
  exec timeout -k 10 "${limit}" bash scripts/snmp-check.sh --within-limit
fi
export PATH="${PATH}:/usr/sbin"

work="$(mktemp -d /tmp/zrt-snmp.XXXXXX)"
host_pid="" snmpd_pid="" trapd_pid="" bad_pids=""
stop_pid() { [ -n "$1" ] && kill "$1" 2>/dev/null && wait "$1" 2>/dev/null; return 0; }
cleanup() {
  for p in ${bad_pids}; do stop_pid "${p}"; done
  stop_pid "${host_pid}"
  stop_pid "${snmpd_pid}"
  stop_pid "${trapd_pid}"
  rm -rf "${work}"
}
trap cleanup EXIT
fail() {
  echo "snmp-check: FAIL: $*" >&2
  for f in host.log snmpd.log traps.log; do
    [ -f "${work}/${f}" ] && { echo "--- ${f} (last lines)" >&2; tail -n 20 "${work}/${f}" >&2; }
  done
  exit 1
}
trap 'fail "the check ran out of its time limit (${limit} s)"' TERM INT
free_port() {  # udp|tcp
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1] == "udp" else socket.SOCK_STREAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' "$1"
}
# Until the condition holds, at most SECONDS: until_ok SECONDS CMD...
until_ok() {
  local n=$(( $1 * 5 )); shift
  for _ in $(seq "${n}"); do "$@" && return 0; sleep 0.2; done
  "$@"
}
count() { grep -c -e "$1" "$2" 2>/dev/null || true; }

export SNMP_PERSISTENT_DIR="${work}/persist"
mkdir -p "${work}/persist" "${work}/agentx" "${work}/mibs"
bash scripts/mib-stubs.sh "${work}/mibs"
cp mibs/*.txt "${work}/mibs/"
socket="${work}/agentx/master"
agent_port="$(free_port udp)"
trap_port="$(free_port udp)"
walk() { snmpbulkwalk -v2c -c ci -On -Oe -Oq -t 2 -r 1 -M /nonexistent -m "" "udp:127.0.0.1:${agent_port}" "$@"; }

# Settings of the reference site, its line at 115200 baud (a cycle every 2 s), with the
# subagent tried again every second, and a line that counts as lost after 4 s of silence.
site_with() {  # AGENTX OUT
  python3 - "$1" "$2" <<'PY'
import json, sys
s = json.load(open("examples/site.json"))
s["baud"] = 115200
s["snmp"] = {"agentx": sys.argv[1], "ping_interval_s": 1}
s["line_timeout_s"] = 4
json.dump(s, open(sys.argv[2], "w"))
PY
}
# The reference plant, silent from cycle 8 for ten replies in a row (a second each): the line is
# lost and back. (The host probes a lost line with a query the plant answers, and starts each
# try again from 40_41, which is a new cycle to the plant: 41_41 is left out twice at cycle 8,
# then 40_41 twice at each of cycles 9 to 12.)
python3 - "${plant}" "${work}/plant.json" <<'PY'
import json, sys
p = json.load(open(sys.argv[1]))
p["faults"] = [{"command": "41_41", "kind": "no_reply", "cycle": 8, "times": 2}] + [
    {"command": "40_41", "kind": "no_reply", "cycle": c, "times": 2} for c in range(9, 13)]
json.dump(p, open(sys.argv[2], "w"))
PY

# 1. Bad input, run beside the rest: the host polls on.
bad() {  # NAME CYCLES HOST-ARGS...: a run of the host on the plain plant
  local name="$1" n="$2" rc=0; shift 2
  "${host}" --simulate --json --plant "${plant}" --cycles "${n}" --trace "${work}/${name}.trace" "$@" \
    >"${work}/${name}.events" 2>"${work}/${name}.log" || rc=$?
  echo "${rc}" >"${work}/${name}.rc"
}
site_with "${work}/nobody/master" "${work}/settings-absent.json"
site_with "not an address" "${work}/settings-garbled.json"
no_master_port="$(free_port tcp)"
bad remote 2 --settings "${work}/settings-absent.json" --snmp-agentx tcp:example.invalid:705 & bad_pids+=" $!"
bad garbled 2 --settings "${work}/settings-garbled.json" & bad_pids+=" $!"
bad absent 3 --settings "${work}/settings-absent.json" & bad_pids+=" $!"
bad no-port 3 --settings "${work}/settings-absent.json" --snmp-agentx "tcp:127.0.0.1:${no_master_port}" & bad_pids+=" $!"

# 2. The daemons and the host.
cat >"${work}/snmpd.conf" <<CONF
agentAddress udp:127.0.0.1:${agent_port}
master agentx
agentXSocket ${socket}
rocommunity ci 127.0.0.1
trap2sink 127.0.0.1:${trap_port} ci
CONF
cat >"${work}/snmptrapd.conf" <<CONF
authCommunity log ci
CONF
# The daemons keep their state in the work folder, so that /var/lib/snmp shows what the host
# writes there: nothing (checked when run as root, where the library could write it).
export SNMP_PERSISTENT_DIR="${work}/daemon-state"
var_state_fresh=0
if [ "$(id -u)" -eq 0 ] && [ ! -e /var/lib/snmp/cert_indexes ]; then var_state_fresh=1; fi
start_snmpd() {
  snmpd -f -C -c "${work}/snmpd.conf" -Lf "${work}/snmpd.log" -M /nonexistent -m "" &
  snmpd_pid=$!
}
snmptrapd -f -C -c "${work}/snmptrapd.conf" -Lf "${work}/traps.log" -M "${work}/mibs" -m ZRT4600A-MIB \
  "udp:127.0.0.1:${trap_port}" &
trapd_pid=$!
start_snmpd
until_ok 10 test -S "${socket}" || fail "snmpd made no AgentX socket"

site_with "${socket}" "${work}/site.json"
SNMP_PERSISTENT_DIR= "${host}" --simulate --json --plant "${work}/plant.json" --settings "${work}/site.json" --site ci \
  --trace "${work}/host.trace" >"${work}/events.json" 2>"${work}/host.log" &
host_pid=$!

cycles() { count '"event":"cycle"' "${work}/events.json"; }
host_at() { kill -0 "${host_pid}" 2>/dev/null || fail "the host ended early"; [ "$(cycles)" -ge "$1" ]; }
wait_cycles() { until_ok "$2" host_at "$1" || fail "fewer than $1 cycles after $2 s ($(cycles))"; }
# The DC output voltage answers: only the subagent answers the sensor table.
dc_answers() {
  walk 1.3.6.1.2.1.99.1.1.1.4 >"${work}/probe.txt" 2>/dev/null || return 1
  grep -Eq '^\.1\.3\.6\.1\.2\.1\.99\.1\.1\.1\.4\.[0-9]+ 535$' "${work}/probe.txt"
}
registered() { [ "$(count 'SNMP: registered with' "${work}/host.log")" -ge "$1" ]; }

until_ok 20 registered 1 || fail "the subagent did not register"
# A second host on the same master: the master refuses its tables, and it says so plainly.
mkdir -p "${work}/second-tmp"
TMPDIR="${work}/second-tmp" SNMP_PERSISTENT_DIR= "${host}" --simulate --json --plant "${plant}" \
  --settings "${work}/site.json" --site ci2 --cycles 1 --trace /dev/null >/dev/null 2>"${work}/second.log" ||
  fail "a second host on the same master did not poll its cycles: $(tail -3 "${work}/second.log")"
grep -q "already serves this host's tables" "${work}/second.log" ||
  fail "the second host did not say that the master refused its tables: $(cat "${work}/second.log")"
if grep -q 'registering pdu failed' "${work}/second.log"; then fail "net-snmp's own refusal text reached the log"; fi
[ -z "$(ls -A "${work}/second-tmp")" ] || fail "the subagent left its state folder behind: $(ls -A "${work}/second-tmp")"
echo "snmp-check: a second host on the same master: $(grep -o "another subagent.*tables" "${work}/second.log" | head -1)"
# The plant raises its scripted alarms at cycle 3 and clears them at cycle 5.
wait_cycles 6 40
until_ok 10 dc_answers || fail "the sensor table does not answer with the DC voltage"

# 3. Sensors and active alarms (the alarm table last, right before the events are read).
# The alarms change now and then (the line is lost at cycle 8): the walks and the events are
# compared again, a few times at most, until they agree.
tables() {
  walk 1.3.6.1.2.1.47.1.1.1 >"${work}/entities.txt" &&
    walk 1.3.6.1.2.1.99.1.1 >"${work}/sensors.txt" &&
    walk 1.3.6.1.4.1.99999.1 >"${work}/private.txt" &&
    python3 - "${work}" >"${work}/tables.txt" 2>&1 <<'PY'
import json, re, sys
work = sys.argv[1]
def table(path):
    rows = {}
    for line in open(path, encoding="utf-8", errors="replace"):
        oid, _, value = line.rstrip("\n").partition(" ")
        rows[oid] = value.strip().strip('"')
    return rows
ent, sen, priv = table(work + "/entities.txt"), table(work + "/sensors.txt"), table(work + "/private.txt")
names = {oid.rsplit(".", 1)[1]: v for oid, v in ent.items() if oid.startswith(".1.3.6.1.2.1.47.1.1.1.1.7.")}
index = {v: k for k, v in names.items()}
def sensor(name):
    ix = index[name]
    return [int(sen[".1.3.6.1.2.1.99.1.1.1.%d.%s" % (c, ix)]) for c in (1, 2, 3, 4, 5)]
dc = sensor("DC screen 21 output voltage")
print("snmp-check: DC screen 21 output voltage: type %d scale %d precision %d value %d status %d" % tuple(dc))
assert dc == [4, 9, 1, 535, 1], dc
ic = sensor("AC screen 12 phase C current")
print("snmp-check: AC screen 12 phase C current: type %d scale %d precision %d value %d status %d" % tuple(ic))
assert ic[0] == 5 and ic[4] == 2, ic
assert len(names) > 100, len(names)

active = set()
for line in open(work + "/events.json"):
    e = json.loads(line)
    if e.get("event") != "alarm": continue
    k = (e["data_id"], e["key"], e["seq"])
    if e["state"] in ("raised", "restored"): active.add(k)
    elif e["state"] == "cleared": active.discard(k)
col = lambda c: {oid.rsplit(".", 1)[1]: v for oid, v in priv.items() if oid.startswith(".1.3.6.1.4.1.99999.1.3.1.%d." % c)}
listed = {(int(col(3)[i]), col(5)[i], int(col(6)[i])) for i in col(3)}
print("snmp-check: active alarms in the table:", sorted(listed))
assert active and listed == active, (sorted(active), sorted(listed))
PY
}
until_ok 10 tables || { cat "${work}/tables.txt" >&2; fail "the walks do not show the site's values and alarms"; }
cat "${work}/tables.txt"
# The alarm table as a manager reads it with the MIB.
snmpwalk -v2c -c ci -t 2 -r 1 -M "${work}/mibs" -m ZRT4600A-MIB "udp:127.0.0.1:${agent_port}" \
  ZRT4600A-MIB::zrtObjects >"${work}/objects.txt" || fail "the walk of zrtObjects failed"

# The bad-input runs are over by now (a few cycles each; --give-up ends one without cycles).
for p in ${bad_pids}; do wait "${p}" || true; done
bad_pids=""
bad_check() {  # NAME CYCLES PATTERN WHAT
  [ "$(cat "${work}/$1.rc")" = 0 ] || fail "$4 ended the host with $(cat "${work}/$1.rc"): $(tail -n 3 "${work}/$1.log")"
  [ "$(count '"event":"cycle"' "${work}/$1.events")" -eq "$2" ] || fail "the host did not poll with $4"
  [ "$(count "$3" "${work}/$1.log")" -eq 1 ] || fail "$4 is not reported exactly once: $(grep SNMP "${work}/$1.log" | head -n 3)"
  echo "snmp-check: $4: $(grep -m 1 -e "$3" "${work}/$1.log")"
}
bad_check remote 2 '--snmp-agentx "tcp:example.invalid:705": .*must listen on loopback.*the host polls on' "another host's address"
bad_check garbled 2 '"snmp"."agentx" "not an address": expected a unix socket path.*the host polls on' "an unparseable address"
bad_check absent 3 "no AgentX master at ${work}/nobody/master; the host polls on" "a socket where no master listens"
bad_check no-port 3 "no AgentX master at tcp:127.0.0.1:${no_master_port}; the host polls on" "a port where no master listens"

# 4. Notifications of the scripted raise and clear.
traps_of() { python3 - "${work}/traps.log" "$@" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
# One record per notification, each starting with its date.
records = re.split(r"\n(?=\d{4}-\d\d-\d\d )", text)
def of(kind):
    return [r for r in records if re.search(r"= OID: [\w:-]*zrtAlarm%s\b" % kind, r) and re.search(r'zrtAlarmKey\.\d+ = STRING: "?RC_0"?', r)
            and re.search(r'zrtAlarmSignalId\.\d+ = STRING: "?06024"?', r)
            and re.search(r'zrtAlarmName\.\d+ = STRING: "?Rectifier module fault"?', r)]
raised, cleared = of("Raised"), of("Cleared")
if len(sys.argv) > 2:  # the first of each, as received
    print(raised[0].strip() + "\n\n" + cleared[0].strip())
else:
    assert raised and cleared
PY
}
until_ok 10 traps_of 2>/dev/null || fail "snmptrapd received no zrtAlarmRaised and zrtAlarmCleared of the rectifier module fault"
echo "snmp-check: notifications of RC_0 raised and cleared received"

# The line lost at cycle 8 and back.
line_traps() { grep -q 'zrtLineLost' "${work}/traps.log" && grep -q 'zrtLineBack' "${work}/traps.log"; }
until_ok 40 line_traps || fail "snmptrapd received no zrtLineLost and zrtLineBack"
echo "snmp-check: notifications of the line: zrtLineLost and zrtLineBack received"

# 5. The master is killed: reported once, the host polls on; started again: the subagent
# registers again by itself.
regs="$(count 'SNMP: registered with' "${work}/host.log")"
losses="$(count 'SNMP: lost the AgentX master' "${work}/host.log")"
kill -KILL "${snmpd_pid}"
wait "${snmpd_pid}" 2>/dev/null || true
snmpd_pid=""
lost() { [ "$(count 'SNMP: lost the AgentX master' "${work}/host.log")" -gt "${losses}" ]; }
until_ok 10 lost || fail "the host did not notice the master gone"
away="$(cycles)"
wait_cycles $(( away + 1 )) 20
stale="no socket file"; [ -S "${socket}" ] && stale="its socket file left behind"
start_snmpd
until_ok 8 registered $(( regs + 1 )) || fail "the subagent did not register again within 8 s of the restart (it tries every second)"
until_ok 10 dc_answers || fail "the walk after the restart lacks the DC voltage ($(head -c 300 "${work}/probe.txt" | tr '\n' ' '))"
wait_cycles $(( away + 2 )) 20
[ "$(count 'SNMP: lost the AgentX master' "${work}/host.log")" -eq $(( losses + 1 )) ] ||
  fail "the lost master is not reported exactly once"
echo "snmp-check: snmpd killed (${stale}) and started again: the subagent registered again and the walk answers;" \
  "the host polled on (${away} cycles when the loss was seen, $(cycles) now)"
if [ "${var_state_fresh}" -eq 1 ] && [ -e /var/lib/snmp/cert_indexes ]; then
  fail "the host wrote /var/lib/snmp/cert_indexes"
fi
echo "snmp-check: the host's SNMP diagnostics:"
grep 'SNMP:' "${work}/host.log" | sed 's/^/  /'

# The evidence, kept and shown.
mkdir -p "${save}"
python3 - "${work}" >"${save}/snmpwalk.txt" <<'PY'
import sys
work = sys.argv[1]
ent = [l.rstrip("\n") for l in open(work + "/entities.txt", encoding="utf-8", errors="replace")]
names = {l.split(" ", 1)[0].rsplit(".", 1)[1]: l.split(" ", 1)[1] for l in ent if l.startswith(".1.3.6.1.2.1.47.1.1.1.1.7.")}
keep = [ix for ix, n in names.items() if n in ('"DC screen 21 output voltage"', '"DC screen 21 output current"',
                                             '"AC screen 12 phase B current"', '"AC screen 12 phase C current"')]
print("$ snmpbulkwalk -v2c -c ci -On -Oe -Oq udp:127.0.0.1:PORT 1.3.6.1.2.1.47.1.1.1   (entPhysicalTable; the names of four sensors shown)")
for ix in keep: print(".1.3.6.1.2.1.47.1.1.1.1.7.%s %s" % (ix, names[ix]))
print()
print("$ snmpbulkwalk -v2c -c ci -On -Oe -Oq udp:127.0.0.1:PORT 1.3.6.1.2.1.99.1.1   (entPhySensorTable; the same four rows shown)")
for l in open(work + "/sensors.txt", encoding="utf-8", errors="replace"):
    if l.split(" ", 1)[0].rsplit(".", 1)[1] in keep: print(l.rstrip("\n"))
PY
{
  echo
  echo "\$ snmpwalk -v2c -c ci -M ${save}/mibs -m ZRT4600A-MIB udp:127.0.0.1:PORT ZRT4600A-MIB::zrtObjects"
  cat "${work}/objects.txt"
} >>"${save}/snmpwalk.txt"
traps_of first >"${save}/trap.txt"
cp "${work}/traps.log" "${save}/traps-all.txt"
rm -rf "${save}/mibs" && cp -r "${work}/mibs" "${save}/mibs"
echo "snmp-check: the evidence, kept in ${save} (snmpwalk.txt, trap.txt, traps-all.txt):"
# Shown: the sensor rows but their time stamps and update rates, the alarm table's key,
# severity, names and instance; each notification one object a line.
grep -v -e '^\.1\.3\.6\.1\.2\.1\.99\.1\.1\.1\.[78]\.' -e 'zrtAlarm\(System\|DataId\|SignalId\|Sequence\|Level\|Text\|RaisedTime\|Entity\)\.' \
  "${save}/snmpwalk.txt" | sed 's/^/  /'
echo "  --- a raise and a clear as snmptrapd logged them (trap.txt)"
tr '\t' '\n' <"${save}/trap.txt" | sed 's/^/  /'
echo "snmp-check: OK"
