#!/usr/bin/env bash
# The failure log where the updater may not write, which needs a user other
# than root (root writes anywhere): the updater runs as uid 65534 in a Wine
# prefix of that user's own. Started without options, it would log
# "missing --pid"; where it cannot, it must still exit 0, print nothing and
# change nothing.
#   run_as_nobody.sh UPDATER_EXE WORK_FOLDER
# Needs root (to switch users) and setpriv; exits 77 (skipped) without them.
# The prefix stays in WORK_FOLDER between runs (booting one takes ~5 s); its
# Wine server is stopped at the end.
set -u
updater=$1
work=$2
uid=65534
# Without address-space randomisation, which now and then kills a Wine process
# at start (see cmake/mingw-w64-x86_64.cmake).
wine=(setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64)
wineserver=/usr/lib/wine/wineserver

[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root to run as uid $uid"; exit 77; }
command -v setpriv >/dev/null || { echo "skipped: setpriv is missing"; exit 77; }

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

as_nobody() {
  setpriv --reuid=$uid --regid=$uid --clear-groups \
    env -u DISPLAY HOME="$work/home" WINEPREFIX="$work/prefix" WINEDEBUG=-all "$@"
}

# The prefix and the home folder belong to the user; nothing else in $work does.
mkdir -p "$work/prefix" "$work/home" || fail "cannot create $work"
chmod 0755 "$work"
chown $uid:$uid "$work/prefix" "$work/home"
# Helper processes keep whatever output they inherit: give them none.
as_nobody "$wineserver" -p30 </dev/null >/dev/null 2>&1
trap 'as_nobody "$wineserver" -k </dev/null >/dev/null 2>&1' EXIT
if [ ! -f "$work/prefix/system.reg" ]; then
  as_nobody "${wine[@]}" wineboot -i </dev/null >/dev/null 2>&1 || fail "cannot boot the prefix"
fi

# A fresh folder $1 (owned by root, mode 0755) holding a copy of the updater.
install_in() {
  rm -rf "$1"
  mkdir -p "$1"
  chmod 0755 "$1"
  cp "$updater" "$1/patcher-updater.exe" || fail "cannot copy the updater"
  chmod 0755 "$1/patcher-updater.exe"
}

# Runs the copy in $1 as the user with no arguments: exit 0 and no output.
run_in() {
  local status=0
  as_nobody "${wine[@]}" "$1/patcher-updater.exe" </dev/null >"$work/out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$1: exit status $status"
  [ ! -s "$work/out" ] || fail "$1: the updater printed: $(head -c 300 "$work/out")"
}

# Control: in a folder of the user's own the log is written, so the runs
# below fail to log for the reason that they set up.
install_in "$work/own"
chown -R $uid:$uid "$work/own"
run_in "$work/own"
[ "$(cat "$work/own/patcher-updater.log")" = "missing --pid" ] || fail "the control run did not log"

# A folder that the user may read but not write: no log is created.
install_in "$work/locked"
run_in "$work/locked"
entries=$(find "$work/locked" -mindepth 1 -printf '%f ')
[ "$entries" = "patcher-updater.exe " ] || fail "the locked folder holds: $entries"

# The user's own folder with an older log that only root may write: it keeps
# its content (the updater neither cuts nor replaces it).
install_in "$work/old-log"
chown -R $uid:$uid "$work/old-log"
printf 'an older failure' >"$work/old-log/patcher-updater.log"
chmod 0644 "$work/old-log/patcher-updater.log"
run_in "$work/old-log"
[ "$(cat "$work/old-log/patcher-updater.log")" = "an older failure" ] || fail "the older log changed"
[ "$(stat -c %U "$work/old-log/patcher-updater.log")" = root ] || fail "the older log was replaced"

rm -rf "$work/own" "$work/locked" "$work/old-log" "$work/out"
echo "log folder not writable: exit 0, nothing written"
