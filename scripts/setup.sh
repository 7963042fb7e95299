#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, if it is missing.
#   scripts/setup.sh          the build and the tests
#   scripts/setup.sh bench    also what the benchmarks compare with
set -euo pipefail
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest
          libgtest-dev openssl osslsigncode unzip clang-19 lld-19 llvm-19 clang-tidy-19 clang-format-19
          libclang-rt-19-dev)
if [ "${1:-}" = bench ]; then
  packages+=(libbenchmark-dev libssl-dev bc time coreutils)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
