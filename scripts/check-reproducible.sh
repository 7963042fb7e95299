#!/usr/bin/env bash
# Builds the executable and the release archive from scratch in a fresh folder
# and checks that both are byte-identical to those of REFERENCE_BUILD (the
# tested build folder, packed here too): no time stamp, no build path. Without
# REFERENCE_BUILD it builds twice from scratch and compares the two.
#   scripts/check-reproducible.sh [REFERENCE_BUILD]
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
reference=$(realpath "${1:-$scratch/two}")
for build in "$scratch/one" "$reference"; do (cd "$build" && rm -rf package && cpack >/dev/null); done
archive=$(cd "$reference" && echo package/patcher-updater-*-win64.zip)
status=0
for file in patcher-updater.exe "$archive"; do
  if cmp "$scratch/one/$file" "$reference/$file"; then
    echo "reproducible: $(basename "$file") from a clean build in another folder is identical" \
         "($(stat -c %s "$reference/$file") bytes, sha256 $(sha256sum "$reference/$file" | cut -d' ' -f1))"
  else
    echo "NOT reproducible: $(basename "$file") of a clean build differs from $reference/$file"
    status=1
  fi
done
(cd "$reference/package" && sha256sum -c --quiet SHA256SUMS) && echo "SHA256SUMS verifies" || status=1
exit $status
