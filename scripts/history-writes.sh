#!/usr/bin/env bash
# What the host writes to storage to keep its history: runs zrt4600a-host on the built-in
# simulator of the reference site (examples/site.json) with --history for SECONDS, under
# strace counting fsync and fdatasync, reads write_bytes and wchar of /proc/PID/io just before
# it stops it with SIGTERM, and prints the figures scaled to a day beside the file's growth.
#
#   bash scripts/history-writes.sh [HOST_BIN] [SECONDS] [DIR] [COMMIT_S]
#
# HOST_BIN defaults to build/default/tools/zrt4600a-host, SECONDS to 600, DIR (on storage, not
# tmpfs: write_bytes counts what goes to a block device) to /var/tmp; COMMIT_S, when given,
# sets "history_commit_s" (a host without that setting takes none). Reports; fails only when
# it cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
host="${1:-build/default/tools/zrt4600a-host}"
seconds="${2:-600}"
dir="${3:-/var/tmp}"
commit_s="${4:-}"
command -v strace >/dev/null || { echo "history-writes: strace is not installed" >&2; exit 1; }
[ -x "$host" ] || { echo "history-writes: no host at $host" >&2; exit 1; }
plugin="$(dirname "$host")/../plugin/zrt4600a.so"
work="$(mktemp -d "$dir/history-writes.XXXXXX")"
trap 'rm -rf "$work"' EXIT
if [ -n "$commit_s" ]; then
  python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); s["history_commit_s"]=int(sys.argv[2]); json.dump(s, open(sys.argv[3],"w"))' \
    examples/site.json "$commit_s" "$work/site.json"
else
  cp examples/site.json "$work/site.json"
fi
strace -f -qq -c -e trace=fsync,fdatasync -o "$work/strace.txt" \
  "$host" --plugin "$plugin" --settings "$work/site.json" --plant examples/plant.json --simulate --json \
  --history "$work/site.db" >/dev/null 2>"$work/stderr.txt" &
tracer=$!
pid=""
for _ in $(seq 100); do
  pid="$(pgrep -P "$tracer" | head -n1 || true)"
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "history-writes: the host did not start" >&2; exit 1; }
sleep 5  # start-up (the file made, the first images) is not a day's writing
read -r wb0 wc0 < <(awk '/^write_bytes/ {w=$2} /^wchar/ {c=$2} END {print w, c}' "/proc/$pid/io")
# The file's size as a reader sees it (its pages, the log's included).
pages() { sqlite3 -readonly "$work/site.db" "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size"; }
size0=$(pages)
sleep "$seconds"
read -r wb1 wc1 < <(awk '/^write_bytes/ {w=$2} /^wchar/ {c=$2} END {print w, c}' "/proc/$pid/io")
kill -TERM "$pid"
wait "$tracer" || true
size1=$(pages)
fsyncs=$(awk '$NF == "fsync" || $NF == "fdatasync" {n += $4} END {print n + 0}' "$work/strace.txt")
cycles=$(sqlite3 "$work/site.db" "SELECT coalesce(sum(rows), 0) FROM cycle_chunk" 2>/dev/null || echo "?")
awk -v s="$seconds" -v wb=$((wb1 - wb0)) -v wc=$((wc1 - wc0)) -v f="$fsyncs" -v g=$((size1 - size0)) \
    -v c="$cycles" -v h="$host" -v k="${commit_s:-default}" 'BEGIN {
  d = 86400 / s
  printf "host %s, history_commit_s %s, %d s polled (%s cycles in the file)\n", h, k, s, c
  printf "written to storage (write_bytes): %.2f MB a day (%d bytes in %d s)\n", wb * d / 1e6, wb, s
  printf "handed to write() (wchar, the JSON lines to /dev/null included): %.2f MB a day\n", wc * d / 1e6
  printf "fsyncs and fdatasyncs: %.0f a day (%d in the run, start and stop included)\n", f * d, f
  printf "the file grew by about %.2f MB a day\n", g * d / 1e6
}'
