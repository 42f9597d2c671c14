#!/usr/bin/env bash
# Every scenario test CTest knows (label "scenario": each component's workout played by the bench)
# under valgrind through `ctest -T memcheck`: no memory error, no leak.
set -euo pipefail

if ! command -v valgrind >/dev/null; then
  echo "60-valgrind: skipped: valgrind is not installed"
  exit 77
fi

# On the native stage's dev build (built here when it is missing), so that no build repeats.
dir=build/dev
cmake --preset dev >/dev/null
cmake --build --preset dev -j 2

log=$dir/memcheck.log
ctest --test-dir "$dir" -T memcheck -L scenario -LE dll -j 2 --output-on-failure | tee "$log"
# --error-exitcode fails a test on an error; what valgrind counted besides is listed after
# "Memory checking results:" (nothing there when clean).
if sed -n '/^Memory checking results:/,$p' "$log" | grep -q '[-] [0-9]'; then
  echo "60-valgrind: valgrind found defects (see $dir/Testing/Temporary/MemoryChecker.*.log)"
  exit 1
fi
runs=$(grep -cE "MemCheck +#[0-9]+:" "$log" || true)
[ "$runs" -gt 0 ] || { echo "60-valgrind: no scenario test ran"; exit 1; }
echo "60-valgrind: $runs scenario runs under valgrind, no defect"
