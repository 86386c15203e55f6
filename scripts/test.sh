#!/usr/bin/env bash
# Installs what is missing, builds, runs each fuzz target for a few seconds, then every test, then
# the drive and desktop tests again as an unprivileged user, then the package check.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/fuzz.sh" "${BRIMO_FUZZ_SECONDS:-5}"
ctest --test-dir "${BRIMO_BUILD_DIR:-$root/build}" --output-on-failure -j2 --timeout 180
# The drive and the desktop once more as an unprivileged user (when this runs as root).
"$root/scripts/test-as-user.sh"
# The .deb as users install it: built, checked, installed, run as a user and purged (as root).
if ((EUID == 0)); then
  "$root/scripts/package-check.sh"
else
  echo "package-check: not root, so the package is not installed here"
fi
