#!/usr/bin/env bash
# clang-tidy (bugprone-*, clang-analyzer-*, see .clang-tidy) on every file of ours as the `tidy`
# preset compiles it: components, host seam, bench and tools. Any finding is an error and fails
# the build, so the stage.
set -euo pipefail

if ! command -v clang-tidy-14 >/dev/null || ! command -v clang++-14 >/dev/null; then
  echo "70-clang-tidy: skipped: clang-tidy-14 or clang++-14 is not installed"
  exit 77
fi

cmake --preset tidy >/dev/null
cmake --build --preset tidy -j 2 -- -k 0 # every finding at once, not the first file's only
echo "70-clang-tidy: $(grep -c '"file"' build/tidy/compile_commands.json) files, no finding"
