#!/usr/bin/env bash
# Builds the fuzzers natively with AddressSanitizer and UBSan in build/fuzz and
# runs each one for RUNS executions, then prints per fuzzer the executions and
# findings (a run that ends the process: a broken property or a sanitizer
# report) and their totals. Exits with 1 when there is a finding; each
# fuzzer's output is kept in build/fuzz/logs.
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
fuzzers=(command_line path_text)

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
        command=("$executable" -runs="$runs" -seed="$seed" -max_len=512 -print_final_stats=1
            -artifact_prefix="$artifacts" "$corpus")
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
((total_findings == 0))
