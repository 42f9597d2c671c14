// A component that forks, and lets the child return, would have the bench's code run on in two
// processes: the run played twice, its transcript printed twice, a process left behind. The bench
// tells its own forks from the component's, and a process the component forked is ended the
// moment it comes back to the host's side (a call to the host, or a notification returning).
#pragma once

#include <sys/types.h>

namespace zeph::host {

// Starts telling forks apart (once; the bench's CLI and its isolation arm it). Until then the
// check below never fires, as the tests that drive a host directly want.
void armForkGuard();
// fork() for the bench's own children (isolation, the bridge): these go on as the bench.
pid_t benchFork();
// Run in the component's forked child as it starts (to say who it is), and in the process that
// forked right after the fork returns there (to say where it was).
void onForeignFork(void (*inChild)(), void (*inParent)());

// Set in a process the component forked. Read on every call across the seam, hence a plain flag.
extern bool g_foreignFork;
// Ends such a process at once (_exit, nothing flushed, nothing written twice).
[[noreturn]] void leaveForeignFork();
inline void leaveIfForeignFork() {
    if (__builtin_expect(g_foreignFork, 0))
        leaveForeignFork();
}

} // namespace zeph::host
