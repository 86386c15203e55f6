#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, then each fuzz target for a few seconds.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
ctest --test-dir "${BRIMO_BUILD_DIR:-$root/build}" --output-on-failure -j2 --timeout 180
"$root/scripts/fuzz.sh" 5
