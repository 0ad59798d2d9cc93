#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz"), replays each target's seed
# corpus, then fuzzes every target for a bounded time, all targets at once.
# Exits non-zero when a target fails; the last line reads "N passed, N failed".
#   FUZZ_SECONDS  time per target (default 20)
#   FUZZ_TARGETS  names to run (default: every target built)
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
bin=build/fuzz/fuzz/bin
work=build/fuzz/fuzz-run

cmake --preset fuzz >/dev/null || { echo "0 passed, 1 failed (configure)"; exit 1; }
cmake --build --preset fuzz -j "$(nproc)" || { echo "0 passed, 1 failed (build)"; exit 1; }

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  targets=()
  for f in "$bin"/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi
rm -rf "$work"
mkdir -p "$work"

run_one() {
  local t=$1 exe="$bin/fuzz_$1" seeds="fuzz/corpus/$1" dir="$work/$1"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  [ -d "$seeds" ] || seeds=""
  # Replay: every seed must pass on its own.
  if [ -n "$seeds" ] && ! "$exe" -runs=0 $seeds >"$dir/replay.log" 2>&1; then
    echo "replay failed" >"$dir/result"
    return
  fi
  # New inputs go to the scratch corpus; the repository's seeds stay as they are.
  if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
       -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/corpus" $seeds \
       >"$dir/fuzz.log" 2>&1; then
    echo "ok" >"$dir/result"
  else
    echo "fuzzing failed" >"$dir/result"
  fi
}

for t in "${targets[@]}"; do run_one "$t" & done
wait

passed=0 failed=0
for t in "${targets[@]}"; do
  dir="$work/$t"
  result=$(cat "$dir/result" 2>/dev/null || echo "no result")
  if [ "$result" = ok ]; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/fuzz.log" | grep -o '[0-9]*$')
    echo "PASS $t (${runs:-?} runs)"
    passed=$((passed + 1))
  else
    echo "FAIL $t: $result"
    log="$dir/fuzz.log"; [ "$result" = "replay failed" ] && log="$dir/replay.log"
    grep -A12 -m1 'PROPERTY FAILED\|ERROR: AddressSanitizer\|runtime error\|ERROR: libFuzzer' "$log" | sed 's/^/    /'
    ls "$dir/artifacts" 2>/dev/null | sed "s|^|    input: $dir/artifacts/|"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
