#!/usr/bin/env bash
# The desktop app at rest, in one run on a virtual desktop (Xvfb with a trayer panel as its
# tray) with the service and the simulated phone running and the phone attached: the app's CPU
# time (utime + stime) over a while with its window closed and over as long with it open, and
# its memory (VmRSS) at the end of each, against an idle `sleep` measured over the same time.
# Prints figures and ratios; asserts nothing.
#
# usage: bench/app_idle_bench.sh BUILD_DIR   (BRIMO_IDLE_SECONDS: each while, default 60)
set -euo pipefail
build=$1
seconds=${BRIMO_IDLE_SECONDS:-60}
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/bench_common.sh"
source "$here/../scripts/lib/desktop.sh"

work=$(mktemp -d)
mkdir -p "$work/root" "$work/runtime" "$work/home/Applications"
chmod 700 "$work/runtime"
export USBMUXD_SOCKET_ADDRESS=UNIX:$work/mux XDG_RUNTIME_DIR=$work/runtime HOME=$work/home \
  XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
  XDG_STATE_HOME=$work/home/.local/state
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    if kill "$pid" 2>/dev/null; then wait "$pid" 2>/dev/null || true; fi
  done
  desktop_stop
  rm -rf "$work"
}
trap cleanup EXIT

# Polls the command until it succeeds, for at most 30 s.
wait_for() {
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  echo "gave up waiting for: $*" >&2
  return 1
}
# CPU time of a process in ms: utime + stime, the 12th and 13th fields after "(comm) ".
cpu_ms() {
  sed 's/.*) //' "/proc/$1/stat" |
    awk -v hz="$(getconf CLK_TCK)" '{ print ($12 + $13) * 1000 / hz }'
}
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# Always a virtual desktop, whatever the user's: the figures do not depend on it.
unset DISPLAY
desktop_start

"$sim" --socket "$work/mux" --control "$work/mux.control" --device "$udid" --root "$work/root" \
  >"$work/sim.log" 2>&1 &
pids+=($!)
wait_for grep -q ready "$work/sim.log"
"$service" 2>"$work/service.log" &
pids+=($!)
wait_for test -S "$work/runtime/Ozm.Tarvel.Mac.XPC"

cp -a "$build/Brimo.app" "$HOME/Applications/"
app=$HOME/Applications/Brimo.app/Contents/MacOS/Brimo
QT_QPA_PLATFORM=xcb "$app" >"$work/app.log" 2>&1 &
app_pid=$!
pids=("$app_pid" "${pids[@]}")
sleep $((3 * seconds + 600)) &
sleep_pid=$!
pids+=("$sleep_pid")

# Steady: registered with the phone attached, and the updater's start has ended (it could not
# start, or its first check is over).
steady() {
  grep -q "state: connected=true phone=true drive=false" "$work/app.log" &&
    grep -Eq "Sparkle updater|\[Sparkle\] cycle finished" "$work/app.log"
}
wait_for steady
window=$(desktop_wait_window Brimo)

# Measures both processes over the while; sets app_cpu, sleep_cpu (ms), app_rss, sleep_rss (KiB).
measure() {
  local app0 sleep0
  app0=$(cpu_ms "$app_pid")
  sleep0=$(cpu_ms "$sleep_pid")
  sleep "$seconds"
  app_cpu=$(awk -v a="$app0" -v b="$(cpu_ms "$app_pid")" 'BEGIN { print b - a }')
  sleep_cpu=$(awk -v a="$sleep0" -v b="$(cpu_ms "$sleep_pid")" 'BEGIN { print b - a }')
  app_rss=$(rss_kib "$app_pid")
  sleep_rss=$(rss_kib "$sleep_pid")
}

# Closed with Ctrl+W: the app stays in the tray.
xdotool windowfocus --sync "$window" key ctrl+w
window_gone() { [[ -z $(xdotool search --onlyvisible --name '^Brimo$') ]]; }
wait_for window_gone
measure
closed=("$app_cpu" "$sleep_cpu" "$app_rss" "$sleep_rss")

# Launched again, the app brings up its window and the second process ends at once.
QT_QPA_PLATFORM=xcb timeout 30 "$app" >>"$work/app.log" 2>&1
desktop_wait_window Brimo >/dev/null
measure
open=("$app_cpu" "$sleep_cpu" "$app_rss" "$sleep_rss")

awk -v s="$seconds" -v c="${closed[*]}" -v o="${open[*]}" 'BEGIN {
  split(c, C, " "); split(o, O, " ")
  sleep_cpu = (C[2] + O[2]) / 2; sleep_rss = (C[4] + O[4]) / 2
  printf "Desktop app at rest, %d s each (Xvfb + trayer; service and phone running, attached):\n", s
  printf "  sleep:                CPU %6.0f ms (%.3f %% of one core), RSS %6.1f MiB (baseline)\n",
    sleep_cpu, sleep_cpu / (s * 10), sleep_rss / 1024
  row("Brimo, window closed:", C[1], C[3], s, sleep_cpu, sleep_rss)
  row("Brimo, window open:  ", O[1], O[3], s, sleep_cpu, sleep_rss)
}
function row(name, cpu, rss, s, base_cpu, base_rss,   ratio) {
  ratio = base_cpu > 0 ? sprintf("%.0fx sleep", cpu / base_cpu) : "sleep used none"
  printf "  %s CPU %6.0f ms (%.3f %% of one core; %s), RSS %6.1f MiB (%.1fx sleep)\n", name,
    cpu, cpu / (s * 10), ratio, rss / 1024, rss / base_rss
}'
