#!/usr/bin/env bash
# Every bench scenario played on the Ostrel module under valgrind: no memory error, no leak.
set -euo pipefail

if ! command -v valgrind >/dev/null; then
  echo "60-valgrind: skipped: valgrind is not installed"
  exit 0
fi

dir=build/valgrind
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEPH_WERROR=ON
cmake --build "$dir" -j 2 --target zeph-host Ostrel

host=$dir/bin/zeph-host
module=$dir/bin/Ostrel.so
grind=(valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect)

runs=0
# The built-in take, then every scenario file, as the scenario tests play them.
"${grind[@]}" "$host" run --quiet "$module"
runs=$((runs + 1))
for scenario in panels/components/Ostrel/workout/*.zs; do
  echo "--- $scenario"
  "${grind[@]}" "$host" run --quiet "$module" "$scenario"
  runs=$((runs + 1))
done
echo "60-valgrind: $runs scenario runs, 0 errors, 0 leaks"
