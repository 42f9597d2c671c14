#!/usr/bin/env bash
# Bounded fuzzing: every libFuzzer target replays its seed corpus, then fuzzes while its coverage
# grows: at most ZEPH_FUZZ_SECONDS (30 s by default), ended sooner once ZEPH_FUZZ_FLAT_SECONDS (10)
# pass without a new input; two targets run at once. Any crash, leak or broken invariant fails the
# stage.
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
flat=${ZEPH_FUZZ_FLAT_SECONDS:-10}
# The targets come from the ASan stage's build (one build serves both); built here if it is missing.
[ -f build/asan/CMakeCache.txt ] || cmake --preset asan
mapfile -t names < <(sed -n 's/^ *zeph_add_fuzzer(\([a-z_]*fuzz\) .*/\1/p' fuzz/CMakeLists.txt)
cmake --build --preset asan -j 2 --target "${names[@]}"

work=build/asan/fuzz-runs
rm -rf "$work"
mkdir -p "$work"
targets=()
for name in "${names[@]}"; do targets+=("build/asan/bin/$name"); done
[ -x "${targets[0]}" ] || { echo "50-fuzz: no fuzz target was built"; exit 1; }
# The largest first: a target with more code to cover keeps finding edges until its time is up,
# and the small ones (done once flat) fill in beside the last of them, so both cores end together.
mapfile -t targets < <(ls -S "${targets[@]}")

# fuzz_one BIN: replays the seeds, then fuzzes while coverage grows (at most $seconds s; stopped after
# $flat s without a new input). Prints its report when done, so that two at once stay readable.
fuzz_one() {
  local bin=$1 name seeds dict=() extra=() limits pattern dir shape
  name=$(basename "$bin")
  seeds=fuzz/corpus/$name
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  # Memory: libFuzzer's own limits, or the target's tighter ones (its .limits file, a line of
  # flags), for the seeds as for the run; a run past them fails the stage.
  limits=(-rss_limit_mb=2048)
  [ -f "fuzz/$name.limits" ] && read -r -a limits < <(grep -v '^#' "fuzz/$name.limits")
  # More seeds kept elsewhere in the repository (the workouts), one folder pattern a line.
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
  if ! "$bin" -runs=0 "${limits[@]}" -artifact_prefix="$work/$name-seed-" "$seeds" "${extra[@]}" \
      >"$work/$name.seeds.log" 2>&1; then
    cat "$work/$name.seeds.log"
    echo "--- $name: a seed failed"
    return 1
  fi
  # New inputs go to the work directory; the seeds in the repository stay as they are.
  local took
  if ! took=$(tools/ci/fuzz-while-growing --flat "$flat" --max "$seconds" "$work/$name.log" -- \
      "$bin" -timeout=10 "${limits[@]}" -print_final_stats=1 "${dict[@]}" \
      -artifact_prefix="$work/$name-" "$work/$name" "$seeds" "${extra[@]}"); then
    tail -n 60 "$work/$name.log"
    echo "--- $name: failed; the input is in $work (see fuzz/README.md to reproduce it)"
    return 1
  fi
  local edges=($(grep -aoE 'cov: [0-9]+' "$work/$name.log" | sed -n '1p;$p' | tr -dc '0-9\n'))
  echo "--- $name: seeds replayed, fuzzed $took; edges ${edges[0]:-?} -> ${edges[1]:-?}," \
    "$(grep -aoE '^#[0-9]+' "$work/$name.log" | tail -n 1 | tr -d '#') runs"
}

# Two targets at a time, one a core.
failed=0
running=0
for bin in "${targets[@]}"; do
  if [ "$running" -ge 2 ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  fuzz_one "$bin" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
if [ "$failed" -ne 0 ]; then
  echo "50-fuzz: a target failed (above)"
  exit 1
fi
echo "50-fuzz: ${#targets[@]} targets, each while its coverage grew ($seconds s at most, $flat s flat ends it), nothing found"
