# Sourced, not run: how this project starts Wine for a Windows build, in one
# place for the test suites, the demo, the benchmarks and CTest's runner.
#
#   dv_can_run_32bit     true when this machine runs 32-bit programs
#   dv_wine_env ARCH DIR Wine for ARCH (win32 or win64) with its prefix DIR
#   dv_wine ...          runs a Windows program with that Wine
#   dv_wine_boot         makes the prefix if it is new
#   dv_wine_start        that, then starts a persistent server
#   dv_wine_stop         stops that server

# Some kernels run no 32-bit programs at all, and Debian's 32-bit Wine loader
# is one. Asked once, by running a 32-bit program, not by guessing from the
# kernel. DV_NO_32BIT=1 takes the "cannot" path on any machine.
dv_can_run_32bit() {
  if [ -z "${DV_CAN_RUN_32BIT:-}" ]; then
    DV_CAN_RUN_32BIT=no
    if [ "${DV_NO_32BIT:-0}" != 1 ] && [ -x /usr/lib/wine/wineserver32 ] &&
       /usr/lib/wine/wineserver32 --version </dev/null >/dev/null 2>&1; then
      DV_CAN_RUN_32BIT=yes
    fi
    export DV_CAN_RUN_32BIT
  fi
  [ "$DV_CAN_RUN_32BIT" = yes ]
}

# On a machine with both loaders /usr/bin/wine picks the 32-bit one, so the
# 64-bit runs name their loader and server outright.
dv_wine_env() {
  local arch=$1 prefix=$2
  export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all \
         LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 DISPLAY=
  if [ "$arch" = win64 ]; then
    export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
  else
    export WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
  fi
}

dv_wine() { "$WINELOADER" "$@"; }

# Makes the prefix when it is new; its registry is on disk once the server
# that made it is gone.
dv_wine_boot() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    dv_wine wineboot -i >/dev/null 2>&1 </dev/null
    "$WINESERVER" -w
  fi
}

dv_wine_start() {
  dv_wine_boot
  # One server and one set of Wine's services for many programs, instead of
  # a start-up per program. Redirected: it would hold the caller's pipe open.
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  dv_wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Safe under set -e, also when no server runs.
dv_wine_stop() {
  if [ -n "${WINESERVER:-}" ]; then "$WINESERVER" -k >/dev/null 2>&1 || true; fi
}
