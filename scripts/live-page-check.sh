#!/usr/bin/env bash
# Checks the host's live page in headless Chromium: runs the host on the built-in simulator
# with a copy of examples/plant.json whose DC screen 21 drops from 53.5 V to 49.5 V at
# cycle 8, opens http://127.0.0.1:PORT/ and checks (scripts/live-page-check.py) that the
# page shows the voltage, shows it change without a reload, shows absent values as absent
# and active alarms, shows the uplink connected to a mosquitto started here, keeps a clean
# console, and shows its banner once the host stops.
# Leaves live-page.png (1280 px wide), live-page-phone.png (390 px) and the host's log in
# OUT (default build/live-page-check). BUILD_DIR picks the build tree (default
# build/default). Exit 0 when every check passes.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build/default}"
out="${OUT:-build/live-page-check}"
for tool in chromium python3 mosquitto; do
  command -v "${tool}" >/dev/null || { echo "live-page-check: ${tool} is missing" >&2; exit 2; }
done
if [ ! -f "${build}/CMakeCache.txt" ]; then cmake --preset default >/dev/null; fi
cmake --build "${build}" -j "${JOBS:-2}" --target zrt4600a-host >/dev/null

mkdir -p "${out}"
rm -rf "${out}/chromium-profile"
python3 - examples/plant.json "${out}/plant.json" <<'PY'
import json, sys
plant = json.load(open(sys.argv[1]))
plant["steps"].append({"cycle": 8, "set": {"dc[0].v": 49.5}})
json.dump(plant, open(sys.argv[2], "w"), ensure_ascii=False, indent=1)
PY
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port="$(free_port)"
mqtt_port="$(free_port)"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "${mqtt_port}" >"${out}/mosquitto.conf"
mosquitto -c "${out}/mosquitto.conf" >"${out}/mosquitto.log" 2>&1 &
broker_pid=$!
"${build}/tools/zrt4600a-host" --simulate --plant "${out}/plant.json" --site ci --metrics "127.0.0.1:${port}" \
  --uplink "mqtt://127.0.0.1:${mqtt_port}" >/dev/null 2>"${out}/host.log" &
host_pid=$!
trap 'kill "${host_pid}" "${broker_pid}" 2>/dev/null || true; wait "${host_pid}" "${broker_pid}" 2>/dev/null || true' EXIT
UPLINK_EXPECT="uplink connected · mqtt://127.0.0.1:${mqtt_port}" \
  python3 scripts/live-page-check.py "http://127.0.0.1:${port}/" "${host_pid}" "${out}" "53.5 V" "49.5 V"
echo "live-page-check: OK"
