#!/usr/bin/env bash
# Builds the fuzzers natively with AddressSanitizer and UBSan in build/fuzz and
# runs each one for RUNS executions.
#
#   scripts/fuzz.sh [RUNS] [SEED]
#
# clang with libFuzzer is used when it can compile the project, which needs
# <expected> (clang 14 with libstdc++ 12 cannot: that header wants a newer
# concepts level). Otherwise the same checks run through the random driver,
# built with g++.
set -euo pipefail

runs=${1:-1000000}
seed=${2:-1}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
fuzzers=(command_line)

if printf '#include <expected>\nstd::expected<int, int> probe;\n' |
    clang++ -std=c++2b -x c++ -fsyntax-only - 2>/dev/null; then
    cc=clang cxx=clang++ suffix=fuzzer
else
    echo "fuzz.sh: clang++ cannot compile <expected> here; using the random driver built with g++" >&2
    cc=gcc cxx=g++ suffix=fuzz_random
fi

# A build folder configured for the other compiler cannot be reused.
if [[ -f $build/compiler && $(<"$build/compiler") != "$cxx" ]]; then
    rm -rf "$build"
fi
mkdir -p "$build"
echo "$cxx" >"$build/compiler"

CC=$cc CXX=$cxx cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPU_SANITIZE=ON -DPU_FUZZERS=ON >/dev/null
cmake --build "$build" --target "${fuzzers[@]/%/_$suffix}"

for fuzzer in "${fuzzers[@]}"; do
    executable=$build/tests/${fuzzer}_$suffix
    echo "== $fuzzer: $runs runs, seed $seed"
    if [[ $suffix == fuzzer ]]; then
        corpus=$build/corpus/$fuzzer
        mkdir -p "$corpus"
        "$executable" -runs="$runs" -seed="$seed" -max_len=512 "$corpus"
    else
        "$executable" -runs="$runs" -seed="$seed" -max_len=512
    fi
done
