// The Windows load entry every component module gets from the kit: a panel host's threads are none
// of a component's business, so thread attach and detach notifications are turned off.
#include "zeph_win32.h"

#if defined(_WIN32)

enum { DLL_PROCESS_ATTACH_REASON = 1 };

extern "C" int __stdcall DllMain(void* module, unsigned long reason, void* /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH_REASON)
        DisableThreadLibraryCalls(module);
    return 1;
}

#endif
