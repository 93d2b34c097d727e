#!/usr/bin/env bash
# Builds the host tests with AddressSanitizer + UndefinedBehaviorSanitizer
# (preset host-asan) and with ThreadSanitizer (preset host-tsan), and runs
# every host test program under each. Any sanitizer report fails the stage:
# UBSan cannot recover (-fno-sanitize-recover=all), ASan and TSan halt on the
# first error with a non-zero exit code.
set -euo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1"

for preset in host-asan host-tsan; do
  started=$(date +%s)
  echo "-- $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  echo "-- $preset: test"
  ctest --preset "$preset" -j2
  echo "-- $preset: passed in $(( $(date +%s) - started )) s"
done
