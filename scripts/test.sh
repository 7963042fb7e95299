#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test: the
# Windows build under Wine (with GCC, then with clang), the pure logic natively
# with sanitizers, clang-tidy over the product, and a clean build of the
# executable and the archive that must equal the tested ones byte for byte.
# Each stage says how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
stage() {
  local start=$SECONDS
  "$@"
  echo "== $* ($((SECONDS - start)) s)" >&2
}

stage cmake --preset windows >/dev/null
stage cmake --build --preset windows
stage ctest --preset windows

stage cmake --preset windows-clang >/dev/null
stage cmake --build --preset windows-clang
stage ctest --preset windows-clang

stage cmake --preset native >/dev/null
stage cmake --build --preset native
stage ctest --preset native

stage scripts/tidy.sh
stage scripts/check-reproducible.sh build/windows
