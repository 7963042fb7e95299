#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test: the
# Windows build under Wine and the pure logic natively with sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows

cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

scripts/check-reproducible.sh
