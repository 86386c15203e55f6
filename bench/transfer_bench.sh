#!/usr/bin/env bash
# Whole-file reads and writes end to end (brimoctl → IPC → BrimoService → libusbmuxd → the phone
# simulator → its disk), next to the link speed test of the same link and byte count, in one
# run; unthrottled, on the USB 2.0 link model and on a 400 MB/s (USB 3-class) model, with the
# service's CPU time (user + system, from /proc) per GiB moved, next to this machine's own cost of
# writing a file at the same pace. The first round after the service started, cold, is reported
# beside the median of the warm rounds after it. Then the service's peak memory during a 1 GiB
# read. Prints figures and ratios; asserts nothing.
#
# usage: bench/transfer_bench.sh BUILD_DIR [MiB, default 256]
# BRIMO_TRANSFER_ROUNDS sets the warm rounds per link model (default 3).
set -euo pipefail
build=$1
mib=${2:-256}
rounds=${BRIMO_TRANSFER_ROUNDS:-3}
bytes=$((mib * 1024 * 1024))
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts the simulator (link rate $1) and a service of its own; sets USBMUXD_SOCKET_ADDRESS,
# XDG_RUNTIME_DIR and XDG_DATA_HOME for the clients.
pairs=0
start_pair() {
  pairs=$((pairs + 1))
  local dir=$work/pair$pairs
  mkdir -p "$dir/root" "$dir/runtime" "$dir/data"
  chmod 700 "$dir/runtime"
  "$sim" --socket "$dir/mux" --device "$udid" --root "$dir/root" ${1:+--link-rate $1} \
    >"$dir/sim.log" 2>&1 &
  pids+=($!)
  until grep -q ready "$dir/sim.log"; do sleep 0.05; done
  export USBMUXD_SOCKET_ADDRESS=UNIX:$dir/mux XDG_RUNTIME_DIR=$dir/runtime XDG_DATA_HOME=$dir/data
  service_log=$dir/service.log
  "$service" 2>"$service_log" &
  service_pid=$!
  pids+=($service_pid)
  until [[ -S $dir/runtime/Ozm.Tarvel.Mac.XPC ]]; do sleep 0.05; done
  root=$dir/root
}

