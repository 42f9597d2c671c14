# The same tests under AddressSanitizer + UndefinedBehaviorSanitizer, leak checking on.
cmake --workflow --preset asan
