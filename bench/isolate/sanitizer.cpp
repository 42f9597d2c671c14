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
// From the sanitizer runtime; declared here since not every compiler ships its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" int __lsan_do_recoverable_leak_check();
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
