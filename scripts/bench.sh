#!/usr/bin/env bash
# Builds the benchmarks, runs them and prints the component's cost as ratios
# to the work it orchestrates: the text operations against plain yardsticks
# (native), and whole calls through the exports against the platform's own
# copies and the siblings' own time (native, and the Windows DLL under Wine:
# the 32-bit one where this machine runs 32-bit programs and has a working
# 32-bit Wine, else the 64-bit test build).
#
#   scripts/bench.sh [--short] [--native-only | --windows-only]
#   --short  every benchmark once on small inputs (CI: it only checks that
#            none of them rots; its timings mean little)
#
# Build folders: build/native-release and build/win32 or build/win64 (the
# presets), or DV_BENCH_NATIVE_DIR / DV_BENCH_WINDOWS_DIR. The whole-call benchmarks write
# up to about 3 GiB of files beside the programs and remove them afterwards.
# Exits non-zero when a benchmark cannot run; a missed target is reported in
# the tables, not as a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

short=0 native=1 windows=1
for a in "$@"; do
  case "$a" in
    --short) short=1 ;;
    --native-only) windows=0 ;;
    --windows-only | --win32-only) native=0 ;;
    *) echo "usage: scripts/bench.sh [--short] [--native-only | --windows-only]" >&2; exit 2 ;;
  esac
done

. scripts/wine-env.sh
if dv_can_run_32bit; then
  win=win32
else
  win=win64
  if [ $windows = 1 ]; then
    echo "== win32 benchmarks: not run: $(dv_no_32bit_reason) (the 64-bit test build stands in)"
  fi
fi
native_dir=${DV_BENCH_NATIVE_DIR:-build/native-release}
win_dir=${DV_BENCH_WINDOWS_DIR:-build/$win}
jobs=$(nproc)
summary=$(mktemp)
out=$(mktemp)
trap 'rm -f "$summary" "$out" "$out.utf8"' EXIT

# The programs' messages are GBK, like everything the component writes.
to_utf8() { iconv -f GBK -t UTF-8 -c; }

# Runs a benchmark program, shows its output and keeps its verdict lines.
# The output goes through a file, not a pipe: Wine's service processes keep
# the program's descriptors open after it has ended.
run() {
  local label=$1; shift
  local rc=0
  "$@" > "$out" 2>&1 </dev/null || rc=$?
  to_utf8 < "$out" | tee "$out.utf8"
  grep -E ' (met|MISSED)| CALL FAILED' "$out.utf8" | sed "s/^/[$label] /" >> "$summary" || true
  return $rc
}

if [ $native = 1 ]; then
  echo "== native: build ($native_dir)"
  cmake --preset native-release -B "$native_dir" -DDORVELK_BENCH=ON >/dev/null
  cmake --build "$native_dir" -j "$jobs" --target dvbench_text dvbench_calls >/dev/null
  if [ $short = 1 ]; then
    run native "$native_dir/bin/dvbench_text" --short --benchmark_format=console
    run native "$native_dir/bin/dvbench_calls" --short
  else
    run native "$native_dir/bin/dvbench_text" --benchmark_min_time=0.2 \
        --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
    run native "$native_dir/bin/dvbench_calls"
  fi
fi

if [ $windows = 1 ]; then
  echo "== $win: build ($win_dir)"
  cmake --preset "$win" -B "$win_dir" -DDORVELK_BENCH=ON >/dev/null
  cmake --build "$win_dir" -j "$jobs" --target dvbench_calls >/dev/null
  dv_wine_env "$win" "$PWD/$win_dir/wineprefix"
  dv_wine_start
  trap 'dv_wine_stop; rm -f "$summary" "$out" "$out.utf8"' EXIT
  echo "== $win under Wine"
  if [ $short = 1 ]; then
    run "$win" dv_wine "$win_dir/bin/dvbench_calls.exe" --short
  else
    run "$win" dv_wine "$win_dir/bin/dvbench_calls.exe"
    # A 32-bit process cannot hold a request of 10 x 100 MiB in one piece;
    # half of it shows the ratio at a size that fits.
    echo "== $win under Wine: DataTransmit over 5 x 100 MiB"
    run "$win" dv_wine "$win_dir/bin/dvbench_calls.exe" --only transmit --large 5x100 --set 5x100MiB
  fi
  dv_wine_stop
fi

echo
echo "== Targets"
cat "$summary"
