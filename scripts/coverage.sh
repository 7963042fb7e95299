#!/usr/bin/env bash
# Line and branch coverage of the pure code, from clang 19's source-based
# coverage, in build/coverage.
#
#   scripts/coverage.sh                 what the native tests reach (ctest --preset native's programs)
#   scripts/coverage.sh --corpus DIR    what each fuzzer reaches, replaying DIR/<fuzzer> and its
#                                       seeds (tests/fuzz/seeds), then all fuzzers together
#
# Prints a summary line per measured program set (over the pure code linked
# into it) and keeps llvm-cov's report per source file in
# build/coverage/report-*.txt.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/coverage
corpus=
if [[ ${1:-} == --corpus ]]; then
    corpus=$(cd "${2:?--corpus needs a folder}" && pwd)
fi
CC=clang-19 CXX=clang++-19 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DPU_COVERAGE=ON -DPU_FUZZERS=ON >/dev/null
cmake --build "$build" >/dev/null
fuzzers=()
for program in "$build"/tests/*_fuzzer; do
    name=${program##*/}
    fuzzers+=("${name%_fuzzer}")
done

profiles=$build/profiles
rm -rf "$profiles"
mkdir -p "$profiles"

# report NAME PROGRAM... : merges the profiles that PROGRAMs wrote under
# profiles/NAME and prints the totals over the product's own sources.
report() {
    local name=$1
    shift
    local objects=("$1")
    shift
    for program in "$@"; do objects+=(-object "$program"); done
    llvm-profdata-19 merge -sparse "$profiles/$name"/*.profraw -o "$profiles/$name.profdata"
    llvm-cov-19 report "${objects[@]}" -instr-profile="$profiles/$name.profdata" \
        -ignore-filename-regex='^/usr/|/tests/' >"$build/report-$name.txt"
    awk -v name="$name" '$1 == "TOTAL" {
        printf "%-14s lines %6s of %4d   branches %6s of %4d\n", name, $10, $8, $13, $11 }' \
        "$build/report-$name.txt"
}

if [[ -z $corpus ]]; then
    mkdir -p "$profiles/suite"
    LLVM_PROFILE_FILE=$profiles/suite/%p.profraw ctest --test-dir "$build" --output-on-failure >/dev/null
    report suite "$build/tests/pure_tests"
    exit
fi

# Each fuzzer over its corpus and its seeds; then all of them together, over
# all the pure code, which is what says whether a branch is reachable at all.
mkdir -p "$profiles/all"
programs=()
for fuzzer in "${fuzzers[@]}"; do
    [[ -d $corpus/$fuzzer ]] || continue
    mkdir -p "$profiles/$fuzzer"
    inputs=("$corpus/$fuzzer")
    [[ -d $root/tests/fuzz/seeds/$fuzzer ]] && inputs+=("$root/tests/fuzz/seeds/$fuzzer")
    # -runs=0 runs every input once and nothing more.
    LLVM_PROFILE_FILE=$profiles/$fuzzer/%p.profraw "$build/tests/${fuzzer}_fuzzer" -runs=0 "${inputs[@]}" \
        >/dev/null 2>&1
    cp "$profiles/$fuzzer"/*.profraw "$profiles/all/"
    report "$fuzzer" "$build/tests/${fuzzer}_fuzzer"
    programs+=("$build/tests/${fuzzer}_fuzzer")
done
report all "${programs[@]}"
