// pthread_atfork tells the forks apart: the bench's own set a flag around fork(), so any other
// fork in the process is the component's.
#include "fork_guard.h"

#include <pthread.h>
#include <unistd.h>

namespace zeph::host {

bool g_foreignFork = false;

namespace {

bool g_armed = false;
bool g_benchForking = false;
void (*g_inChild)() = nullptr;
void (*g_inParent)() = nullptr;

void parentSide() {
    if (!g_benchForking && g_inParent)
        g_inParent();
}

void childSide() {
    if (g_benchForking)
        return;
    g_foreignFork = true;
    if (g_inChild)
        g_inChild();
}

} // namespace

void armForkGuard() {
    if (g_armed)
        return;
    g_armed = true;
    pthread_atfork(nullptr, parentSide, childSide);
}

pid_t benchFork() {
    g_benchForking = true;
    const pid_t pid = fork();
    g_benchForking = false;
    return pid;
}

void onForeignFork(void (*inChild)(), void (*inParent)()) {
    g_inChild = inChild;
    g_inParent = inParent;
}

void leaveForeignFork() {
    _exit(0);
}

} // namespace zeph::host
