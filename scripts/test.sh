#!/usr/bin/env bash
# Installs what is missing, builds, runs each fuzz target for a few seconds, then every test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/fuzz.sh" "${BRIMO_FUZZ_SECONDS:-5}"
ctest --test-dir "${BRIMO_BUILD_DIR:-$root/build}" --output-on-failure -j2 --timeout 180
