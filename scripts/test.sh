#!/usr/bin/env bash
# Installs what is missing, builds, runs each fuzz target for a few seconds, then every test, then
# the drive and desktop tests again as an unprivileged user.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/fuzz.sh" "${BRIMO_FUZZ_SECONDS:-5}"
ctest --test-dir "${BRIMO_BUILD_DIR:-$root/build}" --output-on-failure -j2 --timeout 180
# The drive and the desktop once more as an unprivileged user (when this runs as root).
"$root/scripts/test-as-user.sh"
