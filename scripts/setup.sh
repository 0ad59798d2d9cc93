#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Dorvelk.
# First everything that the native and the 64-bit Windows legs need: that
# step must succeed. Then, only where this machine runs 32-bit programs, the
# 32-bit Wine in a step of its own: where apt refuses it, the set-up says why
# in one line, leaves that reason for the 32-bit legs to skip with, and goes
# on. Idempotent: with everything in place it does not call apt at all.
#
# The failure paths can be tried on any machine:
#   DV_SIMULATE_APT_UPDATE_FAIL=1  every index update counts as failed (exit 100)
#   DV_SIMULATE_NO_WINE32=1        the path of a machine that runs 32-bit
#                                  programs but gets no 32-bit Wine: apt is not
#                                  asked for it, and the 32-bit probe is not run
#   DV_NO_32BIT=1                  the path of a machine that runs none
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
export DEBIAN_FRONTEND=noninteractive

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# An index update that reports errors (a mirror in the middle of a sync) does
# not stop the set-up: a few tries, then the install goes ahead with the
# indexes that did arrive. Once a run, unless an architecture was added.
updated=0
update() {
  [ $updated = 1 ] && return 0
  updated=1
  local try rc
  for try in 1 2 3; do
    rc=0
    if [ "${DV_SIMULATE_APT_UPDATE_FAIL:-0}" = 1 ]; then
      echo "E: failure simulated by DV_SIMULATE_APT_UPDATE_FAIL=1" >"$log"
      rc=100
    else
      apt-get update -qq >"$log" 2>&1 || rc=$?
    fi
    [ $rc -eq 0 ] && return 0
    echo "setup: apt-get update failed (exit $rc), try $try of 3: $(grep -m1 '^E:' "$log" || tail -n1 "$log")"
    [ $try -lt 3 ] && sleep 5
  done
  echo "setup: going on with the package indexes that did arrive"
}

# apt's output goes to $log, for its error lines.
install() { apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; }

# apt's reason in one line: its E: lines (or its last line when it gave none).
apt_reason() {
  { grep '^E:' "$log" || tail -n1 "$log"; } | awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }'
}

need=()
for p in cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev \
         libxml2-dev uuid-dev g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
         binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
         binutils-mingw-w64-x86-64 wine wine64 locales; do
  have "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  update
  if ! install "${need[@]}"; then
    # apt installs all or none: one at a time, what can be installed is, and
    # the rest is named with apt's own lines.
    missing=() errors=()
    for p in "${need[@]}"; do
      if ! have "$p" && ! install "$p"; then
        missing+=("$p")
        mapfile -t -O ${#errors[@]} errors < <(grep '^E:' "$log" || true)
      fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
      echo "setup: cannot install the required package(s): ${missing[*]}" >&2
      printf '%s\n' "${errors[@]}" | awk 'NF && !seen[$0]++' >&2
      exit 1
    fi
  fi
fi

# The 32-bit Wine: asked for only where a 32-bit program has run, so that a
# machine that runs none never gets the i386 architecture.
mkdir -p "$(dirname "$DV_WINE32_REFUSED")"
refused() {
  echo "$1" >"$DV_WINE32_REFUSED"
  echo "setup: the 32-bit Wine (wine32:i386) could not be installed, the 32-bit Windows legs will be skipped: $1"
}
if [ "${DV_NO_32BIT:-0}" = 1 ]; then
  rm -f "$DV_WINE32_REFUSED"
elif [ "${DV_SIMULATE_NO_WINE32:-0}" = 1 ]; then
  refused "$DV_WINE32_SIMULATED"
elif ! dv_runs_32bit || have wine32:i386; then
  rm -f "$DV_WINE32_REFUSED"
else
  echo "setup: this machine runs 32-bit programs: installing the 32-bit Wine (wine32:i386)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=0
  fi
  update
  if install wine32:i386; then
    rm -f "$DV_WINE32_REFUSED"
  else
    refused "$(apt_reason)"
  fi
fi

# Wine's ANSI code page follows the locale: zh_CN.UTF-8 gives 936 (GBK).
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
  sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
