#!/usr/bin/env bash
# Counts, with valgrind's callgrind, the instructions of one reference cycle of the
# registered top device (every reply of a full cycle parsed, every child's RoundDone), and
# prints the heap allocations of a steady-state cycle per phase.
#
#   bash scripts/callgrind-cycle.sh            build (build-bench), count, report
#   BUILD_DIR=... bash scripts/callgrind-cycle.sh
#
# The driver (bench/cycle_count.cpp) runs warm-up cycles uninstrumented and one cycle
# between CALLGRIND_START_INSTRUMENTATION and CALLGRIND_STOP_INSTRUMENTATION. Figures:
#   total              every instruction of the measured cycle: the development host's frame
#                      layer decoding the replies, the plug-in, the history jobs (run inline)
#   plug-in, with the host calls
#                      instructions under the plug-in's entry points (RefreshStatus and
#                      process_payload), the host services it calls from there included
#   plug-in, without host calls
#                      the same less the instructions spent inside the host's services
#                      (rule registration, publication, history jobs, command writing):
#                      the plug-in's own code and the library code it calls
#   plug-in functions' own Ir
#                      callgrind's self cost of the plug-in's functions alone
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-build-bench}"
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps.sh)" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target zrt-cycle-count >/dev/null

out="$build/callgrind.cycle.out"
rm -f "$out"
valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out" \
  "$build/bench/zrt-cycle-count" >"$build/cycle-count.txt" 2>"$build/callgrind.log" || {
  cat "$build/callgrind.log" >&2
  exit 1
}

python3 - "$out" <<'PY'
import re
import sys
from collections import defaultdict

# The plug-in: the poller and top devices, the three children (templates and model
# classes), the records, and the shared helpers in namespace zrt (the simulator and the
# benchmark support live in zrt::sim and zrt::bench).
PLUGIN = re.compile(r"^(?:[\w:]+\s+)?(?:PMBusPower|zrt4600a|ZRT4600|tele_c_|zrt::(?!sim::|bench::))")
# The host: the development host's framework and controller, and the driver itself.
HOST = re.compile(r"^(?:[\w:]+\s+)?(?:devhost::|TXQ|PMBusProtocol::|VDeviceInterface::|get_ttime|zrt::bench::|main$)")
# The host's library: a function of it is the host's even where its name says nothing (a
# function in an anonymous namespace, such as the one that hands each reply to the plug-in),
# unless it is standard library code instantiated there.
HOST_OBJECT = re.compile(r"/libtxqhost\.so[.\d]*$")
LIBRARY_CODE = re.compile(r"^(?:std::|__gnu_cxx::|__cxxabiv1::|boost::|operator new|operator delete)")
ENTRY = re.compile(r"^(?:zrt4600a::process_payload\(\)|PMBusPower<zrt4600aAC, zrt4600aDC, zrt4600aRC>::RefreshStatus\(\))$")
FUNCTION_THUNK = re.compile(r"^std::(?:_Function_handler<[^,]*\([^)]*\), |_Function_base::_Base_manager<)(.*)>::")

def side(name):
    # A std::function thunk belongs to the side of the callable it wraps.
    m = FUNCTION_THUNK.match(name)
    if m:
        name = m.group(1)
    if PLUGIN.match(name):
        return "plugin"
    if HOST.match(name) or (HOST_OBJECT.search(object_of.get(name, "")) and not LIBRARY_CODE.match(name)):
        return "host"
    return "library"

names, objects = {}, {}
def name_of(field, table=names):
    # "(id) name" defines a compressed name, "(id)" refers to it (objects and functions
    # number their names apart).
    m = re.match(r"\((\d+)\)(?:\s(.*))?$", field)
    if not m:
        return field
    if m.group(2) is not None:
        table[m.group(1)] = m.group(2)
    return table[m.group(1)]

object_of = {}  # function -> the object file its code is in

self_cost = defaultdict(int)
call_cost = defaultdict(int)  # inclusive cost of the calls a function makes
edges = defaultdict(int)      # (caller, callee) -> inclusive cost of those calls
fn = callee = None
after_calls = False
ob = ""
with open(sys.argv[1]) as f:
    for line in f:
        line = line.rstrip("\n")
        if line.startswith("ob="):
            ob = name_of(line[3:], objects)
        elif line.startswith("cob="):
            name_of(line[4:], objects)
        elif line.startswith("fn="):
            fn = re.sub(r"'\d+$", "", name_of(line[3:]))
            object_of.setdefault(fn, ob)
        elif line.startswith("cfn="):
            callee = re.sub(r"'\d+$", "", name_of(line[4:]))
        elif line.startswith("calls="):
            after_calls = True
        elif line and (line[0].isdigit() or line[0] in "+-*"):
            parts = line.split()
            cost = int(parts[1]) if len(parts) > 1 else 0
            if after_calls:
                call_cost[fn] += cost
                edges[(fn, callee)] += cost
                after_calls = False
            elif fn is not None:
                self_cost[fn] += cost

total = sum(self_cost.values())
entries = sorted(n for n in self_cost if ENTRY.match(n))
inclusive = sum(self_cost[n] + call_cost[n] for n in entries)
# Time inside plug-in frames: every entry into plug-in code from the host (the entry points
# and the history job the host runs for it) less every call from plug-in code into a host
# service. Library code the plug-in calls (strings, formatting, malloc) stays on its side.
entering = sum(c for (a, b), c in edges.items() if side(a) == "host" and side(b) == "plugin")
leaving = sum(c for (a, b), c in edges.items() if side(a) == "plugin" and side(b) == "host")
own = entering - leaving
self_plugin = sum(c for n, c in self_cost.items() if side(n) == "plugin")

print("instructions of one reference cycle (callgrind, Ir)")
print(f"  total                          {total:>10,}")
print(f"  plug-in, with the host calls   {inclusive:>10,}   (under {' and '.join(entries) or 'no entry point found'})")
print(f"  plug-in, without host calls    {own:>10,}   (goal: 150,000)")
print(f"  plug-in functions' own Ir      {self_plugin:>10,}   (callgrind's self cost, library calls left out)")
print()
print("host services called by the plug-in (inclusive Ir; the history job's calls are also inside CheckThresholdWork)")
calls = defaultdict(int)
for (a, b), c in edges.items():
    if side(a) == "plugin" and side(b) == "host":
        calls[b] += c
for n, c in sorted(calls.items(), key=lambda x: -x[1])[:8]:
    print(f"  {c:>9,}  {n[:120]}")
print()
print("largest functions (self Ir)")
for n, c in sorted(self_cost.items(), key=lambda x: -x[1])[:15]:
    print(f"  {c:>9,}  {side(n):<8} {n[:120]}")
PY
echo
cat "$build/cycle-count.txt"
