#!/usr/bin/env bash
# The drive's model check at any length: random writes, reads, truncates, appends and
# shared-mapping writes on the mounted drive, compared step by step with a model of each file
# and with the phone's copy. CTest runs a short one (label drive).
#
# usage: scripts/drive-model.sh [--seed N] [--ops N]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib/seed_ops.sh"
seed=1 ops=2000
seed_ops "scripts/drive-model.sh [--seed N] [--ops N]" "$@"
"$root/scripts/setup.sh"
build=${BRIMO_BUILD_DIR:-$root/build}
BRIMO_MODEL_SEED=$seed BRIMO_MODEL_OPS=$ops exec "$build/tests/drive/drive_tests" \
  --gtest_filter='ModelCheckTest.*'
