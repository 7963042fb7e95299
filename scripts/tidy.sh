#!/usr/bin/env bash
# Runs clang-tidy 19 (the checks of .clang-tidy) over every product file of
# both compile databases: the native build and the Windows build with clang,
# and checks that the tests keep the layout of .clang-format. Any finding
# fails. The databases live in build/tidy-native and
# build/windows-clang (configured here if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/tidy-native/compile_commands.json ] ||
  cmake -S . -B build/tidy-native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF \
    -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
[ -f build/windows-clang/compile_commands.json ] || cmake --preset windows-clang >/dev/null
status=0
for database in build/tidy-native build/windows-clang; do
  mapfile -t files < <(python3 -c "import json, sys
print('\n'.join(sorted({e['file'] for e in json.load(open(sys.argv[1] + '/compile_commands.json'))
                        if e['file'].startswith(sys.argv[2] + '/src/')})))" "$database" "$PWD")
  echo "clang-tidy: ${#files[@]} product files of $database"
  # The Windows database names the cross compiler's target; clang-tidy takes it from there.
  printf '%s\n' "${files[@]}" | xargs -P 2 -n 4 clang-tidy-19 -p "$database" --quiet >"$database/tidy.out" 2>&1 || true
  grep -E ': (warning|error): ' "$database/tidy.out" >"$database/tidy.log" || true
  cat "$database/tidy.log"
  [ ! -s "$database/tidy.log" ] || status=1
done
# The tests keep the product's layout (.clang-format).
git ls-files 'tests/*.cpp' 'tests/*.h' | xargs clang-format-19 --dry-run -Werror || status=1
[ $status = 0 ] && echo "clang-tidy: no findings; the tests keep the layout"
exit $status
