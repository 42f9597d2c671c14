#!/usr/bin/env bash
# The same tests under AddressSanitizer + UndefinedBehaviorSanitizer, leak checking on. Without
# CMake, Ninja or a C++ compiler the stage exits 77.
set -euo pipefail

for tool in cmake ctest ninja c++; do
  if ! command -v "$tool" >/dev/null; then
    echo "20-asan: skipped: $tool is not installed"
    exit 77
  fi
done

# The build under its folder's lock: tools/ci/prefetch may be building it already.
"$(dirname "$0")/locked" asan sh -c 'cmake --preset asan && cmake --build --preset asan'
ctest --preset asan
