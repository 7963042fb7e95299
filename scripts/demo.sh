#!/usr/bin/env bash
# The main job: a real update of a stand-in patcher under Wine.
#
# Version 1 of the stand-in patcher is installed in a folder whose name has a
# space and a non-ASCII letter; version 2 is "downloaded" beside it with its
# SHA-256 digest. Version 1 starts the updater with its own pid (through the
# patcher-side helper in include/) and exits; the updater waits, verifies,
# swaps and restarts. Then a second update with a wrong digest shows the log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target patcher-updater stand_in_patcher_v1 stand_in_patcher_v2 >/dev/null

build=$PWD/build/windows
export WINEPREFIX=$build/wine-prefix LANG=C.UTF-8
. scripts/wine-env.sh
scripts/wine-prefix.sh start "$WINEPREFIX"
work=$(mktemp -d)
trap 'scripts/wine-prefix.sh stop "$WINEPREFIX"; rm -rf "$work"' EXIT

app="$work/Kestrel App é"
mkdir -p "$app" "$work/updater"
cp "$build/patcher-updater.exe" "$work/updater/"
cp "$build/tests/stand_in_patcher_v1.exe" "$app/patcher.exe"
cp "$build/tests/stand_in_patcher_v2.exe" "$app/patcher-v2.download"
digest=$(sha256sum "$app/patcher-v2.download" | cut -d' ' -f1)
log="$work/updater/patcher-updater.log"

echo "== Installed: version 1 at $(windows_path "$app/patcher.exe")"
echo "   Downloaded: version 2 at $(windows_path "$app/patcher-v2.download")"
echo "   sha256 $digest"
echo "   updater: $(windows_path "$work/updater/patcher-updater.exe") ($(stat -c %s "$work/updater/patcher-updater.exe") bytes)"
echo
echo "== Version 1 starts the updater with its own pid and exits"
"${wine[@]}" "$app/patcher.exe" update "$(windows_path "$work/updater/patcher-updater.exe")" \
  "$(windows_path "$app/patcher-v2.download")" "$digest" </dev/null
for _ in $(seq 200); do grep -q version=2 "$app/patcher-starts.txt" 2>/dev/null && break; sleep 0.1; done

echo
echo "== After the update"
if cmp -s "$app/patcher.exe" "$build/tests/stand_in_patcher_v2.exe"; then
  echo "   patcher.exe is now version 2"
else
  echo "   patcher.exe is NOT version 2"; exit 1
fi
[ -e "$app/patcher-v2.download" ] && echo "   the download is still there" || echo "   the download was moved into place"
[ -e "$app/patcher.exe.old" ] && echo "   a backup was left" || echo "   no backup left"
[ -e "$log" ] && echo "   a log was written" || echo "   no log written"
echo "   starts recorded by the stand-in patcher (version, working directory, command line):"
sed 's/^/     /' "$app/patcher-starts.txt"

echo
echo "== A failed update: a download whose digest does not match"
cp "$build/tests/stand_in_patcher_v1.exe" "$app/patcher-v3.download"
"${wine[@]}" "$work/updater/patcher-updater.exe" --pid 0 --current "$(windows_path "$app/patcher.exe")" \
  --new "$(windows_path "$app/patcher-v3.download")" --sha256 "$digest" </dev/null
echo "   exit code: $?"
cmp -s "$app/patcher.exe" "$build/tests/stand_in_patcher_v2.exe" && echo "   patcher.exe is still version 2"
[ -e "$app/patcher-v3.download" ] && echo "   the download is still there"
echo "   $(windows_path "$log"):"
echo "     $(cat "$log")"
