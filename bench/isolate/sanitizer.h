// What the bench asks of the sanitizer's runtime when it is built with one, and the plain
// answer when it is not.
#pragma once

#include <cstddef>

namespace zeph::bench {

// Bytes of heap in use by this process (the sanitizer's allocator when it is in place).
size_t heapInUse();

// Looks for leaks now and reports them on stderr; true if any was found. False, having looked
// for nothing, without the sanitizer.
bool leaksFound();

// Whether leaksFound can find anything in this build.
bool leakCheckAvailable();

} // namespace zeph::bench
