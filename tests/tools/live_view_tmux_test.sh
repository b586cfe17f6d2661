#!/usr/bin/env bash
# The live view on a terminal (a tmux pane) stays clean: the plug-in's trace lines
# ("a:221.5 b:220.8 c:222.1 f:50") never reach the terminal, while --trace FILE still gets
# them, and piped output keeps them on standard error, off the JSON lines.
# Usage: live_view_tmux_test.sh HOST PLUGIN   (exit 77, skipped, without tmux)
set -euo pipefail
host="$1" plugin="$2"
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 77; }
work="$(mktemp -d /tmp/zrt-view.XXXXXX)"
sock="zrt-view-$$"
trap 'tmux -L "${sock}" kill-server 2>/dev/null || true; rm -rf "${work}"' EXIT
trace_re='a:[0-9.]+ b:[0-9.]+ c:[0-9.]+ f:[0-9.]+'

# Runs the host in a 100x40 pane with these extra options; the pane's whole output stream
# is kept in ${work}/$1.raw and its last screen in ${work}/$1.screen.
run_in_pane() {
  local tag="$1"; shift
  tmux -L "${sock}" new-session -d -s "${tag}" -x 100 -y 40 \
    "sleep 1; '${host}' --plugin '${plugin}' --simulate --cycles 2 $*; echo; echo host-exit-\$?; sleep 60"
  tmux -L "${sock}" pipe-pane -o -t "${tag}" "cat > '${work}/${tag}.raw'"
  for _ in $(seq 1 120); do
    sleep 0.5
    grep -q 'host-exit-' "${work}/${tag}.raw" 2>/dev/null && break
  done
  tmux -L "${sock}" capture-pane -p -t "${tag}" > "${work}/${tag}.screen"
  grep -q 'host-exit-0' "${work}/${tag}.raw" || {
    echo "the host in the pane (${tag}) did not end with exit 0:"; cat "${work}/${tag}.screen"; exit 1; }
}

# The view ran (its cycle line shows), and no trace line ever reached the terminal.
run_in_pane plain
grep -qi 'cycle' "${work}/plain.screen" || { echo "no live view in the pane:"; cat "${work}/plain.screen"; exit 1; }
if grep -Eq "${trace_re}" "${work}/plain.raw"; then
  echo "trace lines reached the live view's terminal:"; grep -Eao "${trace_re}" "${work}/plain.raw" | head -3; exit 1
fi

# Asked for, they go to the file and still not to the terminal.
run_in_pane traced --trace "${work}/trace.txt"
grep -Eq "${trace_re}" "${work}/trace.txt" || { echo "--trace FILE got no trace lines"; exit 1; }
if grep -Eq "${trace_re}" "${work}/traced.raw"; then echo "trace lines reached the terminal with --trace FILE"; exit 1; fi

# Piped: JSON lines on standard output, the trace lines on standard error as before.
"${host}" --plugin "${plugin}" --simulate --cycles 1 >"${work}/out.jsonl" 2>"${work}/err.txt"
grep -q '"event":"cycle"' "${work}/out.jsonl" || { echo "no cycle in the piped output"; exit 1; }
if grep -Eq "${trace_re}" "${work}/out.jsonl"; then echo "trace lines in the piped standard output"; exit 1; fi
grep -Eq "${trace_re}" "${work}/err.txt" || { echo "piped, the trace lines left standard error"; exit 1; }
echo "live view clean; trace lines in the file and on standard error when piped"
