// Counts heap allocations made anywhere in the benchmark process, the component's modules included.
#pragma once

#include <cstdint>

namespace zeph::perf {

// Calls of malloc, calloc and realloc since the process started (operator new goes through malloc).
uint64_t allocationCount();

// False when the counting replacement does not reach the string library (then every count is void).
bool allocationCountingWorks();

} // namespace zeph::perf
