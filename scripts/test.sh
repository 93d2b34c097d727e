#!/usr/bin/env bash
# The project's test command: installs what a fresh Debian machine lacks,
# builds every preset and runs every test, host and Wine.
#   scripts/test.sh          everything (what CI runs)
#   scripts/test.sh --quick  host build and tests, Windows builds, Wine tests
set -euo pipefail
cd "$(dirname "$0")/.."
QUICK=0
[[ "${1:-}" == "--quick" ]] && QUICK=1

stage() { printf '\n==== %s ====\n' "$*"; }

stage "dependencies"
scripts/install-deps.sh

stage "host: build and test"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host -j2

for preset in windows-x64 windows-x86; do
  stage "$preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# Further stages, each a script of its own.
run_stage() {
  local script=$1; shift
  if [[ -x "$script" ]]; then stage "$script $*"; "$script" "$@"; fi
}
run_stage tests/pe/check-binaries.sh
run_stage tests/wine/run.sh
if [[ $QUICK == 0 ]]; then
  run_stage scripts/sanitizers.sh
  run_stage scripts/valgrind.sh
  run_stage fuzz/run.sh
  run_stage scripts/static-analysis.sh
fi
stage "all passed"
