#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan + UBSan) and runs each one for a
# bounded time from the committed seed corpus (fuzz/corpus/<target>). Exits non-zero when a
# target finds a crash, a sanitizer report or a broken property; the input that did it is
# kept as <build>/artifacts/<target>-crash-* (replay it: <build>/fuzz/fuzz_<target> <file>).
#
#   bash scripts/fuzz.sh                        every target, 15 s each, two at a time
#   bash scripts/fuzz.sh conversation cache     only these targets
#   FUZZ_SECONDS=1800 bash scripts/fuzz.sh      a longer local run: 30 min per target
#
# Environment:
#   FUZZ_SECONDS  seconds per target (default 15)
#   FUZZ_JOBS     targets run at the same time (default 2; each uses one core)
#   FUZZ_BUILD    build directory (default build/fuzz)
# The corpus each target grows is kept in <build>/work/<target> and used again by the next
# run, so repeated local runs go on where the last one stopped; delete it to start over
# from the seeds. After a longer run, new seeds worth keeping can be merged into the tree:
#   <build>/fuzz/fuzz_<target> -merge=1 fuzz/corpus/<target> <build>/work/<target>
# The seed corpus itself is written by <build>/fuzz/zrt_fuzz_corpus fuzz/corpus.
# A finding replays with whole allocation stacks (the targets keep none by default):
#   ASAN_OPTIONS=malloc_context_size=30 <build>/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-15}"
jobs="${FUZZ_JOBS:-2}"
build="${FUZZ_BUILD:-build/fuzz}"
all=(frame_decoder ac_parse dc_parse rc_parse cache get_value init_setting conversation)
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then targets=("${all[@]}"); fi

echo "== fuzz: configure and build (${build})"
cmake --preset fuzz -B "${build}" > /dev/null
cmake --build "${build}" -j "${jobs}" --target fuzz_all

mkdir -p "${build}/work" "${build}/artifacts" "${build}/logs"

run_one() {
  local t="$1"
  local dict=()
  # Targets with a dictionary (fuzz/<target>.dict: command pieces, settings keys) use it.
  if [ -f "fuzz/${t}.dict" ]; then dict=(-dict="fuzz/${t}.dict"); fi
  mkdir -p "${build}/work/${t}"
  "${build}/fuzz/fuzz_${t}" -max_total_time="${seconds}" -print_final_stats=1 -timeout=20 \
    -rss_limit_mb=2560 -artifact_prefix="${build}/artifacts/${t}-" "${dict[@]}" \
    "${build}/work/${t}" "fuzz/corpus/${t}" > "${build}/logs/${t}.log" 2>&1
}

echo "== fuzz: ${#targets[@]} target(s), ${seconds} s each, ${jobs} at a time"
declare -A pid_of
running=0
for t in "${targets[@]}"; do
  if [ ! -d "fuzz/corpus/${t}" ]; then echo "unknown target: ${t}" >&2; exit 2; fi
  if [ "${running}" -ge "${jobs}" ]; then wait -n || true; running=$((running - 1)); fi
  run_one "${t}" &
  pid_of["${t}"]=$!
  running=$((running + 1))
done

failed=0
for t in "${targets[@]}"; do
  status=0
  wait "${pid_of[${t}]}" || status=$?
  log="${build}/logs/${t}.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "${log}" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "${log}" | tail -1)
  if [ "${status}" -eq 0 ]; then
    printf '%-14s ok      %10s runs  %8s exec/s  %6s new inputs\n' "${t}" "${execs:-?}" "${rate:-?}" "${added:-?}"
  else
    failed=1
    printf '%-14s FINDING (exit %s), log: %s\n' "${t}" "${status}" "${log}"
    grep -E 'ERROR|SUMMARY|Test unit written|what\(\)' "${log}" | head -8 || true
  fi
done
exit "${failed}"
