#!/usr/bin/env bash
# Plants faults one at a time and reports which ones the test suite misses.
# Each fault of the list (scripts/mutants.txt by default; its head says the
# format) is applied to a copy of the source tree, in the product or in what it
# is built and shipped from (build files, resources, install rules, signing),
# the Windows build is brought up to date, and `ctest` runs every Windows test
# (the pure tests run there too). A fault is killed when a test fails, survives
# when every test passes, and is left out when it does not build. No test
# needs root, so a run as any user judges every fault alike.
#
#   scripts/mutants.sh [LIST] [SOURCE_TREE]
#
# SOURCE_TREE (default: this checkout) is the tree whose tests judge the
# faults, so that two suites can be judged by one list: check the other suite
# out elsewhere (git worktree add) and name it here. The copy and its build
# live in build/mutants; the last line gives the kill rate.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
list=$(realpath "${1:-$here/scripts/mutants.txt}")
source_tree=$(realpath "${2:-$here}")
work=$here/build/mutants
copy=$work/src
build=$work/build
"$here/scripts/setup.sh"

mkdir -p "$work"
rm -rf "$copy" && mkdir -p "$copy"
tar -C "$source_tree" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xmf -  # fresh times: a fault left by a stopped run is rebuilt away
cmake -S "$copy" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/mingw-w64-x86_64.cmake" -DPU_WARNINGS_AS_ERRORS=OFF >/dev/null
cmake --build "$build" >/dev/null
(cd "$build" && ctest --timeout 200 -j2 >/dev/null) || { echo "the suite fails without a fault"; exit 1; }

# Splits the list into one file per fault: file, original, replacement, title.
faults=$work/faults
rm -rf "$faults" && mkdir -p "$faults"
python3 - "$list" "$faults" <<'PY'
import sys, pathlib
entries, current = [], None
for line in pathlib.Path(sys.argv[1]).read_text().splitlines():
    if line.startswith('## '):
        current = {'title': line[3:]}
        entries.append(current)
    elif current is not None and line.startswith('@ '):
        current['file'] = line[2:]
    elif current is not None and line.startswith('- '):
        current['old'] = line[2:]
    elif current is not None and (line == '+' or line.startswith('+ ')):
        current['new'] = line[2:]
for i, e in enumerate(entries, 1):
    folder = pathlib.Path(sys.argv[2]) / f'{i:03d}'
    folder.mkdir()
    for key in ('title', 'file', 'old', 'new'):
        (folder / key).write_text(e[key])
PY

killed=0 survived=0 unbuilt=0 total=0
survivors=()
for fault in "$faults"/*; do
  title=$(<"$fault/title") file=$(<"$fault/file")
  total=$((total + 1))
  cp "$source_tree/$file" "$copy/$file"
  if ! python3 - "$copy/$file" "$fault" <<'PY'
import sys, pathlib
path, fault = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
text, old, new = path.read_text(), (fault / 'old').read_text(), (fault / 'new').read_text()
if text.count(old) != 1:
    sys.exit(f'{path}: the text of the fault occurs {text.count(old)} times')
path.write_text(text.replace(old, new))
PY
  then
    echo "MISPLACED  $(basename "$fault") $title"
    unbuilt=$((unbuilt + 1))
    continue
  fi
  if ! cmake --build "$build" >"$work/build.log" 2>&1; then
    echo "UNBUILT    $(basename "$fault") $title"
    unbuilt=$((unbuilt + 1))
  elif (cd "$build" && ctest --timeout 200 -j2 --output-on-failure >"$work/test.log" 2>&1); then
    echo "SURVIVED   $(basename "$fault") $title ($file)"
    survived=$((survived + 1))
    survivors+=("$title")
  else
    failed=$(grep -E '^\s+[0-9]+ - ' "$work/test.log" | sed -E 's/^\s+[0-9]+ - //; s/ \(.*//' | paste -sd, -)
    # The GoogleTest cases that failed, so that one run shows which test catches which fault.
    cases=$(grep -oE '^\[  FAILED  \] [A-Za-z][A-Za-z0-9_/.]*' "$work/test.log" | cut -c14- | sort -u | paste -sd, - || true)
    echo "killed     $(basename "$fault") $title [$failed${cases:+; $cases}]"
    # The table rows (their traces) that failed, so that one run also shows which row catches which fault.
    rows=$(grep -A1 -F 'Google Test trace:' "$work/test.log" | grep -vF -e 'Google Test trace:' -e '--' |
      sed -E 's/^[^ ]*:[0-9]+: //' | sort -u | paste -sd'|' - || true)
    [[ -n $rows ]] && echo "    rows: $rows"
    killed=$((killed + 1))
  fi
  cp "$source_tree/$file" "$copy/$file"
done
cmake --build "$build" >/dev/null
judged=$((killed + survived))
echo "faults: $total, judged: $judged, killed: $killed, survived: $survived, not built: $unbuilt"
awk -v k=$killed -v j=$judged 'BEGIN { printf "kill rate: %.1f%% (%d of %d)\n", j ? 100 * k / j : 0, k, j }'
