#!/usr/bin/env bash
# The main job: a simulated phone on a simulated usbmux daemon (over a modelled USB 2.0 link),
# and one link speed-test round against it through the real libusbmuxd.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
build=${BRIMO_BUILD_DIR:-$root/build}
sim=$build/peers/phone-sim/brimo-phone-sim
udid=00008030-001A2B3C4D5E6F70

work=$(mktemp -d)
cleanup() {
  [[ -n ${sim_pid:-} ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --socket "$work/usbmuxd.sock" --device "$udid" --root "$work/phone" \
  --link-rate usb2 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q ready "$work/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log"; exit 1; }
  sleep 0.1
done
echo "== phone simulator running (USB 2.0 link model), device $udid"

export USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd.sock"
echo "== attached phones (idevice_id -l)"
idevice_id -l
echo "== speed test"
"$build/service/brimo-speedtest"
