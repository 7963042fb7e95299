#!/bin/bash
# Builds and runs the SHA-256 benchmark (our two kernels and OpenSSL on 1 MiB
# buffers; extra arguments go to Google Benchmark), then times coreutils
# sha256sum on a 1 GiB file in /dev/shm for comparison: the whole command,
# start-up and reads included, nothing subtracted. Google Benchmark's rates
# are per CPU second, so the CPU rate of sha256sum is the one to compare when
# the machine is busy.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench

cmake --preset native-bench
cmake --build --preset native-bench --target sha256_bench
./build/native-bench/bench/sha256_bench "$@"

size=1073741824
file=$(mktemp /dev/shm/sha256-bench.XXXXXX)
trap 'rm -f "$file"' EXIT
head -c "$size" /dev/urandom > "$file"
TIMEFORMAT='%R %U %S'
times=$( { time sha256sum "$file" > /dev/null; } 2>&1 )
read -r real user sys <<< "$times"
awk -v r="$real" -v u="$user" -v s="$sys" -v n="$size" 'BEGIN {
    printf "sha256sum, 1 GiB in /dev/shm: %.2f s wall, %.3f GB/s; %.2f s CPU, %.3f GB/s\n",
           r, n / r / 1e9, u + s, n / (u + s) / 1e9 }'
