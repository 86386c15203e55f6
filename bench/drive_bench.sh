#!/usr/bin/env bash
# The mounted drive against what carries it, in one run on one link model (BRIMO_DRIVE_LINK:
# usb2, the default, or a rate such as 400M):
#  - cp of a file out of and into the drive, next to brimoctl's whole-file read and write
#    through the service and the link speed test, same byte count;
#  - ls -lR of a tree of files: the relay exchanges the phone served (one per directory page,
#    not per entry) and the time against as many bare pings;
#  - a second cat of an unchanged file: the chunks fetched (none) and the time against a read
#    of the same file on this machine.
# Prints figures and ratios; asserts nothing.
#
# usage: bench/drive_bench.sh BUILD_DIR [MiB, default 256] [FILES, default 2000] [CAT MiB, 64]
# A count of 0 leaves its part out.
set -euo pipefail
build=$1
mib=${2:-256}
files=${3:-2000}
cat_mib=${4:-64}
link=${BRIMO_DRIVE_LINK:-usb2}
bytes=$((mib * 1024 * 1024))
source "$(dirname "${BASH_SOURCE[0]}")/bench_common.sh"

work=$(mktemp -d)
trap 'stop_drive; rm -rf --one-file-system "$work"' EXIT
start_phone "$work" "$link"

head -c "$bytes" /dev/urandom >"$root/payload.bin"
report=$("$build/service/brimo-speedtest" --bytes "$bytes" 2>/dev/null | tail -2)
down=$(sed -n 's/^Download: \([0-9.]*\) MiB.*/\1/p' <<<"$report")
up=$(sed -n 's/^Upload: \([0-9.]*\) MiB.*/\1/p' <<<"$report")

start_service

t=$(now)
"$brimoctl" --role fileProvider read payload.bin --out "$work/ctl.bin" >/dev/null 2>&1
ctl_read=$(since "$t")
t=$(now)
"$brimoctl" --role fileProvider write ctl-written.bin "$work/ctl.bin" >/dev/null 2>&1
ctl_write=$(since "$t")

mount_drive

t=$(now)
cp "$mnt/payload.bin" "$work/out.bin"
cp_out=$(since "$t")
t=$(now)
cp "$work/out.bin" "$mnt/in.bin"
cp_in=$(since "$t")
cmp -s "$root/payload.bin" "$work/out.bin" || echo "  copied-out content differs!"
cmp -s "$root/payload.bin" "$root/in.bin" || echo "  copied-in content differs!"

[[ $link == usb2 ]] && model="USB 2.0 model" || model="$link model"
echo "$model, $mib MiB:"
echo "  speed test: download $down MiB/s, upload $up MiB/s (baseline)"
awk -v co="$(rate "$bytes" "$cp_out")" -v ci="$(rate "$bytes" "$cp_in")" \
  -v cr="$(rate "$bytes" "$ctl_read")" -v cw="$(rate "$bytes" "$ctl_write")" \
  -v d="$down" -v u="$up" 'BEGIN {
  printf "  cp out of the drive %7.1f MiB/s  ratio to speed-test upload   %.3f  to brimoctl read  %.3f\n", co, co / u, co / cr
  printf "  cp into the drive   %7.1f MiB/s  ratio to speed-test download %.3f  to brimoctl write %.3f\n", ci, ci / d, ci / cw
  printf "  (brimoctl read %.1f MiB/s, write %.1f MiB/s)\n", cr, cw }'

# A tree of $files small files in folders of 100.
if ((files > 0)); then
  for ((i = 0; i < files; i++)); do
    dir=$root/tree/d$((i / 100))
    [[ -d $dir ]] || mkdir -p "$dir"
    printf '%d' "$i" >"$dir/f$i"
  done
  dirs=$(((files + 99) / 100 + 1))
  before=$(count requests)
  lists_before=$(count code3)
  t=$(now)
  listed=$(ls -lR "$mnt/tree" | grep -c '^-')
  ls_time=$(since "$t")
  exchanges=$(($(count requests) - before))
  pages=$(($(count code3) - lists_before))
  t=$(now)
  "$brimoctl" --role desktopApp relay 0 '' --repeat "$exchanges" >/dev/null
  ping_time=$(since "$t")
  echo "ls -lR of $listed files in $dirs folders:"
  echo "  relay exchanges: $exchanges, of which directory pages: $pages ($(awk -v e="$exchanges" -v f="$listed" 'BEGIN { printf "%.3f", e / f }') per file)"
  awk -v l="$ls_time" -v p="$ping_time" -v e="$exchanges" 'BEGIN {
    printf "  %.3f s against %.3f s for %d bare pings: ratio %.2f\n", l, p, e, l / p }'
fi

if ((cat_mib > 0)); then
  head -c $((cat_mib * 1024 * 1024)) /dev/urandom >"$root/cat.bin"
  cat "$mnt/cat.bin" >/dev/null
  chunks=$(count code9)
  t=$(now)
  cat "$mnt/cat.bin" >/dev/null
  second=$(since "$t")
  fetched=$(($(count code9) - chunks))
  t=$(now)
  cat "$root/cat.bin" >/dev/null
  local_read=$(since "$t")
  echo "second cat of an unchanged $cat_mib MiB file:"
  awk -v s="$second" -v l="$local_read" -v f="$fetched" 'BEGIN {
    printf "  chunks fetched: %d; %.4f s against %.4f s for a local read: ratio %.2f\n", f, s, l, s / l }'
fi
