// The one place that knows whether the bench runs under the address sanitizer.
#include "isolate/sanitizer.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZEPH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEPH_ASAN 1
#endif
#endif
#if defined(ZEPH_ASAN)
#include <sanitizer/lsan_interface.h>
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// From the sanitizer runtime; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes(); // NOLINT(bugprone-reserved-identifier)
#endif
#else
#include <malloc.h>
#endif

namespace zeph::bench {

size_t heapInUse() {
#if defined(ZEPH_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

bool leakCheckAvailable() {
#if defined(ZEPH_ASAN)
    return true;
#else
    return false;
#endif
}

bool leaksFound() {
#if defined(ZEPH_ASAN)
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

} // namespace zeph::bench
