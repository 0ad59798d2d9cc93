#!/usr/bin/env bash
# Runs a Windows program under Wine in a 32-bit prefix (first argument),
# with code page 936 as on the Chinese Windows the component serves.
export WINEPREFIX="$1"; shift
export WINEARCH=win32 WINEDEBUG=-all LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 DISPLAY=
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null
fi
# The program's output goes through files: Wine's background services, when
# this run starts them, inherit its output and would hold a pipe open for as
# long as the wine server lives, so that CTest would wait for ever.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rc=0
wine "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
cat "$tmp/out"
cat "$tmp/err" >&2
exit $rc
