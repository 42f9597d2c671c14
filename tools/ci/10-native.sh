# Native debug build, every CTest test (unit, component, scenarios, validate).
cmake --workflow --preset dev
