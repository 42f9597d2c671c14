#!/usr/bin/env bash
# Every bench scenario played on every component module under valgrind: no memory error, no leak.
set -euo pipefail

if ! command -v valgrind >/dev/null; then
  echo "60-valgrind: skipped: valgrind is not installed"
  exit 0
fi

components=()
for dir in panels/components/*/; do
  components+=("$(basename "$dir")")
done

dir=build/valgrind
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEPH_WERROR=ON
cmake --build "$dir" -j 2 --target zeph-host "${components[@]}"

host=$dir/bin/zeph-host
grind=(valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect)

runs=0
# The built-in take on Ostrel, then every scenario file of every component, as the scenario tests
# play them.
"${grind[@]}" "$host" run --quiet "$dir/bin/Ostrel.so"
runs=$((runs + 1))
for component in "${components[@]}"; do
  for scenario in panels/components/"$component"/workout/*.zs; do
    echo "--- $scenario"
    "${grind[@]}" "$host" run --quiet "$dir/bin/$component.so" "$scenario"
    runs=$((runs + 1))
  done
done
echo "60-valgrind: $runs scenario runs on ${#components[@]} components, 0 errors, 0 leaks"
