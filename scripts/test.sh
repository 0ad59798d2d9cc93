#!/usr/bin/env bash
# Sets up the machine, builds both platforms and runs every test suite:
# the native suite under ASan/UBSan, then the Windows suite under Wine.
# Exits non-zero when a build or a test fails; both suites run either way.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

jobs=$(nproc)
status=0
# A persistent wine server must not outlive an interrupted run.
trap '[ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1; true' EXIT

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

win32() {
  local preset=$1 rc=0
  build "$preset" || rc=$?
  [ $rc -eq 2 ] && return 1
  echo "== $preset: test (Wine)"
  export WINEPREFIX="$PWD/build/$preset/wineprefix" WINEARCH=win32 WINEDEBUG=-all \
         LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 DISPLAY=
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w  # the new prefix's registry is on disk once the server is gone
  fi
  # One wine server and one set of Wine's services for the whole suite,
  # instead of a start-up per test.
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
  ctest --preset "$preset" || rc=1
  wineserver -k >/dev/null 2>&1 || true
  return $rc
}

native native || status=1
win32 win32 || status=1
# The earlier build: the same sources with its four differences.
native native-earlier || status=1
win32 win32-earlier || status=1
# Every fuzz target: its seed corpus replayed, then a bounded run.
echo "== fuzz"
bash scripts/fuzz.sh || status=1
# Every benchmark once on small inputs, so that none rots (timings mean little).
echo "== benchmarks (short)"
DV_BENCH_NATIVE_DIR=build/native-release bash scripts/bench.sh --short || status=1
if [ $status -ne 0 ]; then echo "== FAILED"; else echo "== all suites passed"; fi
exit $status
