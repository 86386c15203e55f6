#!/usr/bin/env bash
# The mounted drive's reads of pieces of files, against baselines measured in the same run, on
# the USB 2.0 link model unless said:
#  1. head -c 4096 of a 1 GiB file never read before: the time, and the read chunks and bytes
#     the phone served for it, against the time of one 4 MiB chunk through the service;
#  2. the same with tail -c 4096;
#  3. cp of 256 MiB out of and into the drive against the link speed test of as many bytes, on
#     each link model of the arguments or BRIMO_STREAM_LINKS (default: usb2 400M): once as the
#     machine is, once with fresh memory touched first (see touch_memory), beside the rate at
#     which the machine writes a new file;
#  4. a file manager's first look at a folder of 200 photos of 3 MiB: ls -l, then the first
#     64 KiB of each; the time, and the bytes the phone served against the folder's size;
#  5. SIGINT, then SIGKILL, to a cat of a 1 GiB file after 1 s: the time until it is gone,
#     against the same signal to a cat of /dev/zero;
#  6. a second cat of an unchanged 64 MiB file: the chunks fetched and the time against a second
#     read of the same file on this machine;
#  7. on the 400M model, the peak memory (VmHWM) of Brimofs after a cat of a 1 GiB file, against
#     its peak right after mounting.
# Each step prints its goal beside its figures and how long it took. A program still running
# after BRIMO_STREAM_BOUND seconds (120) is cut off and reported so: killed, and when the drive
# holds it even then, Brimofs is killed (which ends all its requests) and the drive mounted
# again. Prints figures and ratios; asserts nothing.
#
# usage: bench/stream_bench.sh BUILD_DIR [LINK...]
# BRIMO_STREAM_STEPS selects steps (e.g. "1 2 6"; default all).
set -euo pipefail
build=$1
shift
links=" ${*:-${BRIMO_STREAM_LINKS:-usb2 400M}} "
steps=" ${BRIMO_STREAM_STEPS:-1 2 3 4 5 6 7} "
steps=${steps//,/ }
bound=${BRIMO_STREAM_BOUND:-120}
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

mib=$((1 << 20))
gib=$((1 << 30))
cp_bytes=$((256 * mib))
photos=200
photo_bytes=$((3 * mib))

work=$(mktemp -d)
trap 'stop_drive; rm -rf --one-file-system "$work"' EXIT
# A sleep without a process: a read that waits on a pipe nobody writes.
exec {nap_fd}<> <(:)
nap() { read -rt "$1" -u "$nap_fd" || true; }

step() { [[ $steps == *" $1 "* ]]; }
usec() { echo "${EPOCHREALTIME/./}"; }
seconds() { awk -v u="$1" 'BEGIN { printf "%.3f", u / 1e6 }'; }
step_started=
begin() {
  step_started=$(usec)
  echo "$*"
}
end() { echo "  (step took $(seconds $(($(usec) - step_started))) s)"; }

# Whether process $1 still runs (a zombie has ended).
running() {
  local _ state
  read -r _ _ state _ 2>/dev/null </proc/"$1"/stat && [[ $state != Z ]]
}
# Waits until process $1 has ended, at most $2 seconds; false when it still runs then. Polls
# every millisecond for the first 50 ms, then every 5 ms.
ends_within() {
  local end=$((${EPOCHREALTIME/./} + $2 * 1000000)) polls=0
  while running "$1"; do
    ((${EPOCHREALTIME/./} < end)) || return 1
    if ((++polls < 50)); then nap 0.001; else nap 0.005; fi
  done
}
# Process $1 (a child, leading its process group) is past its bound: kills the group and, when
# the drive holds it even so, Brimofs, then mounts the drive again. Disowned first, so that the
# shell does not report the kill.
cut_off() {
  disown "$1" 2>/dev/null || true
  kill -KILL -- -"$1" 2>/dev/null || kill -KILL "$1" 2>/dev/null || true
  ends_within "$1" 5 && return
  local pid
  for pid in $(brimofs_pid); do kill -KILL "$pid" 2>/dev/null || true; done
  ends_within "$1" 10 || echo "  (process $1 outlived Brimofs)"
  if mounted; then fusermount3 -u -z "$mnt" 2>/dev/null || true; fi
  mount_drive
}
# Runs CMD... in a session of its own with its output into $1, for at most $bound seconds. Sets
# took (seconds) and status, or returns false when it had to be cut off.
bounded() {
  local out=$1 t0 pid
  shift
  t0=$(usec)
  setsid "$@" >"$out" 2>/dev/null &
  pid=$!
  if ! ends_within "$pid" "$bound"; then
    cut_off "$pid"
    return 1
  fi
  took=$(seconds $(($(usec) - t0)))
  status=0
  wait "$pid" || status=$?
}
# "N s" for the last bounded run, or that it was cut off; with its exit status when it failed.
outcome() {
  if (($1)); then
    echo "cut off after $bound s"
  elif ((status)); then
    echo "$took s (exit status $status)"
  else
    echo "$took s"
  fi
}

# The counts of the phone's last `stats` line.
stats=
snapshot() { stats=$(ctl stats); }
field() {
  local f
  for f in $stats; do
    [[ $f == "$1="* ]] && echo "${f#*=}" && return
  done
  echo 0
}
# Waits until the phone has served no read chunk for 1 s (at most $bound s), so that a step's
# counts include read-ahead still running when its program ended, and none of it reaches the
# next step.
settle() {
  local last=-1 n quiet=0 end=$((${EPOCHREALTIME/./} + bound * 1000000))
  while ((${EPOCHREALTIME/./} < end)); do
    snapshot
    n=$(field code9)
    if [[ $n == "$last" ]]; then
      ((++quiet < 4)) || return 0
    else
      quiet=0 last=$n
    fi
    nap 0.25
  done
  echo "  (the phone was still serving read chunks after $bound s)"
}

# A copy named $1 on the phone of one 1 GiB file of random bytes: a file the drive never saw, as
# each copy is an item of its own with a content version of its own (a hard link would share
# the inode, size and time the content version is made of).
fresh_gib() {
  [[ -e $work/gib.bin ]] || head -c "$gib" /dev/urandom >"$work/gib.bin"
  cp --reflink=auto "$work/gib.bin" "$root/$1"
}
vm_hwm() { sed -n 's/^VmHWM:\s*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Steps 1 and 2: $1 (a command reading a piece of a file) of a fresh 1 GiB file.
read_end() {
  local what=$1 name=$2 c0 b0 cut=0 chunks served
  shift 2
  begin "$what of a 1 GiB file never read before, $model:"
  fresh_gib "$name"
  settle
  c0=$(field code9) b0=$(field bytes9)
  bounded "$work/end.out" "$@" "$mnt/$name" || cut=1
  settle
  chunks=$(($(field code9) - c0)) served=$(($(field bytes9) - b0))
  ((cut)) || "$@" "$root/$name" | cmp -s - "$work/end.out" || echo "  the bytes read differ!"
  rm -f "$root/$name" "$work/end.out"
  echo "  $(outcome $cut); read chunks served: $chunks, $served bytes ($(rate "$served" 1) MiB)"
  awk -v t="${took:-0}" -v c="$chunk_time" -v cut="$cut" -v b="$bound" 'BEGIN {
    if (cut) printf "  ratio to one 4 MiB chunk through the service (%.3f s): > %.0f\n", c, b / c
    else printf "  ratio to one 4 MiB chunk through the service (%.3f s): %.1f\n", c, t / c }'
  echo "  goal: ≤ 0.5 s and ≤ 2 chunks"
  end
}

# Step 3: cp of $cp_bytes out of the drive and into it, against the speed test of as many bytes.
# This machine's guest gives freed memory back to its host about 2 s after it is freed, and the
# first touch of such a page costs the host a fault: a new file's pages are then written at about
# the link's speed however they are written. Writing and removing 1.5 GiB just before a copy
# hands it pages the host already backs, as every page is on a machine of its own.
touch_memory() {
  dd if=/dev/zero of="$work/touch.bin" bs=4M count=384 status=none
  rm -f "$work/touch.bin"
}
# The MiB/s at which this machine writes a new file of $1 bytes of pages freed a while ago.
fresh_write_rate() {
  local t
  sleep 3
  t=$(usec)
  dd if=/dev/zero of="$work/fresh.bin" bs=4M count=$(($1 / (4 * mib))) status=none
  rate "$1" "$(seconds $(($(usec) - t)))"
  rm -f "$work/fresh.bin"
}
# One cp out of the drive and one into it, of files no one read before, the memory touched first
# when $1 is "touched"; prints their lines.
copy_round() {
  local way=$1 src="$root/payload-$1.bin" cut_out=0 cut_in=0 out_time in_time
  head -c "$cp_bytes" /dev/urandom >"$src"
  settle
  [[ $way == touched ]] && touch_memory
  bounded /dev/null cp "$mnt/${src##*/}" "$work/out.bin" || cut_out=1
  out_time=${took:-0}
  [[ $way == touched ]] && touch_memory
  bounded /dev/null cp "$work/out.bin" "$mnt/in.bin" || cut_in=1
  in_time=${took:-0}
  settle
  ((cut_out)) || cmp -s "$src" "$work/out.bin" || echo "  copied-out content differs!"
  ((cut_in)) || cmp -s "$work/out.bin" "$root/in.bin" || echo "  copied-in content differs!"
  if ((cut_out)); then
    echo "  cp out of the drive, $way: cut off after $bound s"
  else
    awk -v r="$(rate "$cp_bytes" "$out_time")" -v u="$up" -v t="$out_time" -v w="$way" 'BEGIN {
      printf "  cp out of the drive, %-8s %7.1f MiB/s (%.2f s)  ratio to speed-test upload   %.3f\n", w ":", r, t, u ? r / u : 0 }'
  fi
  if ((cut_in)); then
    echo "  cp into the drive, $way: cut off after $bound s"
  else
    awk -v r="$(rate "$cp_bytes" "$in_time")" -v d="$down" -v t="$in_time" -v w="$way" 'BEGIN {
      printf "  cp into the drive,   %-8s %7.1f MiB/s (%.2f s)  ratio to speed-test download %.3f\n", w ":", r, t, d ? r / d : 0 }'
  fi
  rm -f "$src" "$root/in.bin" "$work/out.bin"
}
copies() {
  begin "cp of $((cp_bytes / mib)) MiB, $model:"
  echo "  speed test: download $down MiB/s, upload $up MiB/s (baseline)"
  echo "  this machine writes a new file of pages freed 3 s before at $(fresh_write_rate "$cp_bytes") MiB/s"
  copy_round as-is
  copy_round touched
  echo "  goal: ≥ 0.9"
  end
}

