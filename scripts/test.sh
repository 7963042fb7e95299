#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test: the
# Windows build under Wine, the pure logic natively with sanitizers, and a
# clean build of the executable that must equal the tested one byte for byte.
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

stage cmake --preset native >/dev/null
stage cmake --build --preset native
stage ctest --preset native

stage scripts/check-reproducible.sh build/windows
