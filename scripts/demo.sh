#!/usr/bin/env bash
# The main road under Wine: builds the 32-bit Windows component and the test
# host, puts them into a demo folder with the sample configuration and data
# files, and has the host call DataExport for a task without steps. Then
# shows the result code, the message and the files in the target folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh

echo "== build (win32)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)"

export WINEPREFIX="$root/build/win32/wineprefix" WINEARCH=win32 WINEDEBUG=-all \
       LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 DISPLAY=
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 </dev/null
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp -r demo/. "$demo/"
cp build/win32/bin/Dorvelk.dll build/win32/bin/dvhost.exe "$demo/"

echo "== component folder: $demo"
(cd "$demo" && ls -1)
echo "== DataExport, task DEMO_COPY, target folder out\\"
# The host passes the component's folder, the configuration and the Packages
# XML; relative paths resolve against the component's folder.
folder=$(winepath -w "$demo" 2>/dev/null)
# Output goes through a file: a Wine service started by this run would keep
# a pipe open for as long as the wine server lives.
rc=0
(cd "$demo" && wine dvhost.exe "$folder" DataExport component.xml DEMO_COPY "" \
   @packages.xml 'out\' 'Operator=demo' >host-output.txt 2>&1) || rc=$?
# The component speaks GBK.
iconv -f GBK -t UTF-8 "$demo/host-output.txt"

echo "== files in the target folder $demo/out"
LC_ALL=C ls -l "$demo/out"
exit $rc
