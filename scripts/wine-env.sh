# Sourced, not run: how this project starts Wine for a Windows build, in one
# place for the test suites, the demo, the benchmarks and CTest's runner.
#
#   dv_runs_32bit        true when this machine runs 32-bit programs at all
#   dv_can_run_32bit     true when the 32-bit Wine legs can run here: 32-bit
#                        programs run and a working 32-bit Wine is installed
#   dv_no_32bit_reason   why not, in a few words (after dv_can_run_32bit)
#   dv_wine_env ARCH DIR Wine for ARCH (win32 or win64) with its prefix DIR
#   dv_wine ...          runs a Windows program with that Wine
#   dv_wine_boot         makes the prefix if it is new
#   dv_wine_start        that, then starts a persistent server
#   dv_wine_stop         stops that server
#
# DV_NO_32BIT=1 takes the "cannot run 32-bit programs" path on any machine;
# DV_SIMULATE_NO_WINE32=1 the "runs them, but the 32-bit Wine could not be
# installed" path (scripts/setup.sh then asks apt for no i386 package).

DV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Where scripts/setup.sh leaves apt's reason when it could not install the
# 32-bit Wine; absent when it could, or did not need to.
DV_WINE32_REFUSED="$DV_ROOT/build/wine32-refused.txt"
DV_WINE32_SIMULATED="refused by DV_SIMULATE_NO_WINE32=1 (apt was not asked)"

# Some kernels run no 32-bit programs at all, and Debian's 32-bit Wine loader
# is one. Asked once, by running a 32-bit program (the smallest i386 ELF: it
# exits with 42), not by guessing from the kernel. It runs from the build
# folder, where the tests run too, beside a copy of a native program: when
# that one cannot be executed either (a noexec mount, permission refused),
# the answer is "cannot tell", not "no". DV_RUNS_32BIT is then yes, no or
# unknown, and DV_RUNS_32BIT_WHY says why it is not yes.
dv_runs_32bit() {
  if [ -z "${DV_RUNS_32BIT:-}" ]; then
    DV_RUNS_32BIT=no DV_RUNS_32BIT_WHY=
    if [ "${DV_NO_32BIT:-0}" = 1 ]; then
      DV_RUNS_32BIT_WHY="this machine cannot run 32-bit programs (DV_NO_32BIT=1)"
    else
      local dir="$DV_ROOT/build/probe" rc=0 err
      mkdir -p "$dir"
      cp /bin/true "$dir/native"
      echo 'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhgAAAAYAAAAAUAAAAAEAAAuAEAAAC7KgAAAM2A' |
        base64 -d >"$dir/i386"
      chmod 755 "$dir/native" "$dir/i386"
      err=$("$dir/native" 2>&1 </dev/null) || rc=$?
      if [ $rc -ne 0 ]; then
        DV_RUNS_32BIT=unknown
        DV_RUNS_32BIT_WHY="the 32-bit probe could not be executed: programs in $dir cannot be run (${err##*: }${err:+, }exit status $rc)"
      else
        err=$("$dir/i386" 2>&1 </dev/null) || rc=$?
        if [ $rc -eq 42 ]; then
          DV_RUNS_32BIT=yes
        else
          DV_RUNS_32BIT_WHY="this machine cannot run 32-bit programs (${err##*: }${err:+, }exit status $rc)"
        fi
      fi
      rm -f "$dir/native" "$dir/i386"
    fi
    export DV_RUNS_32BIT DV_RUNS_32BIT_WHY
  fi
  [ "$DV_RUNS_32BIT" = yes ]
}

dv_can_run_32bit() {
  if [ -z "${DV_CAN_RUN_32BIT:-}" ]; then
    DV_CAN_RUN_32BIT=no
    if [ "${DV_SIMULATE_NO_WINE32:-0}" = 1 ] && [ "${DV_NO_32BIT:-0}" != 1 ]; then
      # Before the probe, so that this path can be tried on any machine.
      DV_NO_32BIT_REASON="the 32-bit Wine could not be installed: $(cat "$DV_WINE32_REFUSED" 2>/dev/null ||
                          echo "$DV_WINE32_SIMULATED")"
    elif ! dv_runs_32bit; then
      DV_NO_32BIT_REASON=$DV_RUNS_32BIT_WHY
    elif [ -x /usr/lib/wine/wine ] && [ -x /usr/lib/wine/wineserver32 ] &&
         /usr/lib/wine/wineserver32 --version </dev/null >/dev/null 2>&1; then
      DV_CAN_RUN_32BIT=yes DV_NO_32BIT_REASON=
    elif [ -s "$DV_WINE32_REFUSED" ]; then
      DV_NO_32BIT_REASON="the 32-bit Wine could not be installed: $(cat "$DV_WINE32_REFUSED")"
    else
      DV_NO_32BIT_REASON="no working 32-bit Wine is installed (scripts/setup.sh installs it)"
    fi
    export DV_CAN_RUN_32BIT DV_NO_32BIT_REASON
  fi
  [ "$DV_CAN_RUN_32BIT" = yes ]
}

dv_no_32bit_reason() { echo "${DV_NO_32BIT_REASON:-}"; }

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
