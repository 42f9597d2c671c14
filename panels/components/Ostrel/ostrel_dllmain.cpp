// The Windows load entry: the selector has no use for thread attach and detach notifications.
#include "zeph_win32.h"

#if defined(_WIN32)

enum { DLL_PROCESS_ATTACH_REASON = 1 };

extern "C" int __stdcall DllMain(void* module, unsigned long reason, void* /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH_REASON)
        DisableThreadLibraryCalls(module);
    return 1;
}

#endif
