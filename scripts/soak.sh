#!/usr/bin/env bash
# The fault soak: builds the Debug tree with sanitizers (as setup.sh does) and runs the soak
# driver against the real BrimoService and phone simulator, with random faults and client
# hang-ups. Any length: --ops sets the number of reads and writes, --seed the sequence. Runs of
# 300 ops or more also wait for the stale-transfer sweep to empty the shared container.
#
# With --drive, the drive's soak instead: real programs (cp, dd, a write-then-rename save,
# sqlite3) save through the mounted drive while the phone is unplugged, silent, refusing or full
# and the service or Brimofs is killed; --ops sets the number of saves.
#
# usage: scripts/soak.sh [--seed N] [--ops N] [--hangup-percent P] [--wait-for-sweep]
#        scripts/soak.sh --drive [--seed N] [--ops N]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
build=${BRIMO_BUILD_DIR:-$root/build}
if [[ ${1:-} == --drive ]]; then
  shift
  source "$root/scripts/lib/seed_ops.sh"
  seed=1 ops=60
  seed_ops "scripts/soak.sh --drive [--seed N] [--ops N]" "$@"
  ninja -C "$build" --quiet drive_soak
  BRIMO_SOAK_SEED=$seed BRIMO_SOAK_OPS=$ops exec "$build/tests/soak/drive_soak"
fi
ninja -C "$build" --quiet soak_driver
args=("$@")
ops=100
for ((i = 0; i < ${#args[@]}; i++)); do
  [[ ${args[i]} == --ops ]] && ops=${args[i + 1]:-100}
done
if ((ops >= 300)) && [[ " ${args[*]} " != *" --wait-for-sweep "* ]]; then
  args+=(--wait-for-sweep)
fi
exec "$build/tests/soak/soak_driver" "${args[@]}"
