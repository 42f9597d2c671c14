#!/usr/bin/env bash
# Native debug build, every CTest test (unit, component, scenarios, validate). Without CMake, Ninja
# or a C++ compiler the stage exits 77.
set -euo pipefail

for tool in cmake ctest ninja c++; do
  if ! command -v "$tool" >/dev/null; then
    echo "10-native: skipped: $tool is not installed"
    exit 77
  fi
done

cmake --workflow --preset dev

# The SDK as it ships: its own preset (-O1, the command line at -O0, warnings as errors) builds
# nothing any other preset builds the same way, so it is built and packed here.
cmake --workflow --preset sdk
