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

cmake --workflow --preset asan