# Step 4: ls -l of a folder of photos, then the first 64 KiB of each, as a thumbnailer reads
# them: one read of 64 KiB (dd) for the first half, reads of 8 KiB (head -c) for the other,
# whose last reads the kernel's read-ahead carries further.
first_look() {
  local i b0 b1 b2 cut_ls=0 cut=0 ls_time half=$((photos / 2))
  local half_bytes=$((half * photo_bytes))
  begin "a file manager's first look at $photos photos of $((photo_bytes / mib)) MiB, $model:"
  mkdir "$root/DCIM"
  for ((i = 1; i <= photos; i++)); do
    head -c "$photo_bytes" /dev/urandom >"$root/DCIM/$(printf 'IMG_%04d.JPG' "$i")"
  done
  settle
  bounded /dev/null ls -l "$mnt/DCIM" || cut_ls=1
  ls_time=$took
  b0=$(field bytes9)
  # shellcheck disable=SC2016
  bounded /dev/null bash -c 'for ((i = 1; i <= $2; i++)); do
      dd if="$(printf "%s/IMG_%04d.JPG" "$1" "$i")" bs=64k count=1 status=none || s=1
    done; exit ${s-0}' _ "$mnt/DCIM" "$half" || cut=1
  local dd_took=$took
  settle
  b1=$(field bytes9)
  # shellcheck disable=SC2016
  bounded /dev/null bash -c 'for ((i = $2 + 1; i <= 2 * $2; i++)); do
      head -c 65536 "$(printf "%s/IMG_%04d.JPG" "$1" "$i")" || s=1
    done; exit ${s-0}' _ "$mnt/DCIM" "$half" || cut=1
  settle
  b2=$(field bytes9)
  rm -rf "$root/DCIM"
  ((cut_ls)) && echo "  ls -l: cut off after $bound s" || echo "  ls -l: $ls_time s"
  echo "  first 64 KiB of each: $dd_took s with dd, then $(outcome $cut) with head -c"
  awk -v d="$((b1 - b0))" -v h="$((b2 - b1))" -v t="$half_bytes" 'BEGIN {
    printf "  bytes the phone served, one read of 64 KiB (dd): %.1f MiB of %.0f MiB: %.2f %%\n", d / 1048576, t / 1048576, 100 * d / t
    printf "  bytes the phone served, reads of 8 KiB (head -c): %.1f MiB of %.0f MiB: %.2f %%\n", h / 1048576, t / 1048576, 100 * h / t }'
  echo "  goal: < 5 %"
  end
}

