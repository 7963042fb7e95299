#!/usr/bin/env bash
# The main job: builds the updater and runs it under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target patcher-updater

build=build/windows
prefix=$PWD/$build/wine-prefix
scripts/wine-prefix.sh start "$prefix"
trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY

work=$(mktemp -d)
cp "$build/patcher-updater.exe" "$work/"
echo "== patcher-updater.exe ($(stat -c %s "$work/patcher-updater.exe") bytes), started with no options"
/usr/lib/wine/wine64 "$work/patcher-updater.exe" </dev/null
echo "exit code: $?"
echo "== $work/patcher-updater.log:"
cat "$work/patcher-updater.log"
echo
rm -rf "$work"
