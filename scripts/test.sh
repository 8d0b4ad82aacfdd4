#!/usr/bin/env bash
# Runs the whole test suite: a normal build with warnings as errors, then the
# same suite under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer. Usage: scripts/test.sh [normal|asan|tsan ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(normal asan tsan)
jobs=$(( $(nproc) * 2 ))
status=0
for cfg in "${configs[@]}"; do
  case "$cfg" in
    # Fuzzing (its own clang build), valgrind and the Debian package test
    # build and check their own binaries: once, in the normal configuration.
    normal) dir=build-ci;   skip="";  flags=(-DFR2_WERROR=ON) ;;
    asan)   dir=build-asan; skip="fuzz|valgrind|package"
            flags=(-DFR2_WERROR=ON -DFR2_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug) ;;
    tsan)   dir=build-tsan; skip="fuzz|valgrind|package"
            flags=(-DFR2_WERROR=ON -DFR2_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    *) echo "unknown configuration: $cfg" >&2; exit 2 ;;
  esac
  echo "== $cfg build ($dir)"
  cmake -S . -B "$dir" -G Ninja -DFR2_BUILD_TESTS=ON "${flags[@]}" >/dev/null
  cmake --build "$dir"
  echo "== $cfg tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # Thread leaks are not checked: on a failed output write and on the forced
  # no-progress exit the scanner ends with _exit() from one thread while the
  # others still run, on purpose. Races are still fatal.
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0
  exclude=()
  [ -z "$skip" ] || exclude=(-LE "$skip")
  if ! ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" "${exclude[@]}"; then
    status=1
  fi
done
exit $status
