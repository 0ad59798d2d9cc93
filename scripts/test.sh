#!/usr/bin/env bash
# Sets up the machine, builds both platforms and runs every test suite:
# the native suite under ASan/UBSan, then the Windows suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

native() {
  local preset=$1
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset"
}

win32() {
  local preset=$1
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test (Wine)"
  export WINEPREFIX="$PWD/build/$preset/wineprefix" WINEARCH=win32 WINEDEBUG=-all \
         LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 DISPLAY=
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -p </dev/null >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  local rc=0
  ctest --preset "$preset" || rc=$?
  wineserver -k >/dev/null 2>&1 || true
  trap - EXIT
  return $rc
}

native native
win32 win32
