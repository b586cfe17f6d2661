#!/usr/bin/env bash
# What the other ways of seeing a site cost a day, for the uplink's figure: /metrics scraped
# every 15 s, and the live page's stream (one status a cycle), measured on the reference
# site run by the built host with the built-in simulator.
#   bash scripts/uplink-scrape-bytes.sh BUILD_DIR
set -euo pipefail
build="${1:-build/default}"
host="$build/tools/zrt4600a-host"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$host" --simulate --json --metrics "127.0.0.1:$port" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/healthz" >/dev/null 2>&1 && break; sleep 0.2; done
sleep 8
metrics=$(curl -s "http://127.0.0.1:$port/metrics" | wc -c)
status=$(curl -s "http://127.0.0.1:$port/api/v1/status" | wc -c)
awk -v m="$metrics" -v s="$status" 'BEGIN {
  printf "/metrics every 15 s: %d bytes a scrape, %d bytes a day (%.1f MB, before HTTP headers)\n", m, m * 5760, m * 5760 / 1e6
  printf "live page stream (a status a cycle, every 2.5 s): %d bytes a status, %d bytes a day (%.1f MB)\n", s, s * 34560, s * 34560 / 1e6
}'