# Step 5: signal $1 to a cat of $2 (a path on the drive or /dev/zero) after 1 s. Sets gone: how
# long the cat took to go and what it was doing when signalled. A program started in the
# background of a script ignores SIGINT unless told otherwise; disowned, the shell does not
# report its death by SIGKILL.
signalled() {
  local pid t0 pos
  setsid env --default-signal=INT cat "$2" >/dev/null 2>&1 &
  pid=$!
  disown "$pid"
  nap 1
  if ! running "$pid"; then
    gone="ended before the signal"
    return
  fi
  # Where a regular file's reader was: in open, or how far into the file.
  pos=
  if [[ $2 != /dev/zero ]]; then
    pos=$(sed -n 's/^pos:\s*//p' "/proc/$pid/fdinfo/3" 2>/dev/null || true)
    [[ -n $pos ]] && pos=", after reading $(rate "$pos" 1) MiB" || pos=", while still opening the file"
  fi
  t0=$(usec)
  kill -s "$1" "$pid"
  if ends_within "$pid" "$bound"; then
    gone="gone $(seconds $(($(usec) - t0))) s after it$pos"
  else
    cut_off "$pid"
    gone="still there $bound s after it (cut off)$pos"
  fi
}
interrupts() {
  local sig
  begin "a signal to a cat of a 1 GiB file never read before, 1 s into it, $model:"
  for sig in INT KILL; do
    fresh_gib "sig$sig.bin"
    settle
    signalled "$sig" "$mnt/sig$sig.bin"
    echo "  SIG$sig: $gone"
    settle
    rm -f "$root/sig$sig.bin"
    signalled "$sig" /dev/zero
    echo "    the same to a cat of /dev/zero (baseline): $gone"
  done
  echo "  goal: ≤ 1 s"
  end
}

