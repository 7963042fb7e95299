#!/usr/bin/env bash
# The failure log on a full disk. Started without options, the updater would
# log "missing --pid"; when the log cannot be written it must still exit 0,
# print nothing, and write no byte.
#   disk_full_log.sh dev-full    UPDATER_EXE WINE_PREFIX WORK_FOLDER
#   disk_full_log.sh full-volume UPDATER_EXE WINE_PREFIX WORK_FOLDER
# dev-full: patcher-updater.log is a symbolic link to /dev/full. The log
#   exists, so the updater first cuts it to length 0, which the device
#   refuses; the link and the device stay as they were.
# full-volume: the updater lies on a 256 KiB tmpfs filled to the last byte.
#   The log is created (that takes no space) and its write fails with "no
#   space" (112), so an empty log is left. Needs root to mount; exits 77
#   (skipped) without.
# Runs in the prefix of the Wine server that the test fixture has started.
set -u
mode=$1
updater=$2
export WINEPREFIX=$3 WINEDEBUG=-all
work=$4
unset DISPLAY
# Without address-space randomisation, which now and then kills a Wine process
# at start (see cmake/mingw-w64-x86_64.cmake).
wine=(setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64)
folder=$work/folder

fail() {
  echo "FAIL ($mode): $*" >&2
  exit 1
}

# Runs the copy in $folder with no arguments; its exit status goes to $status
# and everything it prints to $work/out (outside the folder under test).
run_updater() {
  status=0
  "${wine[@]}" "$folder/patcher-updater.exe" </dev/null >"$work/out" 2>&1 || status=$?
}

# Without obstacles the same run logs beside the executable: the log path is
# the one that the obstacle takes.
control_run() {
  run_updater
  [ "$status" -eq 0 ] || fail "exit status $status with a writable log"
  [ "$(cat "$folder/patcher-updater.log")" = "missing --pid" ] || fail "the control run logged something else"
  rm "$folder/patcher-updater.log"
}

expect_quiet_success() {
  [ "$status" -eq 0 ] || fail "exit status $status when the log cannot be written"
  [ ! -s "$work/out" ] || fail "the updater printed: $(head -c 300 "$work/out")"
}

expect_entries() {
  local entries
  entries=$(find "$folder" -mindepth 1 -printf '%f\n' | sort | tr '\n' ' ')
  [ "$entries" = "$1" ] || fail "the folder holds: $entries"
}

case "$mode" in
dev-full)
  rm -rf "$work"
  mkdir -p "$folder" || fail "cannot create $folder"
  cp "$updater" "$folder/patcher-updater.exe" || fail "cannot copy the updater"
  control_run
  ln -s /dev/full "$folder/patcher-updater.log"
  run_updater
  expect_quiet_success
  [ -L "$folder/patcher-updater.log" ] || fail "the link was replaced"
  [ "$(readlink "$folder/patcher-updater.log")" = /dev/full ] || fail "the link points elsewhere"
  [ -c /dev/full ] || fail "/dev/full is no longer a device"
  expect_entries "patcher-updater.exe patcher-updater.log "
  rm -rf "$work"
  ;;
full-volume)
  [ "$(id -u)" -eq 0 ] || { echo "skipped: mounting a tmpfs needs root"; exit 77; }
  rm -rf "$work"
  mkdir -p "$folder" || fail "cannot create $folder"
  mount -t tmpfs -o size=256k,mode=0755 patcher-updater-full "$folder" 2>/dev/null ||
    { echo "skipped: cannot mount a tmpfs here"; exit 77; }
  trap 'umount "$folder"; rm -rf "$work"' EXIT
  cp "$updater" "$folder/patcher-updater.exe" || fail "cannot copy the updater"
  control_run
  # Fill every block that is left; the second file takes what rounding spared.
  cat /dev/zero >"$folder/filler" 2>/dev/null
  cat /dev/zero >"$folder/filler-rest" 2>/dev/null
  [ "$(df --output=avail "$folder" | tail -1 | tr -d ' ')" -eq 0 ] || fail "the volume is not full"
  run_updater
  expect_quiet_success
  [ -f "$folder/patcher-updater.log" ] || fail "no log file was created"
  [ ! -s "$folder/patcher-updater.log" ] || fail "the log holds: $(cat "$folder/patcher-updater.log")"
  expect_entries "filler filler-rest patcher-updater.exe patcher-updater.log "
  ;;
*)
  echo "usage: $0 dev-full|full-volume UPDATER_EXE WINE_PREFIX WORK_FOLDER" >&2
  exit 2
  ;;
esac
echo "$mode: exit 0, not a byte logged"
