#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Dorvelk.
# Everything that the native and the Windows builds need goes in one step
# that must succeed. Where this machine runs 32-bit programs, the 32-bit Wine
# follows in a step of its own: where apt refuses it, the set-up says why in
# one line, leaves that reason for the 32-bit suites (built and checked, not
# run), and goes on.
# Idempotent: with everything in place it does not call apt at all.
#
# The 32-bit question is decided first. The 32-bit Wine needs the i386 twin
# of many native libraries at the very same version; when an archive's i386
# index fails to download (a mirror in the middle of a sync) while its
# native index arrives, the two architectures would skew. Such an archive is
# then held below the others for this set-up's installs, so that both
# architectures come from the archives whose indexes arrived. apt never
# removes a package here, and never downgrades one the machine had before
# the set-up first ran; the Wine dependencies that the set-up itself
# installed may move to a version both architectures share.
#
# The paths can be tried on any machine:
#   DV_SIMULATE_APT_UPDATE_FAIL=1  every index update counts as failed (exit 100)
#   DV_SIMULATE_NO_WINE32=1        the path of a machine that runs 32-bit
#                                  programs but gets no 32-bit Wine: apt is not
#                                  asked for it, and the 32-bit probe is not run
#   DV_NO_32BIT=1                  the path of a machine that runs none
#   DV_PLAN_WINE32=1               the 32-bit Wine's install decided as on a
#                                  machine that runs 32-bit programs, with
#                                  apt's simulation only: which archive is
#                                  held back, which packages move, or why it
#                                  would be refused; nothing 32-bit is added
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
export DEBIAN_FRONTEND=noninteractive
mkdir -p build

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

log=$(mktemp) updlog=$(mktemp)
trap 'rm -f "$log" "$updlog"' EXIT

# What the machine had before the set-up first ran: never downgraded.
before=/var/lib/dorvelk-setup/packages-before-first-run.txt
if [ ! -s "$before" ] && mkdir -p "$(dirname "$before")" 2>/dev/null; then
  dpkg-query -W -f='${Package}:${Architecture} ${Version}\n' >"$before.new" 2>/dev/null &&
    mv "$before.new" "$before" || rm -f "$before.new"
fi
# Without the record, anything may have been there before.
had_before() { [ ! -s "$before" ] || grep -qxF "$1 $2" "$before"; }

native_arch=$(dpkg --print-architecture)
aptopt=()  # options for every apt call of this run (architectures, preferences)

# An index update that reports errors does not stop the set-up: a few tries,
# then the install goes ahead with the indexes that did arrive. Once a run,
# unless an architecture was added. The last try's output stays in $updlog.
updated=0
update() {
  [ $updated = 1 ] && return 0
  updated=1
  local try rc
  for try in 1 2 3; do
    rc=0
    if [ "${DV_SIMULATE_APT_UPDATE_FAIL:-0}" = 1 ]; then
      echo "E: failure simulated by DV_SIMULATE_APT_UPDATE_FAIL=1" >"$updlog"
      rc=100
    else
      apt-get "${aptopt[@]}" update -qq >"$updlog" 2>&1 || rc=$?
    fi
    [ $rc -eq 0 ] && return 0
    echo "setup: apt-get update failed (exit $rc), try $try of 3: $(grep -m1 '^E:' "$updlog" || tail -n1 "$updlog")"
    [ $try -lt 3 ] && sleep 5
  done
  echo "setup: going on with the package indexes that did arrive"
}

# apt's output goes to $log, for its error lines.
install() { apt-get "${aptopt[@]}" install -y -qq --no-install-recommends --no-remove "$@" >"$log" 2>&1; }

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

# The 32-bit question first: asked only where a 32-bit program has run, so
# that a machine that runs none never gets the i386 architecture.
refused() {
  echo "$1" >"$DV_WINE32_REFUSED"
  echo "setup: the 32-bit Wine (wine32:i386) could not be installed; the 32-bit Windows suites will be built and checked, not run: $1"
}
plan=${DV_PLAN_WINE32:-0}
want32=0
if [ "${DV_NO_32BIT:-0}" = 1 ]; then
  rm -f "$DV_WINE32_REFUSED"
elif [ "${DV_SIMULATE_NO_WINE32:-0}" = 1 ]; then
  refused "$DV_WINE32_SIMULATED"
elif have wine32:i386; then
  rm -f "$DV_WINE32_REFUSED"
  [ "$plan" = 1 ] && echo "setup: DV_PLAN_WINE32=1: the 32-bit Wine is installed already, nothing to decide"
elif [ "$plan" = 1 ]; then
  want32=1
  echo "setup: DV_PLAN_WINE32=1: the 32-bit Wine's install is decided with apt's simulation only"
elif dv_runs_32bit; then
  want32=1
  rm -f "$DV_WINE32_REFUSED"
  echo "setup: this machine runs 32-bit programs: the 32-bit Wine (wine32:i386) is to be installed"
  if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
    dpkg --add-architecture i386
  fi
else
  rm -f "$DV_WINE32_REFUSED"
  [ "$DV_RUNS_32BIT" = unknown ] && echo "setup: $DV_RUNS_32BIT_WHY: the 32-bit Wine is not installed"
fi

