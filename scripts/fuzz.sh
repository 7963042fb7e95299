#!/usr/bin/env bash
# Builds the fuzzers natively with AddressSanitizer and UBSan in build/fuzz and
# runs each one for RUNS executions, then prints per fuzzer the executions and
# findings (a run that ends the process: a broken property or a sanitizer
# report) and their totals. Exits with 1 when there is a finding; each
# fuzzer's output is kept in build/fuzz/logs.
#
#   scripts/fuzz.sh [RUNS] [SEED]
#
# With clang 19 (scripts/setup.sh installs it) the fuzzers are libFuzzer's,
# guided by the coverage of the pure code; each keeps its corpus in
# build/fuzz/corpus, and the corpus is then replayed through a coverage build
# to give the line and branch coverage each fuzzer reaches. Without clang 19
# the same properties run through the seeded random driver, built with g++.
set -euo pipefail

runs=${1:-1000000}
seed=${2:-1}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
fuzzers=(command_line)

if command -v clang++-19 >/dev/null; then
    cc=clang-19 cxx=clang++-19 suffix=fuzzer
else
    echo "fuzz.sh: no clang++-19 here; using the random driver built with g++" >&2
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

mkdir -p "$build/logs"
total_executions=0
total_findings=0
summary=()
for fuzzer in "${fuzzers[@]}"; do
    executable=$build/tests/${fuzzer}_$suffix
    log=$build/logs/$fuzzer.log
    echo "== $fuzzer: $runs runs, seed $seed"
    if [[ $suffix == fuzzer ]]; then
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
    else
        command=("$executable" -runs="$runs" -seed="$seed" -max_len=512)
    fi
    status=0
    "${command[@]}" >"$log" 2>&1 || status=$?

    # The driver says "Done N runs" or "Crash in run N"; libFuzzer gives its
    # final statistics in both cases.
    pattern='^(Done ([0-9]+) runs|Crash in run ([0-9]+)|stat::number_of_executed_units: +([0-9]+)).*'
    executions=$(sed -nE "s/$pattern/\\2\\3\\4/p" "$log" | tail -n 1)
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
if [[ $suffix == fuzzer ]]; then
    echo "== coverage of the pure code by each fuzzer's corpus"
    "$root/scripts/coverage.sh" --corpus "$build/corpus"
fi
((total_findings == 0))
