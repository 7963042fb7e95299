#!/usr/bin/env bash
# Builds the executable twice, each time from scratch in a fresh folder, and
# checks that the two files are byte-identical (no time stamp, no build path).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for build in one two; do
  cmake -S "$source_dir" -B "$scratch/$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$scratch/$build" --target patcher-updater >/dev/null
done
if cmp "$scratch/one/patcher-updater.exe" "$scratch/two/patcher-updater.exe"; then
  echo "reproducible: two clean builds are identical ($(stat -c %s "$scratch/one/patcher-updater.exe") bytes," \
       "sha256 $(sha256sum "$scratch/one/patcher-updater.exe" | cut -d' ' -f1))"
else
  echo "NOT reproducible: two clean builds differ"
  exit 1
fi
