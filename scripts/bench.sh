#!/usr/bin/env bash
# Builds an optimised tree without sanitizers (build-release/) and runs the benchmarks.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export BRIMO_BUILD_DIR=${BRIMO_BUILD_DIR:-$root/build-release}
BRIMO_BUILD_TYPE=Release BRIMO_SANITIZE=OFF "$root/scripts/setup.sh"
"$BRIMO_BUILD_DIR/bench/speedtest_bench"
"$BRIMO_BUILD_DIR/bench/tunnel_engine_bench"
"$root/bench/transfer_bench.sh" "$BRIMO_BUILD_DIR"
"$root/bench/ipc_bench.sh" "$BRIMO_BUILD_DIR"
"$root/bench/drive_bench.sh" "$BRIMO_BUILD_DIR"
# cp out of and into the drive on the 400 MB/s model as well.
BRIMO_DRIVE_LINK=400M "$root/bench/drive_bench.sh" "$BRIMO_BUILD_DIR" 256 0 0
# The service's peak memory with 50 clients doing lookups and small reads (BRIMO_MEMORY_SECONDS,
# default 60).
"$BRIMO_BUILD_DIR/bench/memory_load_bench" --seconds "${BRIMO_MEMORY_SECONDS:-60}"
# The desktop app at rest on a virtual desktop, window closed and open (BRIMO_IDLE_SECONDS each).
"$root/bench/app_idle_bench.sh" "$BRIMO_BUILD_DIR"
