#!/usr/bin/env bash
# Times, alternating, (a) a complete successful update under Wine whose
# replacement is 1 GiB (the stand-in patcher padded with an overlay, so it
# still starts) and (b) `openssl dgst -sha256` of the same file, and prints
# both and the ratio a/b. Also prints the updater's peak memory for a 1 MiB and
# a 1 GiB replacement.
#   scripts/bench-update.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
scripts/setup.sh bench
cmake --preset windows >/dev/null
cmake --build --preset windows --target patcher-updater stand_in_patcher_v1 stand_in_patcher_v2 >/dev/null

build=$PWD/build/windows
export WINEPREFIX=$build/wine-prefix
. scripts/wine-env.sh
scripts/wine-prefix.sh start "$WINEPREFIX"
work=$(mktemp -d)
trap 'scripts/wine-prefix.sh stop "$WINEPREFIX"; rm -rf "$work"' EXIT

cp "$build/patcher-updater.exe" "$work/"
make_replacement() {  # name size_in_MiB
  cp "$build/tests/stand_in_patcher_v2.exe" "$work/$1"
  local pad=$(( $2 * 1048576 - $(stat -c %s "$work/$1") ))
  head -c "$pad" /dev/urandom >> "$work/$1"
}
make_replacement big.new 1024
make_replacement small.new 1
big_digest=$(openssl dgst -sha256 -r "$work/big.new" | cut -d' ' -f1)
small_digest=$(openssl dgst -sha256 -r "$work/small.new" | cut -d' ' -f1)

# One update: version 1 at patcher.exe, the replacement at NAME; afterwards
# the replacement is moved back so that the next round starts the same way.
update() {  # name digest
  cp "$build/tests/stand_in_patcher_v1.exe" "$work/patcher.exe"
  "${wine[@]}" "$work/patcher-updater.exe" --pid 0 --current "$(windows_path "$work/patcher.exe")" \
    --new "$(windows_path "$work/$1")" --sha256 "$2" </dev/null
  [ ! -e "$work/patcher-updater.log" ] || { echo "update failed: $(cat "$work/patcher-updater.log")"; exit 1; }
  mv "$work/patcher.exe" "$work/$1"
}
seconds() { local start=$(date +%s.%N); "$@" >/dev/null; echo "$(date +%s.%N) - $start" | bc -l; }

update big.new "$big_digest"  # warm the page cache and the Wine server
total_a=0 total_b=0
for round in $(seq "$rounds"); do
  a=$(seconds update big.new "$big_digest")
  b=$(seconds openssl dgst -sha256 "$work/big.new")
  printf 'round %d: update %.3f s, openssl %.3f s\n' "$round" "$a" "$b"
  total_a=$(echo "$total_a + $a" | bc -l) total_b=$(echo "$total_b + $b" | bc -l)
done
printf 'mean: (a) update %.3f s, (b) openssl dgst %.3f s, a/b = %.3f\n' \
  "$(echo "$total_a / $rounds" | bc -l)" "$(echo "$total_b / $rounds" | bc -l)" "$(echo "$total_a / $total_b" | bc -l)"

peak() {  # name digest
  cp "$build/tests/stand_in_patcher_v1.exe" "$work/patcher.exe"
  /usr/bin/time -f %M "${wine[@]}" "$work/patcher-updater.exe" --pid 0 \
    --current "$(windows_path "$work/patcher.exe")" --new "$(windows_path "$work/$1")" --sha256 "$2" </dev/null 2>&1 >/dev/null | tail -1
  mv "$work/patcher.exe" "$work/$1"
}
echo "peak resident memory of the updater process: 1 MiB replacement $(peak small.new "$small_digest") KiB," \
     "1 GiB replacement $(peak big.new "$big_digest") KiB"
echo "executable: $(stat -c %s "$build/patcher-updater.exe") bytes"
