#!/usr/bin/env bash
# The package as a patcher's developer takes it: installs the build into a
# prefix, builds the stand-in patcher against that prefix alone, and lets it
# update itself (to a copy of itself) under Wine: the updater must restart it
# and leave only the new executable.
#   run.sh BUILD_DIR WINE_PREFIX WORK_FOLDER
set -u
build=$1 work=$3
export WINEPREFIX=$2 WINEDEBUG=-all
unset DISPLAY
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" || fail "install: $(cat "$work/install.log")"
cmake -S "$here" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_TOOLCHAIN_FILE="$here/../../cmake/mingw-w64-x86_64.cmake" >"$work/configure.log" 2>&1 ||
  fail "configure: $(cat "$work/configure.log")"
cmake --build "$work/build" -v >"$work/build.log" 2>&1 || fail "build (status $?): $(cat "$work/build.log")"
app=$work/build
cp "$app/patcher.exe" "$app/patcher.exe.download"  # where an empty <new> says the download goes
digest=$(sha256sum "$app/patcher.exe" | cut -d' ' -f1)
windows() { echo "Z:${1//\//\\}"; }
setarch x86_64 --addr-no-randomize /usr/lib/wine/wine64 "$app/patcher.exe" update "$(windows "$app/patcher-updater.exe")" \
  "" "$digest" </dev/null >/dev/null 2>&1 || fail "the patcher could not start the update: exit status $?"
# The patcher has exited; the updater waits for it, swaps and restarts it. Wait for that restart, its
# third start line (a limit only against a hang).
starts() { cat "$app/patcher-starts.txt" 2>/dev/null; }
for _ in $(seq 1200); do [ "$(starts | wc -l)" -ge 3 ] && break; sleep 0.1; done
[[ "$(starts | tail -n 1)" == "version=1|cwd=$(windows "$app")|cmdline=\"$(windows "$app")\\patcher.exe\""* ]] ||
  fail "the patcher was not restarted: $(starts) $(cat "$app/patcher-updater.log" 2>/dev/null)"
[ ! -e "$app/patcher.exe.download" ] && [ ! -e "$app/patcher.exe.old" ] && [ ! -e "$app/patcher-updater.log" ] ||
  fail "left behind: $(ls "$app" | xargs)"
echo "installed package: built a patcher against it, updated and restarted under Wine"