# Step 6: a second cat of an unchanged file: the chunks fetched and the time against a local read.
second_cat() {
  local c0 second cut=0
  begin "second cat of an unchanged 64 MiB file, $model:"
  head -c $((64 * mib)) /dev/urandom >"$root/cat.bin"
  bounded /dev/null cat "$mnt/cat.bin" || cut=1
  settle
  c0=$(field code9)
  ((cut)) || bounded /dev/null cat "$mnt/cat.bin" || cut=1
  second=$took
  settle
  if ((cut)); then
    echo "  cut off after $bound s"
  else
    # The local file is read twice as well, so that neither read pays for pages not yet cached.
    bounded /dev/null cat "$root/cat.bin"
    bounded /dev/null cat "$root/cat.bin"
    awk -v s="$second" -v l="$took" -v f="$(($(field code9) - c0))" 'BEGIN {
      printf "  chunks fetched: %d; %.4f s against %.4f s for a second local read: ratio %.2f\n", f, s, l, s / l }'
  fi
  echo "  goal: 0 chunks"
  rm -f "$root/cat.bin"
  end
}

# Step 7: Brimofs's peak memory after a cat of a fresh 1 GiB file, against its peak after mounting.
memory() {
  local pid mounted_hwm cut=0
  begin "peak memory of Brimofs over a cat of a 1 GiB file never read before, $model:"
  pid=$(brimofs_pid)
  [[ -n $pid ]] || fail "no Brimofs serves $mnt"
  mounted_hwm=$(vm_hwm "$pid")
  fresh_gib memory.bin
  bounded /dev/null cat "$mnt/memory.bin" || cut=1
  settle
  rm -f "$root/memory.bin"
  echo "  right after mounting (baseline): $((mounted_hwm / 1024)) MiB"
  if running "$pid"; then
    echo "  after the cat ($(outcome $cut)): $(($(vm_hwm "$pid") / 1024)) MiB"
  else
    echo "  Brimofs is gone (cat: $(outcome $cut))"
  fi
  echo "  goal: ≤ 64 MiB"
  end
}