run_case() {
  local label=$1 rate_arg=$2
  start_pair "$rate_arg"
  head -c "$bytes" /dev/urandom >"$root/payload.bin"
  # Round 0 is the cold one, the first read and write right after the service started: it also
  # pays for this machine's fresh memory pages, which fault in slowly on their first touch, and
  # is reported on its own. Then $rounds warm rounds; their medians are reported, as single
  # rounds on a shared virtual machine stray by 10 % and more.
  local reads=() writes=() cpus=() fetches=() pushes=() round t0 t1 t2 cpu0 cpu1
  for ((round = 0; round <= rounds; round++)); do
    rm -f "$work/read.bin" "$root/written.bin"
    cpu0=$(cpu_seconds "$service_pid")
    t0=$(now)
    "$brimoctl" --role fileProvider read payload.bin --out "$work/read.bin" >/dev/null 2>&1
    t1=$(now)
    "$brimoctl" --role fileProvider write written.bin "$work/read.bin" >/dev/null 2>&1
    t2=$(now)
    cpu1=$(cpu_seconds "$service_pid")
    cmp -s "$root/payload.bin" "$work/read.bin" || echo "  read content differs!"
    cmp -s "$root/payload.bin" "$root/written.bin" || echo "  written content differs!"
    reads+=("$(rate "$bytes" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')")")
    writes+=("$(rate "$bytes" "$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')")")
    cpus+=("$(awk -v a="$cpu0" -v b="$cpu1" -v n="$bytes" 'BEGIN { print (b - a) / (2 * n / 1073741824) }')")
    # The service's own view of the round, without brimoctl's work on either side.
    fetches+=("$(grep 'fetchRemoteFile benchmark' "$service_log" | tail -1 | sed -n 's/.* effective=\([0-9.]*\).*/\1/p')")
    pushes+=("$(grep 'pushSharedFile benchmark' "$service_log" | tail -1 | sed -n 's/.* effective=\([0-9.]*\).*/\1/p')")
  done
  # The speed test needs the port to itself: stop this service first.
  kill "$service_pid"; wait "$service_pid" 2>/dev/null || true
  local report down up
  report=$("$build/service/brimo-speedtest" --bytes "$bytes" 2>/dev/null | tail -2)
  down=$(sed -n 's/^Download: \([0-9.]*\) MiB.*/\1/p' <<<"$report")
  up=$(sed -n 's/^Upload: \([0-9.]*\) MiB.*/\1/p' <<<"$report")
  local r w f p c
  r=$(median "${reads[@]:1}") w=$(median "${writes[@]:1}") c=$(median "${cpus[@]:1}")
  f=$(median "${fetches[@]:1}") p=$(median "${pushes[@]:1}")
  echo "$label, $mib MiB, cold round and median of $rounds warm rounds:"
  echo "  speed test: download $down MiB/s, upload $up MiB/s (baseline)"
  awk -v r="$r" -v w="$w" -v d="$up" -v u="$down" 'BEGIN {
    printf "  read  %8.1f MiB/s  ratio to speed-test upload   %.3f\n", r, r / d
    printf "  write %8.1f MiB/s  ratio to speed-test download %.3f\n", w, w / u }'
  awk -v r="${reads[0]}" -v w="${writes[0]}" -v d="$up" -v u="$down" 'BEGIN {
    printf "  cold read  %8.1f MiB/s  ratio to speed-test upload   %.3f\n", r, r / d
    printf "  cold write %8.1f MiB/s  ratio to speed-test download %.3f\n", w, w / u }'
  awk -v f="$f" -v p="$p" -v d="$up" -v u="$down" 'BEGIN {
    printf "  in the service: fetch %.1f MiB/s (%.3f), push %.1f MiB/s (%.3f)\n", f, f / d, p, p / u }'
  awk -v f="${fetches[0]}" -v p="${pushes[0]}" -v d="$up" -v u="$down" 'BEGIN {
    printf "  in the service, cold: fetch %.1f MiB/s (%.3f), push %.1f MiB/s (%.3f)\n", f, f / d, p, p / u }'
  printf "  service CPU %.2f s per GiB moved (user + system; warm rounds: %s; cold %s)\n" "$c" \
    "${cpus[*]:1}" "${cpus[0]}"
  # What this machine charges for landing the same bytes in a file at the read's pace, with no
  # service at all: 4 MiB pwrite + fdatasync steps. On a virtual machine it grows as the link
  # slows, because memory left idle between chunks is faulted in again.
  local pace=${rate_arg:+$r} floor
  floor=$("$build/bench/paced_write_bench" "$work" "$mib" "${pace:-0}")
  awk -v f="$floor" -v c="$c" -v p="${pace:-0}" 'BEGIN {
    how = p > 0 ? sprintf("at %.1f MiB/s", p) : "unpaced"
    printf "  machine floor: a bare pwrite + fdatasync loop %s costs %.2f s per GiB (service / floor %.2f)\n", how, f, c / f }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# User + system seconds the process has used.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); print ($12 + $13) / hz }' "/proc/$1/stat"
}

# BRIMO_TRANSFER_LINKS picks the link models (default: all three).
for link in ${BRIMO_TRANSFER_LINKS:-unthrottled usb2 400M}; do
  case $link in
    unthrottled) run_case "unthrottled" "" ;;
    usb2) run_case "USB 2.0 model" usb2 ;;
    *) run_case "$link model" "$link" ;;
  esac
done

start_pair ""
head -c $((1024 * 1024 * 1024)) /dev/zero >"$root/big.bin"
"$brimoctl" --role fileProvider read big.bin --out "$work/big.out" >/dev/null 2>&1 || true
peak=$(awk '/VmHWM/ { print $2 }' "/proc/$service_pid/status")
echo "service peak memory during a 1 GiB read: $((peak / 1024)) MiB (target: at most 32 MiB)"
