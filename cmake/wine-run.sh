#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh ARCH PREFIX PROGRAM ARGS...
# ARCH is win32 or win64; the prefix is the build folder's own, with code
# page 936 as on the Chinese Windows the component serves.
. "$(dirname "$0")/../scripts/wine-env.sh"
dv_wine_env "$1" "$2"; shift 2
dv_wine_boot
# The program's output goes through files: Wine's background services, when
# this run starts them, inherit its output and would hold a pipe open for as
# long as the wine server lives, so that CTest would wait for ever.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rc=0
dv_wine "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
cat "$tmp/out"
cat "$tmp/err" >&2
exit $rc
