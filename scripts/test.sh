#!/usr/bin/env bash
# Sets up the machine, builds every configuration and runs every test suite:
# native (ASan/UBSan), the Windows builds under Wine, the earlier build,
# the fuzz targets and the short benchmarks. Every Windows build, the 32-bit
# deliverable included, is built and checked on every machine (exports,
# imports, the import library: scripts/check-dll.sh); the 32-bit Windows
# suites run only where this machine runs 32-bit programs and has a working
# 32-bit Wine, else they count as built and checked, not run, with the
# reason (DV_NO_32BIT=1 and DV_SIMULATE_NO_WINE32=1 take those paths
# anywhere: see scripts/setup.sh); the 64-bit Windows suites run the same
# Windows code everywhere.
# Exits non-zero when a build, a check or a test fails; every suite runs
# either way.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
. scripts/wine-env.sh

jobs=$(nproc)
status=0
ran=() unrun=() failed=()
# A persistent wine server must not outlive an interrupted run.
trap 'dv_wine_stop' EXIT

# A failed build still runs the tests it could build (the rest count as
# failed), so that the summary shows everything at once.
build() {
  local preset=$1
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null || return 2
  cmake --build --preset "$preset" -j "$jobs" -- -k 0 || return 1
}

native() {
  local preset=$1 rc=0
  build "$preset" || rc=$?
  [ $rc -eq 2 ] && return 1
  echo "== $preset: test"
  ctest --preset "$preset" || rc=1
  return $rc
}

# A Windows build is checked whether or not its programs can run here.
windows() {
  local preset=$1 arch=$2 rc=0
  build "$preset" || rc=$?
  [ $rc -eq 2 ] && return 1
  echo "== $preset: static checks"
  bash scripts/check-dll.sh "build/$preset" || rc=1
  if [ "$arch" = win32 ] && ! dv_can_run_32bit; then
    if [ $rc -eq 0 ]; then
      echo "== $preset: built and checked, not run: $(dv_no_32bit_reason) (the win64 suites run the Windows code)"
      unrun+=("$preset")
    else
      echo "== $preset: FAILED to build or check; not run: $(dv_no_32bit_reason)"
    fi
    return $rc
  fi
  echo "== $preset: test ($arch Wine)"
  dv_wine_env "$arch" "$PWD/build/$preset/wineprefix"
  dv_wine_start
  ctest --preset "$preset" || rc=1
  dv_wine_stop
  return $rc
}

# A suite that was built and checked but could not run is reported as such.
suite() {
  local name=$1; shift
  local before=${#unrun[@]}
  if "$@"; then
    [ ${#unrun[@]} -eq "$before" ] && ran+=("$name")
  else
    failed+=("$name"); status=1
  fi
}

suite native native native
suite win32 windows win32 win32
suite win64 windows win64 win64
# The earlier build: the same sources with its four differences.
suite native-earlier native native-earlier
suite win32-earlier windows win32-earlier win32
suite win64-earlier windows win64-earlier win64
# Every fuzz target: its seed corpus replayed, then a bounded run.
echo "== fuzz"
suite fuzz bash scripts/fuzz.sh
# Every benchmark once on small inputs, so that none rots (timings mean little).
echo "== benchmarks (short)"
suite benchmarks env DV_BENCH_NATIVE_DIR=build/native-release bash scripts/bench.sh --short

echo "== summary"
echo "ran:     ${ran[*]:-none}"
[ ${#failed[@]} -gt 0 ] && echo "failed:  ${failed[*]}"
[ ${#unrun[@]} -gt 0 ] && echo "built and checked, not run: ${unrun[*]} ($(dv_no_32bit_reason))"
if [ $status -ne 0 ]; then echo "== FAILED"; else echo "== all suites that ran passed"; fi
exit $status
