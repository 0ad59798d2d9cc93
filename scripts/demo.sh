#!/usr/bin/env bash
# The main road under Wine: builds the 32-bit Windows component and the test
# host (where this machine cannot run 32-bit programs or has no working 32-bit
# Wine, the 64-bit test build of the same sources under 64-bit Wine), puts
# them into a demo folder with the sample configuration and data files, and has the host call DataExport for a task without steps. Then
# shows the result code, the message and the files in the target folder.
# After that, with the test-double siblings beside the component, the host
# runs a whole DataTransmit exchange (demo/transmit) through the loopback
# service and the returned files are compared with the host's originals.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
. scripts/wine-env.sh

if dv_can_run_32bit; then
  win=win32
  echo "== this machine runs 32-bit programs: the demo uses the 32-bit DLL (the deliverable)"
else
  win=win64
  echo "== the demo uses the 64-bit test build under 64-bit Wine: $(dv_no_32bit_reason)"
fi
echo "== build ($win)"
cmake --preset $win >/dev/null
cmake --build --preset $win -j "$(nproc)"

dv_wine_env $win "$root/build/$win/wineprefix"
dv_wine_start
trap 'dv_wine_stop' EXIT

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp -r demo/. "$demo/"
cp build/$win/bin/Dorvelk.dll build/$win/bin/dvhost.exe "$demo/"

echo "== component folder: $demo"
(cd "$demo" && ls -1)
echo "== DataExport, task DEMO_COPY, target folder out\\"
# The host passes the component's folder, the configuration and the Packages
# XML; relative paths resolve against the component's folder.
folder=$(dv_wine winepath -w "$demo" 2>/dev/null)
# Output goes through a file: a Wine service started by this run would keep
# a pipe open for as long as the wine server lives.
rc=0
(cd "$demo" && dv_wine dvhost.exe "$folder" DataExport component.xml DEMO_COPY "" \
   @packages.xml 'out\' 'Operator=demo' >host-output.txt 2>&1) || rc=$?
# The component speaks GBK.
iconv -f GBK -t UTF-8 "$demo/host-output.txt"

echo "== files in the target folder $demo/out"
LC_ALL=C ls -l "$demo/out"

echo "== DataTransmit, task DEMO_TRANSMIT: Compress, Crypt (des, rsa), Code, Request,"
echo "   Communication (loopback), Response, Decode, Decrypt (rsa, des), Uncompress"
# The test doubles stand in for the five sibling libraries, beside the component.
cp build/$win/bin/doubles/*.dll "$demo/"
trc=0
(cd "$demo" && dv_wine dvhost.exe "$folder" DataTransmit 'transmit\component.xml' DEMO_TRANSMIT \
   'Key=demo' @transmit/packages.xml 'Operator=demo' >transmit-output.txt 2>&1 </dev/null) || trc=$?
iconv -f GBK -t UTF-8 "$demo/transmit-output.txt"

echo "== the returned files against the host's originals in transmit/data"
same=0
total=0
while IFS= read -r returned; do
  file=$(dv_wine winepath -u "$returned" 2>/dev/null </dev/null)
  original="$demo/transmit/data/$(basename "$file")"
  total=$((total + 1))
  if cmp "$original" "$file"; then
    echo "identical: $(basename "$file")"
    same=$((same + 1))
  fi
done < <(tr -d '\r' <"$demo/transmit-output.txt" | sed -n 's|.*<File>\(.*\)</File>.*|\1|p')
echo "$same of $total returned files are byte for byte the host's originals"
if [ "$trc" -ne 0 ] || [ "$total" -ne 3 ] || [ "$same" -ne "$total" ]; then rc=1; fi
exit $rc
