#!/usr/bin/env bash
# Bounded fuzzing: every libFuzzer target replays its seed corpus, then fuzzes for a fixed time
# (ZEPH_FUZZ_SECONDS, 30 s by default). Any crash, leak or broken invariant fails the stage.
set -euo pipefail

if ! command -v clang++-14 >/dev/null; then
  echo "50-fuzz: skipped: clang++-14 is not installed"
  exit 77
fi
if ! compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  echo "50-fuzz: skipped: the libFuzzer runtime (libclang-rt-14-dev) is not installed"
  exit 77
fi

seconds=${ZEPH_FUZZ_SECONDS:-30}
cmake --preset fuzz
cmake --build --preset fuzz -j 2

work=build/fuzz/runs
rm -rf "$work"
mkdir -p "$work"
targets=(build/fuzz/bin/*fuzz*)
[ -e "${targets[0]}" ] || { echo "50-fuzz: no fuzz target was built"; exit 1; }

for bin in "${targets[@]}"; do
  name=$(basename "$bin")
  seeds=fuzz/corpus/$name
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  # Memory: libFuzzer's own limits, or the target's tighter ones (its .limits file, a line of
  # flags), for the seeds as for the run; a run past them fails the stage.
  limits=(-rss_limit_mb=2048)
  [ -f "fuzz/$name.limits" ] && read -r -a limits < <(grep -v '^#' "fuzz/$name.limits")
  # More seeds kept elsewhere in the repository (the workouts), one folder pattern a line.
  extra=()
  if [ -f "fuzz/$name.seeds" ]; then
    while read -r pattern; do
      if [ -z "$pattern" ] || [ "${pattern:0:1}" = "#" ]; then continue; fi
      for dir in $pattern; do
        if [ -d "$dir" ]; then extra+=("$dir"); fi
      done
    done <"fuzz/$name.seeds"
  fi
  # The trace reader is seeded with a trace of each shape its memory rows in tests/cli are made of,
  # just under its input limit (its .limits file).
  if [ "$name" = trace_reader_fuzz ]; then
    mkdir -p "$work/$name-shapes"
    for shape in session heap tp-names xi deep; do
      python3 tests/cli/fixtures/make_trace.py "$shape" 0.9 "$work/$name-shapes/$shape"
    done
    extra+=("$work/$name-shapes")
  fi
  mkdir -p "$work/$name"
  echo "--- $name: seed corpus"
  "$bin" -runs=0 "${limits[@]}" "$seeds" "${extra[@]}" >"$work/$name.seeds.log" 2>&1 || { cat "$work/$name.seeds.log"; exit 1; }
  echo "--- $name: fuzzing for $seconds s"
  # New inputs go to the work directory; the seeds in the repository stay as they are.
  if ! "$bin" -max_total_time="$seconds" -timeout=10 "${limits[@]}" -print_final_stats=1 \
      "${dict[@]}" -artifact_prefix="$work/$name-" "$work/$name" "$seeds" "${extra[@]}" >"$work/$name.log" 2>&1; then
    tail -n 60 "$work/$name.log"
    echo "50-fuzz: $name failed; the input is in $work (see fuzz/README.md to reproduce it)"
    exit 1
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added" "$work/$name.log"
done
echo "50-fuzz: ${#targets[@]} targets, $seconds s each, nothing found"
