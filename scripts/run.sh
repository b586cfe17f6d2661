#!/usr/bin/env bash
# Builds the plug-in and the host when needed, then runs the main job: the host drives the
# example site on the built-in simulator for three cycles.
#   bash scripts/run.sh                  live view on a terminal, JSON lines otherwise
#   bash scripts/run.sh --json           JSON lines
#   bash scripts/run.sh --cycles 10 --query 21:v --history site.db
# Later options override earlier ones, so --cycles here replaces the default 3.
# BUILD_DIR picks the build tree (default build/default, made with the "default" preset).
set -euo pipefail
cd "$(dirname "$0")/.."

# On a fresh machine this installs the build dependencies first.
bash scripts/install-deps.sh --if-missing >&2

build="${BUILD_DIR:-build/default}"
if [ ! -f "${build}/CMakeCache.txt" ]; then
  if [ "${build}" = "build/default" ]; then
    cmake --preset default >&2
  else
    cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
  fi
fi
cmake --build "${build}" -j "${JOBS:-2}" --target zrt4600a-host zrt4600a-sim >&2
exec "${build}/tools/zrt4600a-host" --simulate --cycles 3 "$@"
