#!/usr/bin/env bash
# Performance figures of the plug-in. Reports, never fails on a figure: a step fails only
# when it cannot run. docs/performance.md says what each figure means.
#
#   bash scripts/bench.sh                  every step
#   bash scripts/bench.sh micro cycle      only the named steps
# Steps:
#   micro   Google Benchmark: frame decoder, parse hooks, RoundDone, Get_Value (medians)
#   cycle   whole cycles over a pty paced at 9600 baud, wall time / wire time, both top devices,
#           then two systems sharing the line
#   count   instructions of one reference cycle (callgrind) and heap allocations per phase
#   size    the stripped armhf zrt4600a.so
#   history a day of the reference site's history (size), export and report over 30 days
#           (not in the default list: it takes several minutes)
#   writes  what a day of the reference site's history writes to storage (a simulated day
#           through the store, fsyncs counted with strace), then the host itself on the
#           simulator for WRITES_SECONDS (default 600) by scripts/history-writes.sh
#   uplink  the Sparkplug uplink's bytes a day for the reference site, beside the history's and
#           a scrape's; a fleet of uplinks against one mosquitto (FLEET_SITES, FLEET_SECONDS;
#           default 200 sites for 300 s; FLEET_SECONDS=0 skips it)
#   http    scrapes answered while 200 idle and 50 slow-header clients hold connections, in
#           process and against the host on its simulator (about a minute; not in the default list)
#   stream  bytes of the live page's event stream in 30 s, gzipped as a browser takes it and
#           plain (not in the default list)
# Environment: BUILD_DIR (default build-bench), REPETITIONS (default 5), CYCLES (default 5).
# The figures are also written to $BUILD_DIR/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-build-bench}"
repetitions="${REPETITIONS:-5}"
cycles="${CYCLES:-5}"
steps=("$@")
if [ "${#steps[@]}" -eq 0 ]; then steps=(micro cycle count size); fi
results="$build/bench-results"

configure() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRT_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target zrt-bench zrt-bench-cycle zrt-cycle-count zrt-bench-history zrt-bench-uplink >/dev/null
  mkdir -p "$results"
}

machine() {
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
       "load average $(cut -d' ' -f1-3 /proc/loadavg), $(uname -sr)"
}