# One drive on link model $1 and its steps. The baselines that need the phone's port to
# themselves are measured before the service starts.
on_link() {
  local link=$1 chunks=() i
  [[ $link == usb2 ]] && model="USB 2.0 model" || model="$link model"
  start_phone "$work/$link" "$link"
  if [[ $links == *" $link "* ]] && step 3; then
    report=$(timeout "$bound" "$build/service/brimo-speedtest" --bytes "$cp_bytes" 2>/dev/null |
      tail -2) || echo "  (the speed test failed)"
    down=$(sed -n 's/^Download: \([0-9.]*\) MiB.*/\1/p' <<<"$report")
    up=$(sed -n 's/^Upload: \([0-9.]*\) MiB.*/\1/p' <<<"$report")
  fi
  start_service
  if [[ $link == usb2 ]] && { step 1 || step 2; }; then
    head -c $((4 * mib)) /dev/urandom >"$root/chunk.bin"
    for i in 1 2 3 4 5; do
      t=$(usec)
      timeout "$bound" "$brimoctl" --role fileProvider read chunk.bin --out "$work/chunk.bin" \
        >/dev/null 2>&1 || echo "  (brimoctl read failed)"
      chunks+=("$(seconds $(($(usec) - t)))")
    done
    chunk_time=$(median "${chunks[@]}")
    rm -f "$root/chunk.bin" "$work/chunk.bin"
    echo "one 4 MiB chunk through the service (brimoctl read, median of 5), $model: $chunk_time s"
  fi
  mount_drive
  if [[ $link == usb2 ]]; then
    step 1 && read_end "head -c 4096" head.bin head -c 4096
    step 2 && read_end "tail -c 4096" tail.bin tail -c 4096
  fi
  [[ $link == 400M ]] && step 7 && memory
  [[ $links == *" $link "* ]] && step 3 && copies
  if [[ $link == usb2 ]]; then
    step 4 && first_look
    step 5 && interrupts
    step 6 && second_cat
  fi
  stop_drive
  rm -rf --one-file-system "${work:?}/$link"
}

started=$(usec)
if step 1 || step 2 || step 4 || step 5 || step 6 || { step 3 && [[ $links == *" usb2 "* ]]; }; then
  on_link usb2
fi
for link in $links; do
  [[ $link != usb2 && $link != 400M ]] && step 3 && on_link "$link"
done
if step 7 || { step 3 && [[ $links == *" 400M "* ]]; }; then
  on_link 400M
fi
echo "(all steps: $(seconds $(($(usec) - started))) s)"
