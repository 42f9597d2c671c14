#!/usr/bin/env bash
# clang-tidy (bugprone-*, clang-analyzer-*, see .clang-tidy) on every C++ file of ours: components,
# host seam, bench and tools (tests and fuzz targets aside), read from the compile database of the
# ASan stage's clang build, so that nothing compiles twice; two files at a time. Any finding is an
# error and fails the stage.
set -euo pipefail

if ! command -v run-clang-tidy-14 >/dev/null || ! command -v clang-tidy-14 >/dev/null ||
  ! command -v clang++-14 >/dev/null; then
  echo "70-clang-tidy: skipped: clang-tidy-14 (with run-clang-tidy-14) or clang++-14 is not installed"
  exit 77
fi

# The database and the sources the build generates (the page, the version) come from the ASan build.
[ -f build/asan/CMakeCache.txt ] || cmake --preset asan >/dev/null
cmake --build --preset asan -j 2
ours="^$PWD/(platform|script_helper|panels|host|bench|tools|build/asan/bench)/.*\.cpp$"
files=$(python3 -c 'import json,re,sys
print(sum(1 for e in json.load(open("build/asan/compile_commands.json")) if re.search(sys.argv[1], e["file"])))' "$ours")
[ "$files" -gt 0 ] || { echo "70-clang-tidy: no file of ours in build/asan/compile_commands.json"; exit 1; }
log=build/asan/clang-tidy.log
if ! run-clang-tidy-14 -p build/asan -j 2 -quiet -clang-tidy-binary clang-tidy-14 "$ours" >"$log" 2>&1; then
  grep -E "(warning|error):" "$log" | sort -u | head -n 100
  echo "70-clang-tidy: findings (all of them in $log)"
  exit 1
fi
echo "70-clang-tidy: $files files, no finding"
