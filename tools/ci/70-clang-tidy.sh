#!/usr/bin/env bash
# clang-tidy (bugprone-*, clang-analyzer-*, see .clang-tidy) on every C++ file of ours: components,
# host seam, bench and tools (tests and fuzz targets aside), read from a compile database of the
# ASan stage's clang configuration (nothing is compiled for it); two files at a time, the heaviest first,
# those that include the big libraries with the analyzer in its shallow mode (below).
# Any finding is an error and fails the stage. Under test-all, tools/ci/prefetch runs the pass
# itself (ZEPH_CI_TIDY_PHASE=run: findings written with the run's ZEPH_CI_RUN_ID, no verdict) while
# earlier stages leave a processor idle; the stage then reports that run's findings.
set -euo pipefail

if ! command -v clang-tidy-14 >/dev/null || ! command -v clang++-14 >/dev/null; then
  echo "70-clang-tidy: skipped: clang-tidy-14 or clang++-14 is not installed"
  exit 77
fi

# The ASan build compiles the bench a batch of files per TU (ZEPH_UNITY_BUILD); clang-tidy reads
# each file as it is, from the database of the same configuration a file per TU (configured, never
# built: the one source generated, the page's text, is written by the configure step).
db=build/asan-tidy
phase=${ZEPH_CI_TIDY_PHASE:-stage}
if [ -z "${ZEPH_CI_TIDY_LOCKED:-}" ]; then
  exec env ZEPH_CI_TIDY_LOCKED=1 "$(dirname "$0")/locked" asan-tidy bash "$0" "$@"
fi
logs=$db/clang-tidy.d
log=$db/clang-tidy.log
status_file=$db/clang-tidy.status
report() { # STATUS COUNT
  if [ "$1" -ne 0 ]; then
    grep -E "(warning|error):" "$log" | sort -u | head -n 100
    echo "70-clang-tidy: findings (all of them in $log)"
    exit 1
  fi
  echo "70-clang-tidy: $2 files, no finding"
}
if [ "$phase" = stage ] && [ -n "${ZEPH_CI_RUN_ID:-}" ] && [ -f "$status_file" ] &&
  read -r run status count <"$status_file" && [ "$run" = "$ZEPH_CI_RUN_ID" ]; then
  echo "70-clang-tidy: the pass tools/ci/prefetch ran in this run"
  report "$status" "$count"
  exit 0
fi
rm -f "$status_file"
cmake --preset asan -B "$db" -DZEPH_UNITY_BUILD=OFF >/dev/null
ours="^$PWD/(platform|script_helper|panels|host|bench|tools|$db/bench)/.*\.cpp$"
# A file that includes CLI11, nlohmann/json or Boost.Beast takes ten times another (half a minute
# for the CLI's main): those go first, then the rest by size, so that two at a time end together
# rather than one long file finishing alone. Those files get the analyzer's shallow mode: its deep
# mode spends three quarters of their time inlining the libraries' templates (25 s against 7.5 s
# for the page server's workers), where the components, the string library and the host seam, in
# deep mode, take a few seconds a file.
mapfile -t jobs < <(python3 -c 'import json,os,re,sys
heavy = re.compile(r"#include <(CLI|nlohmann|boost)/")
files = {os.path.normpath(os.path.join(e["directory"], e["file"]))
         for e in json.load(open(sys.argv[2] + "/compile_commands.json"))}
files = [f for f in files if re.search(sys.argv[1], f)]
def cost(f):
    text = open(f, errors="replace").read()
    return (bool(heavy.search(text)), len(text))
for f in sorted(files, key=cost, reverse=True):
    print("shallow" if cost(f)[0] else "deep")
    print(f)' "$ours" "$db")
count=$((${#jobs[@]} / 2))
[ "$count" -gt 0 ] || { echo "70-clang-tidy: no file of ours in $db/compile_commands.json"; exit 1; }
rm -rf "$logs"
mkdir -p "$logs"
# Each file's report in a file of its own (two at once would interleave), then all in one log.
status=0
printf '%s\0' "${jobs[@]}" | xargs -0 -n 2 -P 2 sh -c '
  log="$0/$(echo "$3" | tr / _).log" mode=$2 file=$3
  set -- -p "$1" --quiet
  if [ "$mode" = shallow ]; then
    set -- "$@" --extra-arg=-Xclang --extra-arg=-analyzer-config --extra-arg=-Xclang --extra-arg=mode=shallow
  fi
  exec clang-tidy-14 "$@" "$file" >"$log" 2>&1' "$logs" "$db" ||
  status=$?
cat "$logs"/*.log >"$log"
if [ "$phase" = run ]; then
  echo "${ZEPH_CI_RUN_ID:-none} $status $count" >"$status_file"
  exit 0
fi
report "$status" "$count"
