#!/usr/bin/env bash
# Release build: the allocation targets of the benchmarks, and the ratios of the take cycle, the
# soak and the trace conversion to their baselines (each test measures again in a new process
# before it fails). Without CMake, Ninja or a C++ compiler the stage exits 77.
set -euo pipefail

for tool in cmake ctest ninja c++; do
  if ! command -v "$tool" >/dev/null; then
    echo "80-benchmarks: skipped: $tool is not installed"
    exit 77
  fi
done

cmake --preset release
cmake --build --preset release --target zeph_benchmarks
ctest --preset release -L benchmark
