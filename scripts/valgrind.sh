#!/usr/bin/env bash
# Runs every host test program (build/host) under valgrind's memcheck: no
# memory error and nothing definitely lost, or the stage fails.
#   VALGRIND_TIMEOUT  seconds allowed per program (default 1200)
#   VALGRIND_SKIP     test programs not to run under valgrind, space-separated
#                     (default: none; every program, the stress test's 1,200
#                     timed calls included, finishes in about a minute)
# Two programs run at a time. Terminated workers stay parked for the life of the process, so valgrind is
# given room for thousands of threads. scripts/valgrind.supp holds the
# suppressions, each with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
timeout_s=${VALGRIND_TIMEOUT:-1200}
skip=" ${VALGRIND_SKIP:-} "

if [[ ! -d build/host/tests/host ]]; then
  cmake --preset host >/dev/null
  cmake --build --preset host -j2
fi

mkdir -p build/valgrind
# One program under valgrind; prints its result line, and its logs' tails on
# a failure. valgrind runs a program's threads one at a time, so two
# programs go side by side, one a core.
run_one() {
  local program=$1 name log started status=0 took
  name=$(basename "$program")
  log=build/valgrind/$name.log
  started=$(date +%s)
  timeout --signal=KILL "$timeout_s" valgrind --quiet --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --fair-sched=yes --max-threads=5000 \
    --suppressions=scripts/valgrind.supp --log-file="$log" \
    "$program" --gtest_brief=1 >"$log.out" 2>&1 || status=$?
  took=$(( $(date +%s) - started ))
  if [[ $status -eq 0 ]]; then
    echo "ok   $name (${took} s)"
  else
    echo "FAIL $name: exit $status after ${took} s (137: timed out)"
    tail -n 40 "$log.out" "$log"
    return 1
  fi
}

passed=0 failed=0 skipped=0 running=0
results=build/valgrind/results
: >"$results"
for program in build/host/tests/host/*_test build/host/tools/*/*_test; do
  [[ -x $program ]] || continue
  name=$(basename "$program")
  if [[ $skip == *" $name "* ]]; then
    echo "skip $name (VALGRIND_SKIP)"
    skipped=$((skipped + 1))
    continue
  fi
  if ((running == 2)); then
    wait -n || true
    running=$((running - 1))
  fi
  { if run_one "$program"; then echo ok >>"$results"; else echo fail >>"$results"; fi; } &
  running=$((running + 1))
done
wait
passed=$(grep -c '^ok$' "$results" || true)
failed=$(grep -c '^fail$' "$results" || true)
echo "valgrind: $passed passed, $failed failed, $skipped skipped"
exit $(( failed > 0 ))
