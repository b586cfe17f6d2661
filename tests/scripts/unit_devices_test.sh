#!/usr/bin/env bash
# The service unit lets the host open every kind of serial line a site may have: PC UARTs,
# USB adapters and the UARTs of ARM boards, each by its driver's name (DeviceAllow=char-NAME).
# Usage: unit_devices_test.sh UNIT_TEMPLATE
set -euo pipefail
unit="$1"
grep -q '^DevicePolicy=closed$' "${unit}" || { echo "${unit}: no DevicePolicy=closed"; exit 1; }
for name in ttyS ttyUSB ttyACM ttyAMA ttymxc ttyO ttySTM pts; do
  grep -q "^DeviceAllow=char-${name} rw$" "${unit}" || { echo "${unit}: no DeviceAllow=char-${name} rw"; exit 1; }
done
# Where systemd is at hand, it reads the unit without a complaint about these lines.
if command -v systemd-analyze >/dev/null 2>&1; then
  work="$(mktemp -d /tmp/zrt-unit.XXXXXX)"
  trap 'rm -rf "${work}"' EXIT
  sed 's|@ZRT_FULL_BINDIR@|/bin|' "${unit}" > "${work}/zrt4600a-host@.service"
  out="$(systemd-analyze verify "${work}/zrt4600a-host@site1.service" 2>&1 || true)"
  if grep -Ei 'DeviceAllow|device node' <<<"${out}"; then echo "systemd-analyze objects to a DeviceAllow line"; exit 1; fi
fi
echo "the unit allows every serial line kind"
