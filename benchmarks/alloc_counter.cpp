// Replaces malloc, calloc, realloc and free for the whole process and counts the allocations.
//
// The executable exports these symbols (ENABLE_EXPORTS), so zeph_string.so and the Ostrel module,
// loaded later with dlopen, bind to them too: their allocations are counted, not guessed. The real
// work is left to the C library's own entry points.
#include "alloc_counter.h"

#include "zeph_string.h"

#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
}

namespace {
// The benchmarks run on one thread: a plain counter is enough and keeps the cost to one add.
uint64_t g_allocations = 0;
} // namespace

extern "C" {
void* malloc(size_t size) {
    ++g_allocations;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    ++g_allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    ++g_allocations;
    return __libc_realloc(p, size);
}

void free(void* p) {
    __libc_free(p);
}
}

namespace zeph::perf {

uint64_t allocationCount() {
    return __atomic_load_n(&g_allocations, __ATOMIC_RELAXED);
}

bool allocationCountingWorks() {
    const uint64_t before = allocationCount();
    // Longer than the text a string keeps inside itself, so the library must take it from the heap.
    zeph_string text("0123456789012345678901234567890123456789012345678901234567890123456789");
    return allocationCount() > before && text.length() == 70;
}

} // namespace zeph::perf
