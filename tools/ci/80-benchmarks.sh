# Release build: the allocation targets of the benchmarks (the time ratios are printed, not asserted).
cmake --preset release
cmake --build --preset release --target zeph_benchmarks
ctest --preset release -L benchmark