for step in "${steps[@]}"; do
  case "$step" in
    micro)
      configure
      echo "== micro benchmarks (median of $repetitions repetitions; CPU time is the figure to quote on a busy machine)"
      machine
      "$build/bench/zrt-bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_color=false --benchmark_out="$results/micro.json" --benchmark_out_format=json \
        | grep -v -e '_mean' -e '_stddev' -e '_cv' | tee "$results/micro.txt"
      ;;
    cycle)
      configure
      echo "== paced pty cycles, site settings"
      machine
      "$build/bench/zrt-bench-cycle" --cycles "$cycles" | tee "$results/cycle.txt"
      echo "== paced pty cycles, every group read each cycle"
      "$build/bench/zrt-bench-cycle" --cycles "$cycles" --full-reads | tee "$results/cycle-full.txt"
      ;;
    count)
      echo "== one reference cycle under callgrind"
      mkdir -p "$results"
      BUILD_DIR="$build" bash scripts/callgrind-cycle.sh | tee "$results/count.txt"
      ;;
    size)
      echo "== stripped armhf zrt4600a.so"
      if [ ! -d build/armhf ]; then cmake --preset armhf >/dev/null; fi
      cmake --build build/armhf -j2 --target zrt4600a >/dev/null
      mkdir -p "$results"
      cp build/armhf/plugin/zrt4600a.so "$results/zrt4600a.armhf.so"
      arm-linux-gnueabihf-strip "$results/zrt4600a.armhf.so"
      bytes=$(stat -c %s "$results/zrt4600a.armhf.so")
      awk -v b="$bytes" 'BEGIN { printf "zrt4600a.so (armhf, stripped): %d bytes = %.1f KiB (goal: 200 KiB)\n", b, b / 1024 }' \
        | tee "$results/size.txt"
      ;;
    history)
      configure
      echo "== history: a day of the reference site, export and report over 30 days"
      machine
      "$build/bench/zrt-bench-history" "${HISTORY_DIR:-/tmp}" | tee "$results/history.txt"
      ;;
    writes)
      configure
      echo "== history writes: a simulated day of the reference site, then the host on the simulator"
      machine
      strace -f -qq -c -e trace=fsync,fdatasync -o "$results/writes-strace.txt" \
        "$build/bench/zrt-bench-history" --writes --commit-s 60 "${WRITES_DIR:-/var/tmp}" | tee "$results/writes.txt"
      awk '$NF == "fsync" || $NF == "fdatasync" {n += $4} END {printf "fsyncs and fdatasyncs of that day: %d\n", n}' \
        "$results/writes-strace.txt" | tee -a "$results/writes.txt"
      cmake --build "$build" -j2 --target zrt4600a-host zrt4600a >/dev/null
      bash scripts/history-writes.sh "$build/tools/zrt4600a-host" "${WRITES_SECONDS:-600}" "${WRITES_DIR:-/var/tmp}" \
        | tee -a "$results/writes.txt"
      ;;
    uplink)
      configure
      echo "== uplink: the reference site's jittering day over MQTT, beside the other ways to see it"
      machine
      "$build/bench/zrt-bench-uplink" day "${HISTORY_DIR:-/tmp}" | tee "$results/uplink.txt"
      # The same day as the history file keeps it, and as a scraper or the live page sees it.
      "$build/bench/zrt-bench-history" --day "${HISTORY_DIR:-/tmp}" | grep -i "jitter" | tee -a "$results/uplink.txt" || true
      bash scripts/uplink-scrape-bytes.sh "$build" | tee -a "$results/uplink.txt"
      if [ "${FLEET_SECONDS:-300}" != 0 ]; then
        echo "== uplink fleet"
        "$build/bench/zrt-bench-uplink" fleet "${FLEET_SITES:-200}" "${FLEET_SECONDS:-300}" "${HISTORY_DIR:-/tmp}" \
          | tee -a "$results/uplink.txt"
      fi
      ;;
    http|stream)
      cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZRT_BUILD_BENCH=ON >/dev/null
      cmake --build "$build" -j2 --target zrt-bench-http zrt4600a-host zrt4600a >/dev/null
      mkdir -p "$results"
      machine
      port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
      "$build/tools/zrt4600a-host" --simulate --metrics "127.0.0.1:$port" >/dev/null 2>"$results/host.log" &
      host_pid=$!
      for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/healthz" && break; sleep 0.1; done
      if [ "$step" = http ]; then
        echo "== HTTP under held connections, the server in process"
        "$build/bench/zrt-bench-http" --seconds 20 | tee "$results/http.txt" || true
        echo "== HTTP under held connections, the host on its simulator"
        "$build/bench/zrt-bench-http" --port "$port" --seconds 20 | tee -a "$results/http.txt" || true
      else
        echo "== the event stream of one open page, 30 s"
        gz=$(curl -s --compressed -m 30 -o /dev/null -w '%{size_download}' "http://127.0.0.1:$port/events" || true)
        plain=$(curl -s -m 30 -o /dev/null -w '%{size_download}' "http://127.0.0.1:$port/events" || true)
        awk -v g="$gz" -v p="$plain" 'BEGIN { printf "gzip: %d bytes in 30 s (at most %.1f MB a day); plain: %d bytes (at most %.1f MB a day)\n",
          g, g * 2880 / 1e6, p, p * 2880 / 1e6 }' | tee "$results/stream.txt"
      fi
      kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
      ;;
    *)
      echo "unknown step: $step (micro, cycle, count, size, history, writes, uplink, http, stream)" >&2
      exit 2
      ;;
  esac
done
