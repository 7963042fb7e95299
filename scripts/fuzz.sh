#!/usr/bin/env bash
# Builds the fuzzers natively with AddressSanitizer and UBSan in build/fuzz and
# runs each one for RUNS executions, then prints per fuzzer the executions and
# findings (a run that ends the process: a broken property or a sanitizer
# report) and their totals. Exits with 1 when there is a finding; each
# fuzzer's output is kept in build/fuzz/logs.
#
#   scripts/fuzz.sh [RUNS] [SEED]
#
# The fuzzers are libFuzzer's under clang 19 (scripts/setup.sh installs it),
# guided by the coverage of the pure code; each keeps its corpus in
# build/fuzz/corpus, and the corpus is then replayed through a coverage build
# to give the line and branch coverage each fuzzer reaches.
set -euo pipefail

runs=${1:-1000000}
seed=${2:-1}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
fuzzers=(command_line)

"$root/scripts/setup.sh"
mkdir -p "$build"
CC=clang-19 CXX=clang++-19 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPU_SANITIZE=ON -DPU_FUZZERS=ON >/dev/null
cmake --build "$build" --target "${fuzzers[@]/%/_fuzzer}"

mkdir -p "$build/logs"
total_executions=0
total_findings=0
summary=()
for fuzzer in "${fuzzers[@]}"; do
    executable=$build/tests/${fuzzer}_fuzzer
    log=$build/logs/$fuzzer.log
    echo "== $fuzzer: $runs runs, seed $seed"
    corpus=$build/corpus/$fuzzer
    artifacts=$build/artifacts/$fuzzer/
    mkdir -p "$corpus" "$artifacts"
    # Value profiles let comparisons with the option names and path
    # prefixes guide the search too.
    command=("$executable" -runs="$runs" -seed="$seed" -max_len=512 -use_value_profile=1
        -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus")
    # New inputs go to the first folder; the seeds are read only.
    [[ -d $root/tests/fuzz/seeds/$fuzzer ]] && command+=("$root/tests/fuzz/seeds/$fuzzer")
    dictionary=$root/tests/fuzz/$fuzzer.dict
    [[ -f $dictionary ]] && command+=(-dict="$dictionary")
    status=0
    "${command[@]}" >"$log" 2>&1 || status=$?

    # libFuzzer gives its final statistics whether or not it found something.
    executions=$(sed -nE 's/^stat::number_of_executed_units: +([0-9]+).*/\1/p' "$log" | tail -n 1)
    executions=${executions:-0}
    findings=0
    if ((status != 0)); then
        findings=1
        echo "fuzz.sh: $fuzzer ended with status $status; the end of $log:" >&2
        tail -n 40 "$log" >&2
    fi
    total_executions=$((total_executions + executions))
    total_findings=$((total_findings + findings))
    summary+=("$(printf '%-14s %12d executions %4d findings' "$fuzzer" "$executions" "$findings")")
done

echo "== summary (seed $seed)"
printf '%s\n' "${summary[@]}"
printf '%-14s %12d executions %4d findings\n' total "$total_executions" "$total_findings"
echo "== coverage of the pure code by each fuzzer's corpus"
"$root/scripts/coverage.sh" --corpus "$build/corpus"
((total_findings == 0))
