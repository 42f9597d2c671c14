#!/usr/bin/env bash
# clang-tidy (bugprone-*, clang-analyzer-*, see .clang-tidy) over the component code; any finding
# fails the stage.
set -euo pipefail

tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "70-clang-tidy: skipped: clang-tidy is not installed"
  exit 0
fi

# Only the compile database is needed, from a native configure with the clang that matches.
dir=build/tidy
compilers=()
if command -v clang++-14 >/dev/null; then
  compilers=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)
fi
cmake -S . -B "$dir" -G Ninja "${compilers[@]}" -DZEPH_BUILD_TESTS=OFF -DZEPH_BUILD_TOOLS=OFF >/dev/null

# The component sources that this build compiles (the Windows-only ones are not in the database).
files=()
for f in $(git ls-files 'platform/*.cpp' 'script_helper/*.cpp' 'panels/*.cpp'); do
  if grep -qF "\"file\": \"$PWD/$f\"" "$dir/compile_commands.json"; then
    files+=("$f")
  fi
done
[ ${#files[@]} -gt 0 ] || { echo "70-clang-tidy: no component source in the compile database"; exit 1; }

printf '%s\n' "${files[@]}" | xargs -P 2 -n 1 "$tidy" -p "$dir" --quiet
echo "70-clang-tidy: ${#files[@]} files, no finding"
