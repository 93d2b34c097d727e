#!/usr/bin/env bash
# The project's test command: installs what a fresh Debian machine lacks,
# builds every preset and runs every test, host and Wine.
#   scripts/test.sh          everything (what CI runs)
#   scripts/test.sh --quick  host build and tests, Windows builds, Wine tests
set -euo pipefail
cd "$(dirname "$0")/.."
QUICK=0
for argument in "$@"; do
  case $argument in
    --quick) QUICK=1 ;;
    *) printf 'scripts/test.sh: unknown argument %s\nusage: scripts/test.sh [--quick]\n' "$argument" >&2
       exit 2 ;;
  esac
done

# Each stage's line says when it began, so that a slow run shows where its
# time went.
stage() { printf '\n==== %s ==== (at %d:%02d)\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }

stage "dependencies"
scripts/install-deps.sh

# The fresh-root check works in a root of its own and shares nothing with
# the stages below but the two cores: it starts now, beside them, and its
# result is taken last (its output in build/fresh-check.out until then).
# A run that stops early ends it first, so that its root is unmounted.
fresh_pid=""
if [[ $QUICK == 0 ]]; then
  [[ -x scripts/fresh-check.sh ]] || { echo "scripts/test.sh: stage script scripts/fresh-check.sh is missing or not executable" >&2; exit 1; }
  mkdir -p build
  scripts/fresh-check.sh >build/fresh-check.out 2>&1 &
  fresh_pid=$!
  echo "scripts/fresh-check.sh started beside the other stages (build/fresh-check.out)"
fi
end_fresh_check() {
  if [[ -n $fresh_pid ]] && kill -0 "$fresh_pid" 2>/dev/null; then
    kill -TERM "$fresh_pid" 2>/dev/null || true
    wait "$fresh_pid" 2>/dev/null || true
  fi
}
trap end_fresh_check EXIT

stage "host: build and test"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host -j2

for preset in windows-x64 windows-x86; do
  stage "$preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# Further stages, each a script of its own: one line a stage. A stage whose
# script is missing or not executable fails the run, never skips quietly. A
# stage that cannot run here exits 77 after a line "SKIPPED: REASON": the
# run goes on, and its last line names the skipped stages (SKIPPED is not
# PASS).
check_stage() {
  if [[ ! -f $1 ]]; then echo "scripts/test.sh: stage script $1 is missing" >&2; exit 1; fi
  if [[ ! -x $1 ]]; then echo "scripts/test.sh: stage script $1 is not executable" >&2; exit 1; fi
}
skipped=()
run_stage() {
  check_stage "$1"
  stage "$*"
  local output code=0
  output=$(mktemp)
  "$@" 2>&1 | tee "$output" || code=${PIPESTATUS[0]}
  if [[ $code == 77 ]]; then
    skipped+=("$1 ($(sed -n 's/^SKIPPED: //p' "$output" | head -n 1))")
    code=0
  fi
  rm -f "$output"
  return "$code"
}
# A stage that --quick leaves out (its script is checked all the same).
run_full_stage() {
  check_stage "$1"
  if [[ $QUICK == 0 ]]; then run_stage "$@"; fi
}
run_stage tests/lib/self-test.sh
run_stage tests/pe/check-binaries.sh
run_stage tests/wine/run.sh
run_stage tests/msi/run.sh
run_full_stage scripts/sanitizers.sh
run_full_stage scripts/valgrind.sh
run_full_stage fuzz/run.sh
run_full_stage scripts/static-analysis.sh
if [[ -n $fresh_pid ]]; then
  stage "scripts/fresh-check.sh (started beside the stages above)"
  code=0
  wait "$fresh_pid" || code=$?
  fresh_pid=""
  cat build/fresh-check.out
  if [[ $code == 77 ]]; then
    skipped+=("scripts/fresh-check.sh ($(sed -n 's/^SKIPPED: //p' build/fresh-check.out | head -n 1))")
  elif [[ $code != 0 ]]; then
    exit "$code"
  fi
fi
if ((${#skipped[@]})); then
  stage "passed, with ${#skipped[@]} stage(s) SKIPPED"
  printf '  SKIPPED: %s\n' "${skipped[@]}"
else
  stage "all passed"
fi
