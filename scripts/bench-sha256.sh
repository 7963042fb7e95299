#!/bin/bash
# Builds and runs the SHA-256 benchmark (our kernels and OpenSSL on 1 MiB
# buffers, each repeated, medians compared; extra arguments go to Google
# Benchmark), OpenSSL once more with its SHA-extensions path switched off
# (an empty or "0:0" OPENSSL_ia32cap would switch off its AVX2 path too), and
# ends with the two ratios of our kernels to OpenSSL's. It then times coreutils
# sha256sum on a 1 GiB file in /dev/shm for comparison: the whole command,
# start-up and reads included, nothing subtracted. Google Benchmark's rates
# are per CPU second, so the CPU rate of sha256sum is the one to compare when
# the machine is busy.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench

cmake --preset native-bench
cmake --build --preset native-bench --target sha256_bench
bench=./build/native-bench/bench/sha256_bench
results=$(mktemp)
trap 'rm -f "$results"' EXIT
repeat=(--benchmark_repetitions=9 --benchmark_report_aggregates_only=true --benchmark_format=csv)
"$bench" "${repeat[@]}" "$@" | tee "$results"
OPENSSL_ia32cap=":~0x20000000" "$bench" --benchmark_filter=OpenSsl "${repeat[@]}" "$@" |
    sed -n 's/^"BM_OpenSslSha256_/"BM_OpenSslWithoutShaExtensions_/p' | tee -a "$results"
# The median rate in bytes per second of one benchmark, from the CSV.
median() { awk -F, -v name="\"$1_median\"" '$1 == name { print $6 }' "$results"; }
ratio() { awk -v a="$(median "$2")" -v b="$(median "$3")" -v label="$1" 'BEGIN {
    if (a == "" || b == "") printf "ratio %s: not measured\n", label
    else printf "ratio %s: %.2f\n", label, a / b }'; }

size=1073741824
file=$(mktemp /dev/shm/sha256-bench.XXXXXX)
trap 'rm -f "$results" "$file"' EXIT
head -c "$size" /dev/urandom > "$file"
TIMEFORMAT='%R %U %S'
times=$( { time sha256sum "$file" > /dev/null; } 2>&1 )
read -r real user sys <<< "$times"
awk -v r="$real" -v u="$user" -v s="$sys" -v n="$size" 'BEGIN {
    printf "sha256sum, 1 GiB in /dev/shm: %.2f s wall, %.3f GB/s; %.2f s CPU, %.3f GB/s\n",
           r, n / r / 1e9, u + s, n / (u + s) / 1e9 }'
ratio sha-extensions/openssl BM_Sha256ShaExtensions BM_OpenSslSha256
ratio avx2/openssl-without-sha-extensions BM_Sha256Avx2 BM_OpenSslWithoutShaExtensions
