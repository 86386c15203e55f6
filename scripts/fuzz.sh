#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) into
# build-fuzz/ and runs each for SECONDS (60), one process at a time, over a scratch copy of its
# seed corpus fuzz/corpus/<target>/ (with fuzz/<target>.dict when there is one). Prints
# executions and outcome per target and a summary; exits non-zero when any target crashed or
# broke a property, leaving the scratch folder with the failing input, whose path is printed.
# Environment: BRIMO_FUZZ_BUILD_DIR, BRIMO_FUZZ_TARGETS (space-separated names, default all),
# BRIMO_FUZZ_KEEP (1 keeps the scratch folder).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build=${BRIMO_FUZZ_BUILD_DIR:-$root/build-fuzz}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRIMO_FUZZ=ON \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C "$build" -j2 --quiet

read -ra targets <<<"${BRIMO_FUZZ_TARGETS:-$(ls "$root/fuzz/corpus" | tr '\n' ' ')}"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/brimo-fuzz.XXXXXX")
failed=()
for target in "${targets[@]}"; do
  corpus=$scratch/$target/corpus
  artifacts=$scratch/$target/
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  log=$scratch/$target/log
  dict=()
  [[ -f $root/fuzz/$target.dict ]] && dict=(-dict="$root/fuzz/$target.dict")
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "${dict[@]}" "$corpus" >"$log" 2>&1 || status=$?
  # The final statistics, or after a crash the last progress line.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [[ -n $runs ]] || runs=$(sed -n 's/^#\([0-9]*\)\s.*/\1/p' "$log" | tail -1)
  if ((status == 0)); then
    printf '%-20s %10s executions  ok\n' "$target" "${runs:-?}"
  else
    failed+=("$target")
    printf '%-20s %10s executions  FAILED (status %d)\n' "$target" "${runs:-?}" "$status"
    grep -m1 -E '^==[0-9]+==ERROR|property failed|runtime error|deadly signal' "$log" || true
    ls "$artifacts" | grep -E '^(crash|leak|timeout|oom)-' | sed "s|^|  input: $artifacts|" || true
    echo "  log: $log"
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]} (kept $scratch)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a crash"
[[ ${BRIMO_FUZZ_KEEP:-0} == 1 ]] && echo "fuzz: kept $scratch" || rm -rf "$scratch"