# An archive whose i386 index failed while the others arrived is held below
# them (priority 100, as an installed version), for this run's installs only.
hold_back() {
  local held suite pref="$PWD/build/apt-held-back.pref"
  update
  held=$(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^ ]*\)/[^/ ]*/binary-i386/.*|\1|p' "$updlog" | sort -u)
  [ -n "$held" ] || return 0
  : >"$pref"
  for suite in $held; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\nPackage: *\nPin: release a=%s\nPin-Priority: 100\n\n' \
      "$suite" "$suite" >>"$pref"
  done
  aptopt+=(-o "Dir::Etc::Preferences=$pref")
  echo "setup: holding back $(echo $held | sed 's/ /, /g') below the other archives: its i386 index could not be downloaded, so that both architectures install from the archives whose indexes arrived"
}

# The native libraries that the 32-bit Wine needs as i386 twins, installed
# at a version that has no i386 twin in the indexes: each moves to the
# newest version both architectures have, unless the machine had it before
# the set-up first ran. Fills align with name=version pairs; on failure
# leaves the reason in why.
align=() why=
plan_twins() {
  local names installed twins n v w best
  names=$(apt-cache "${aptopt[@]}" depends --recurse --no-recommends --no-suggests --no-conflicts \
            --no-breaks --no-replaces --no-enhances wine32:i386 2>/dev/null |
          sed -n 's/^\([a-z0-9][^ <>]*\):i386$/\1/p' | sort -u)
  if [ -z "$names" ]; then why="apt knows no wine32:i386 in the indexes that arrived"; return 1; fi
  installed=$(dpkg-query -W -f='${Package} ${Version} ${Multi-Arch} ${db:Status-Abbrev}\n' \
                $(printf "%s:$native_arch " $names) 2>/dev/null | awk '$3 == "same" && $4 == "ii" { print $1, $2 }')
  [ -n "$installed" ] || return 0
  twins=$(apt-cache "${aptopt[@]}" madison $(echo "$installed" | awk '{ printf "%s:i386 %s ", $1, $1 }') 2>/dev/null |
          awk -F'|' '{ gsub(/ /, "", $1); gsub(/ /, "", $2); sub(/:i386$/, "", $1); n = split($3, f, " "); print $1, f[n-1], $2 }')
  while read -r n v; do
    grep -qxF "$n i386 $v" <<<"$twins" && continue
    best=
    for w in $(awk -v n="$n" '$1 == n && $2 == "i386" { print $3 }' <<<"$twins"); do
      grep -qxF "$n $native_arch $w" <<<"$twins" || continue
      if [ -z "$best" ] || dpkg --compare-versions "$w" gt "$best"; then best=$w; fi
    done
    if [ -z "$best" ]; then
      why="$n $v is installed and no version of it is in both the $native_arch and the i386 indexes that arrived"
      return 1
    fi
    if dpkg --compare-versions "$best" lt "$v" && had_before "$n:$native_arch" "$v"; then
      why="$n would have to move from $v down to $best (the newest version both architectures have), and the machine had $v before the set-up first ran"
      return 1
    fi
    align+=("$n=$best" "$n:i386=$best")
  done <<<"$installed"
}

# apt's plan, checked before anything is installed: no removal, and no
# downgrade of what the machine had before the set-up first ran.
check_plan() {
  local n old new
  if ! apt-get "${aptopt[@]}" install -s --no-install-recommends --no-remove --allow-downgrades "$@" >"$log" 2>&1; then
    why=$(apt_reason)
    return 1
  fi
  while read -r n old new; do
    dpkg --compare-versions "$new" lt "$old" || continue
    case "$n" in *:*) ;; *) n="$n:$native_arch" ;; esac
    if had_before "$n" "$old"; then
      why="apt would downgrade $n from $old to $new, which the machine had before the set-up first ran"
      return 1
    fi
  done < <(sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\] (\([^ ]*\) .*/\1 \2 \3/p' "$log")
}

# The native and Windows builds' packages. On the way to a 32-bit Wine they
# come from the same archives as the i386 packages will.
[ $want32 = 1 ] && [ "$plan" != 1 ] && hold_back
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

if [ $want32 = 1 ]; then
  if [ "$plan" = 1 ]; then
    # The i386 indexes, without adding the architecture to the machine.
    updated=0
    grep -qx i386 <<<"$(dpkg --print-foreign-architectures)" ||
      aptopt+=(-o "APT::Architectures::=$native_arch" -o "APT::Architectures::=i386")
    hold_back
    if plan_twins && check_plan wine32:i386 "${align[@]}"; then
      echo "setup: DV_PLAN_WINE32=1: apt would install the 32-bit Wine, $(grep -c '^Inst' "$log") packages to unpack$(
        [ ${#align[@]} -gt 0 ] && echo ", moving ${align[*]}"); nothing was installed"
    else
      echo "setup: DV_PLAN_WINE32=1: the 32-bit Wine would be refused: $why"
    fi
  elif plan_twins && check_plan wine32:i386 "${align[@]}"; then
    [ ${#align[@]} -gt 0 ] && echo "setup: moving to the version both architectures share: ${align[*]}"
    install --allow-downgrades wine32:i386 "${align[@]}" || why=$(apt_reason)
    have wine32:i386 || refused "${why:-apt did not install it}"
  else
    refused "$why"
  fi
fi

# Wine's ANSI code page follows the locale: zh_CN.UTF-8 gives 936 (GBK).
if ! grep -qi '^zh_CN\.utf8$' <<<"$(locale -a 2>/dev/null)"; then
  sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
