#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for
# a bounded time, starting from the committed corpus. New inputs go to a work
# corpus inside the build folder, never into the repository.
#
# Usage: fuzz/run.sh [BUILD_DIR]        (default: build-fuzz)
#   FUZZ_SECONDS   seconds per target (default 30)
#   FUZZ_TARGETS   space-separated subset of the targets (default: all)
# Exit status 0 when no target found a fault; crash inputs are left in
# BUILD_DIR/fuzz-artifacts.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${1:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"
targets="${FUZZ_TARGETS:-fuzz_csv_escape fuzz_format_line fuzz_extension fuzz_dirent fuzz_exclude fuzz_cli fuzz_item}"

command -v clang++ >/dev/null || { echo "fuzz: clang++ not found" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFR2_FUZZ=ON -DFR2_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_all -- -j2 >/dev/null

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1"
status=0
for t in $targets; do
  work="$build/fuzz-work/$t"
  mkdir -p "$work"
  cp -n "$here/corpus/$t"/* "$work"/ 2>/dev/null || true
  dict=()
  [ "$t" = fuzz_cli ] && dict=(-dict="$here/cli.dict")
  log="$build/fuzz-$t.log"
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=120 -rss_limit_mb=6144 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${dict[@]}" "$work" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "$t: $result, ${execs:-?} executions in ${seconds}s"
  if [ "$result" = FAILED ]; then
    grep -E -m1 -A30 'MISMATCH|ERROR|runtime error' "$log" >&2 || tail -40 "$log" >&2
  fi
done
exit $status
