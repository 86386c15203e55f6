#!/usr/bin/env bash
# The service's own IPC measurements, run through brimoctl against a real BrimoService (brimoctl
# registers as the extension and answers the service's side): chunks of 4 MiB from the service
# to the extension and back, and echo round trips from the extension. The baselines are the same
# bytes through a plain pipe in this script, and a raw Unix-socket ping-pong between two
# processes. Prints figures and ratios; asserts nothing.
#
# usage: bench/ipc_bench.sh BUILD_DIR [CHUNKS, default 64]
set -euo pipefail
build=$1
chunks=${2:-64}
chunk=$((4 * 1024 * 1024))
service=$build/Brimo.app/Contents/XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService
brimoctl=$build/Brimo.app/Contents/MacOS/brimoctl

work=$(mktemp -d)
cleanup() {
  [[ -n ${service_pid:-} ]] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -m 700 "$work/runtime"
# No phone is needed: the usbmux daemon's socket simply does not exist.
export XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data USBMUXD_SOCKET_ADDRESS=UNIX:$work/none
"$service" 2>"$work/service.log" &
service_pid=$!
until [[ -S $work/runtime/Ozm.Tarvel.Mac.XPC ]]; do sleep 0.05; done

t0=$(date +%s.%N)
head -c $((chunk * chunks)) /dev/zero | cat >/dev/null
t1=$(date +%s.%N)
pipe=$(awk -v a="$t0" -v b="$t1" -v n=$((chunk * chunks)) 'BEGIN { print n / ((b - a) * 1048576) }')

seconds() { sed -n 's/.*bytes: \([0-9.]*\) s.*/\1/p'; }
to_ext=$("$brimoctl" throughput to-ext "$chunk" "$chunks" | seconds)
from_ext=$("$brimoctl" throughput from-ext "$chunk" "$chunks" | seconds)
# Echoes and the raw ping-pong alternate, five rounds each, and the medians are compared: on a
# shared two-core machine single runs of a few hundred milliseconds stray by half and more.
each() { sed -n 's/.*(\([0-9.]*\) ms each).*/\1/p'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echoes=() pings=()
for _ in 1 2 3 4 5; do
  echo_line=$("$brimoctl" extping 2000)
  echoes+=("$(each <<<"$echo_line")")
  pings+=("$("$build/bench/socket_ping_pong_bench" 20000 | each)")
done
echo "IPC measurements, $chunks chunks of 4 MiB:"
awk -v p="$pipe" -v to="$to_ext" -v from="$from_ext" -v n=$((chunk * chunks)) 'BEGIN {
  printf "  pipe in this script           %8.1f MiB/s (baseline)\n", p
  t = n / (to * 1048576); f = n / (from * 1048576)
  printf "  service to extension          %8.1f MiB/s  ratio %.3f\n", t, t / p
  printf "  extension to service          %8.1f MiB/s  ratio %.3f\n", f, f / p }'
awk -v e="$(median "${echoes[@]}")" -v p="$(median "${pings[@]}")" 'BEGIN {
  printf "  echo round trip %.1f us against %.1f us for a raw Unix-socket ping-pong (medians of 5 alternating runs): ratio %.2f\n",
    e * 1000, p * 1000, e / p }'
