#!/usr/bin/env bash
# clang-tidy (bugprone-*, clang-analyzer-*, see .clang-tidy) on every C++ file of ours: components,
# host seam, bench and tools (tests and fuzz targets aside), read from a compile database of the
# ASan stage's clang configuration (nothing is compiled for it); two files at a time, the heaviest first;
# the bench's and the tools' with the analyzer in its shallow mode (below).
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
# The analyzer's deep mode is kept for the components, the base and string libraries and the host
# seam, whose memory is managed by hand. The bench and the tools get its shallow mode: C++ on
# standard containers, where deep mode spends most of its time inlining the libraries' templates
# (25 s against 7.5 s for the page server's workers, 10 s against 5 s for the facility's views),
# and which the sanitizers, valgrind and the fuzzers run besides.
mapfile -t jobs < <(python3 -c 'import json,os,re,sys
heavy = re.compile(r"#include <(CLI|nlohmann|boost)/")
files = {os.path.normpath(os.path.join(e["directory"], e["file"]))
         for e in json.load(open(sys.argv[2] + "/compile_commands.json"))}
files = [f for f in files if re.search(sys.argv[1], f)]
def cost(f):
    text = open(f, errors="replace").read()
    return (bool(heavy.search(text)), len(text))
deep = re.compile(sys.argv[3])
for f in sorted(files, key=cost, reverse=True):
    print("deep" if deep.search(f) else "shallow")
    print(f)' "$ours" "$db" "^$PWD/(platform|script_helper|panels|host)/")
count=$((${#jobs[@]} / 2))
[ "$count" -gt 0 ] || { echo "70-clang-tidy: no file of ours in $db/compile_commands.json"; exit 1; }
logs=$db/clang-tidy.d
rm -rf "$logs"
mkdir -p "$logs"
log=$db/clang-tidy.log
# Each file's report in a file of its own (two at once would interleave), then all in one log.
# A file whose check passed before, on the same text and flags, is not checked again (tidy-cached:
# its preprocessed text is the key); passes unused for 30 days are forgotten.
cache=${ZEPH_TIDY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zeph-clang-tidy}
[ ! -d "$cache" ] || find "$cache" -type f -mtime +30 -delete
status=0
printf '%s\0' "${jobs[@]}" | xargs -0 -n 2 -P 2 sh -c '
  log="$0/$(echo "$5" | tr / _).log" db=$1 tool=$2 cache=$3 mode=$4 file=$5
  set -- -p "$db" --quiet
  if [ "$mode" = shallow ]; then
    set -- "$@" --extra-arg=-Xclang --extra-arg=-analyzer-config --extra-arg=-Xclang --extra-arg=mode=shallow
  fi
  exec "$tool" "$cache" "$log" "$db" "$file" "$@"' "$logs" "$db" "$(cd "$(dirname "$0")" && pwd)/tidy-cached" "$cache" ||
  status=$?
cat "$logs"/*.log >"$log"
if [ "$status" -ne 0 ]; then
  grep -E "(warning|error):" "$log" | sort -u | head -n 100
  echo "70-clang-tidy: findings (all of them in $log)"
  exit 1
fi
echo "70-clang-tidy: $count files, no finding"
