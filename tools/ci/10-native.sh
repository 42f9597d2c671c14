# Native debug build, every CTest test (unit, component, scenarios, validate).
cmake --workflow --preset dev

# The SDK as it ships: its own preset (-O1, the command line at -O0, warnings as errors) builds
# nothing any other preset builds the same way, so it is built and packed here.
cmake --workflow --preset sdk
