#!/usr/bin/env bash
# Builds the executable from scratch in a fresh folder and checks that it is
# byte-identical to REFERENCE (no time stamp, no build path). Without
# REFERENCE it builds twice from scratch and compares the two.
#   scripts/check-reproducible.sh [REFERENCE]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
builds=(one)
[ -n "${1:-}" ] || builds+=(two)
for build in "${builds[@]}"; do
  cmake -S "$source_dir" -B "$scratch/$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$scratch/$build" --target patcher-updater >/dev/null
done
reference=${1:-$scratch/two/patcher-updater.exe}
if cmp "$scratch/one/patcher-updater.exe" "$reference"; then
  echo "reproducible: a clean build in another folder is identical ($(stat -c %s "$reference") bytes," \
       "sha256 $(sha256sum "$reference" | cut -d' ' -f1))"
else
  echo "NOT reproducible: a clean build differs from $reference"
  exit 1
fi
