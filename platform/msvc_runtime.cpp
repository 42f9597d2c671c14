// The few C++ runtime entries an MSVC-ABI module needs, over malloc/free, so no C++ runtime DLL.
//
// Built only for the Windows cross build: the modules import msvcrt.dll for malloc and free and
// nothing else of a C++ runtime. Each module links its own copy, so memory never crosses a
// module boundary through these.
#include <stdlib.h>

void* operator new(size_t size) {
    return malloc(size ? size : 1);
}

void* operator new[](size_t size) {
    return malloc(size ? size : 1);
}

void operator delete(void* p) noexcept {
    free(p);
}

void operator delete[](void* p) noexcept {
    free(p);
}

void operator delete(void* p, size_t) noexcept {
    free(p);
}

void operator delete[](void* p, size_t) noexcept {
    free(p);
}

// A pure virtual reached through a half-built or half-destroyed object: stop rather than go on.
extern "C" int __cdecl _purecall() {
    abort();
}
