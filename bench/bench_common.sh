# Sourced by the benchmark scripts: the executables of build tree $build, the simulated phone's
# UDID, the timing helpers and the start-up of the mounted drive.
sim=$build/peers/phone-sim/brimo-phone-sim
service=$build/Brimo.app/Contents/XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService
brimoctl=$build/Brimo.app/Contents/MacOS/brimoctl
udid=00008030-0000000000BE4C13

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { print b - a }'; }
# MiB/s of $1 bytes in $2 seconds.
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / (s * 1048576) }'; }

fail() {
  echo "$*" >&2
  exit 1
}
# Runs CMD every 50 ms until it succeeds, for at most $1 seconds.
wait_until() {
  local end=$((${EPOCHREALTIME/./} + $1 * 1000000))
  shift
  until "$@"; do
    ((${EPOCHREALTIME/./} < end)) || return 1
    sleep 0.05
  done
}

# The mounted drive in folder $1: start_phone starts the simulated phone on link model $2 serving
# $root ($1/root) and sets the clients' environment; start_service starts the service (what needs
# the phone's port to itself, such as the speed test, goes before it); mount_drive has the phone
# ask for its volume and waits until it is mounted on $mnt. stop_drive ends all of it, at any
# point of the start-up.
drive_dir=
drive_pids=()
start_phone() {
  mkdir -p "$1/root" "$1/runtime" "$1/data" "$1/home"
  chmod 700 "$1/runtime"
  drive_dir=$(realpath "$1")
  root=$drive_dir/root
  mnt=$drive_dir/home/Brimo
  export USBMUXD_SOCKET_ADDRESS=UNIX:$drive_dir/mux XDG_RUNTIME_DIR=$drive_dir/runtime \
    XDG_DATA_HOME=$drive_dir/data HOME=$drive_dir/home BRIMO_OPEN_TOOL=/bin/true
  "$sim" --socket "$drive_dir/mux" --control "$drive_dir/mux.control" --device "$udid" \
    --root "$root" --link-rate "$2" >"$drive_dir/sim.log" 2>&1 &
  drive_pids+=($!)
  wait_until 10 grep -qs ready "$drive_dir/sim.log" || fail "the simulator did not start"
}
start_service() {
  "$service" 2>"$drive_dir/service.log" &
  drive_pids+=($!)
  wait_until 10 test -S "$drive_dir/runtime/Ozm.Tarvel.Mac.XPC" || fail "the service did not start"
}
phone_reached_service() { [[ $(ctl push "$udid" mount mount) != "OK 0" ]]; }
mounted() { grep -q " $mnt .*fuse.brimo" /proc/self/mountinfo; }
mount_drive() {
  wait_until 20 phone_reached_service || fail "the service did not connect to the phone"
  wait_until 20 mounted || fail "the drive was not mounted"
}
# mount.brimo starts Brimofs in a session of its own: it is found by its mount point.
brimofs_pid() {
  local f args
  for f in /proc/[0-9]*/cmdline; do
    mapfile -d '' args 2>/dev/null <"$f" || continue
    ((${#args[@]} > 1)) && [[ ${args[0]} == Brimofs && ${args[-1]} == "$mnt" ]] || continue
    f=${f%/cmdline}
    echo "${f#/proc/}"
  done
}
stop_drive() {
  [[ -n $drive_dir ]] || return 0
  local pid
  if mounted; then fusermount3 -u -z "$mnt" || true; fi
  for pid in $(brimofs_pid); do
    kill "$pid" 2>/dev/null || continue
    wait_until 5 test ! -e "/proc/$pid" || kill -KILL "$pid" 2>/dev/null || true
  done
  for pid in "${drive_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  drive_pids=()
  drive_dir=
}

ctl() { "$sim" ctl --control "$drive_dir/mux.control" "$@"; }
# One count of the phone's `stats` line, e.g. `count code9`.
count() { ctl stats | tr ' ' '\n' | sed -n "s/^$1=//p" | grep . || echo 0; }
