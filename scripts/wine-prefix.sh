#!/usr/bin/env bash
# Starts or stops the Wine server of the project's own prefix.
#   wine-prefix.sh start PREFIX   start a persistent server and boot the prefix
#   wine-prefix.sh stop PREFIX    stop the server
# All output goes to /dev/null: Wine's helper processes inherit it, and a test
# runner would wait for those pipes to close.
set -u
action=$1
export WINEPREFIX=$2
. "$(dirname "$0")/wine-env.sh"
wineserver=/usr/lib/wine/wineserver

case "$action" in
start)
  mkdir -p "$WINEPREFIX"
  # Exits 2 when a server already runs for this prefix; that one is used.
  "$wineserver" -p300 </dev/null >/dev/null 2>&1
  "${wine[@]}" wineboot -i </dev/null >/dev/null 2>&1 || exit 1
  # A crashing test program ends at once instead of starting the debugger.
  "${wine[@]}" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /t REG_SZ /d "" /f </dev/null >/dev/null 2>&1
  "${wine[@]}" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Auto /t REG_SZ /d "0" /f </dev/null >/dev/null 2>&1
  # Drive S: for the tests, on a tmpfs: another volume, where renames fail with 17.
  drive_s="/dev/shm/patcher-updater-$(echo -n "$WINEPREFIX" | md5sum | cut -c1-12)"
  mkdir -p "$drive_s"
  ln -sfn "$drive_s" "$WINEPREFIX/dosdevices/s:"
  exit 0
  ;;
stop)
  "$wineserver" -k </dev/null >/dev/null 2>&1
  exit 0
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
