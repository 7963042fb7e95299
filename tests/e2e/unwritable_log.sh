#!/usr/bin/env bash
# The failure log where it cannot be written: the updater, started without
# options, would log "missing --pid"; it must still exit 0, print nothing and
# leave the folder as it was. Each mode first shows that the same run logs
# where it can, so that the obstacle is what stops the log. In a folder it may
# not write, the stand-in patcher's own check refuses the update with 5. Needs
# root (a tmpfs, another user); without it, exits 77 (skipped).
#   unwritable_log.sh full-volume|not-writable UPDATER_EXE WINE_PREFIX WORK_FOLDER STAND_IN_V1 STAND_IN_V2
set -u
mode=$1 updater=$2 work=$4
export WINEPREFIX=$3 WINEDEBUG=-all
unset DISPLAY
as=()  # the user to run as, if not this one
fail() { echo "FAIL ($mode): $*" >&2; exit 1; }
install_in() { rm -rf "$1" && mkdir -p "$1" && chmod 0755 "$1" && cp "$updater" "$1/patcher-updater.exe" || fail "set-up of $1"; }
run_in() {  # the copy in $1, then what its folder holds ($2) and its log ($3, "-": none)
  "${as[@]}" setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64 "$1/patcher-updater.exe" </dev/null >"$work/out" 2>&1 ||
    fail "exit status $?"
  [ ! -s "$work/out" ] || fail "the updater printed: $(head -c 300 "$work/out")"
  [ "$(ls -A "$1" | xargs)" = "$2" ] || fail "$1 holds: $(ls -A "$1" | xargs)"
  [ "$3" = - ] || [ "$(cat "$1/patcher-updater.log")" = "$3" ] || fail "the log holds: $(cat "$1/patcher-updater.log")"
}
mkdir -p "$work" && [ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 77; }
if [ "$mode" = full-volume ]; then  # the log is created, empty, before the write fails
  install_in "$work/f" && mount -t tmpfs -o size=256k,mode=0755 patcher-updater-full "$work/f" || exit 77
  trap 'umount "$work/f"' EXIT
  cp "$updater" "$work/f/patcher-updater.exe" && run_in "$work/f" "patcher-updater.exe patcher-updater.log" "missing --pid"
  rm "$work/f/patcher-updater.log" && { cat /dev/zero >"$work/f/filler"; cat /dev/zero >"$work/f/rest"; } 2>/dev/null
  run_in "$work/f" "filler patcher-updater.exe patcher-updater.log rest" ""
else  # uid 65534 with a prefix of its own, in a folder it may not write, beside an older log it may not write
  export WINEPREFIX=$work/prefix HOME=$work/home
  mkdir -p "$WINEPREFIX" "$HOME" && chmod 0755 "$work" && chown 65534:65534 "$WINEPREFIX" "$HOME"
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  "${as[@]}" /usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1
  trap '"${as[@]}" /usr/lib/wine/wineserver -k </dev/null >/dev/null 2>&1' EXIT
  # Booting a prefix starts helpers that keep what output they get: give them none.
  [ -f "$WINEPREFIX/system.reg" ] || "${as[@]}" setarch x86_64 -R /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
  install_in "$work/own" && chown -R 65534:65534 "$work/own"
  run_in "$work/own" "patcher-updater.exe patcher-updater.log" "missing --pid"
  install_in "$work/locked" && run_in "$work/locked" "patcher-updater.exe" -
  install_in "$work/old" && chown 65534:65534 "$work/old" && printf 'an older failure' >"$work/old/patcher-updater.log"
  run_in "$work/old" "patcher-updater.exe patcher-updater.log" "an older failure"
  # A patcher in a folder it may not write: its own check refuses the update (5) before it starts anything.
  install_in "$work/app" && cp "$5" "$work/app/patcher.exe" && cp "$6" "$work/app/patcher.new" || fail "set-up of $work/app"
  windows() { echo "Z:${1//\//\\}"; }
  "${as[@]}" setarch x86_64 -R /usr/lib/wine/wine64 "$work/app/patcher.exe" update "$(windows "$work/app/patcher-updater.exe")" \
    "$(windows "$work/app/patcher.new")" 0 </dev/null >/dev/null 2>&1
  status=$?
  [ $status = 5 ] || fail "the patcher's check gave $status, not 5"
  [ "$(ls -A "$work/app" | xargs)" = "patcher-updater.exe patcher.exe patcher.new" ] || fail "$work/app holds: $(ls -A "$work/app" | xargs)"
fi
echo "$mode: exit 0, nothing printed, the folder as it was"
