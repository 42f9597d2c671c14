#!/usr/bin/env bash
# clang-tidy (bugprone-*, clang-analyzer-*, see .clang-tidy) on every C++ file of ours: components,
# host seam, bench and tools (tests and fuzz targets aside), read from a compile database of the
# ASan stage's clang configuration (nothing is compiled for it); two files at a time, the heaviest first.
# Any finding is an error and fails the stage.
set -euo pipefail

if ! command -v clang-tidy-14 >/dev/null || ! command -v clang++-14 >/dev/null; then
  echo "70-clang-tidy: skipped: clang-tidy-14 or clang++-14 is not installed"
  exit 77
fi

# The ASan build compiles the bench a batch of files per TU (ZEPH_UNITY_BUILD); clang-tidy reads
# each file as it is, from the database of the same configuration a file per TU (configured, never
# built: the one source generated, the page's text, is written by the configure step).
db=build/asan-tidy
cmake --preset asan -B "$db" -DZEPH_UNITY_BUILD=OFF >/dev/null
ours="^$PWD/(platform|script_helper|panels|host|bench|tools|$db/bench)/.*\.cpp$"
# A file that includes CLI11, nlohmann/json or Boost.Beast takes ten times another (half a minute
# for the CLI's main): those go first, then the rest by size, so that two at a time end together
# rather than one long file finishing alone.
mapfile -t files < <(python3 -c 'import json,os,re,sys
heavy = re.compile(r"#include <(CLI|nlohmann|boost)/")
files = {os.path.normpath(os.path.join(e["directory"], e["file"]))
         for e in json.load(open(sys.argv[2] + "/compile_commands.json"))}
files = [f for f in files if re.search(sys.argv[1], f)]
def cost(f):
    text = open(f, errors="replace").read()
    return (bool(heavy.search(text)), len(text))
sys.stdout.write("".join(f + "\n" for f in sorted(files, key=cost, reverse=True)))' "$ours" "$db")
[ ${#files[@]} -gt 0 ] || { echo "70-clang-tidy: no file of ours in $db/compile_commands.json"; exit 1; }
logs=$db/clang-tidy.d
rm -rf "$logs"
mkdir -p "$logs"
log=$db/clang-tidy.log
# Each file's report in a file of its own (two at once would interleave), then all in one log.
status=0
printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P 2 sh -c \
  'exec clang-tidy-14 -p "$1" --quiet "$2" >"$0/$(echo "$2" | tr / _).log" 2>&1' "$logs" "$db" ||
  status=$?
cat "$logs"/*.log >"$log"
if [ "$status" -ne 0 ]; then
  grep -E "(warning|error):" "$log" | sort -u | head -n 100
  echo "70-clang-tidy: findings (all of them in $log)"
  exit 1
fi
echo "70-clang-tidy: ${#files[@]} files, no finding"
