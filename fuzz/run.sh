#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset fuzz, clang) and runs each for a
# bounded time from the committed seeds. Any finding (a crash, a sanitizer
# report, a result or byte that differs from the harness's model, a timeout)
# fails the run; the input that caused it is kept under build/fuzz/artifacts.
#   FUZZ_SECONDS   time per harness (default 20: the test command's share of
#                  its 25-minute budget; give more for a longer search)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
harnesses=(bounded_copy_w bounded_append_a bounded_format_a inf_head_scan setupapi_log)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_harnesses -- -j2

work=build/fuzz/run
rm -rf "$work"
mkdir -p "$work" build/fuzz/artifacts
failed=0
for h in "${harnesses[@]}"; do
  # A scratch copy: the run adds what it finds to its corpus, the committed
  # seeds stay as they are.
  mkdir -p "$work/$h"
  cp fuzz/corpus/"$h"/* "$work/$h"/
  log="$work/$h.log"
  status=0
  build/fuzz/fuzz/"${h}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$h-" "$work/$h" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [[ $status -ne 0 ]]; then
    echo "FAIL $h: exit $status after ${runs:-?} executions"
    grep -E 'fuzz finding|ERROR|SUMMARY|Test unit written' "$log" | head -20 || true
    failed=$((failed + 1))
  else
    echo "ok   $h: ${runs:-?} executions in ${seconds} s, corpus $(ls "$work/$h" | wc -l) inputs"
  fi
done
echo "fuzz: $(( ${#harnesses[@]} - failed )) passed, $failed failed"
exit $(( failed > 0 ))
