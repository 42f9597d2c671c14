// A native stand-in for zeph-bridge.exe: the same relay (bridge_core.c) around a shared object
// loaded with dlopen, so that the bench's end of the bridge is tested without Wine. A fault in the
// module is reported as the Windows bridge reports an exception.
#include "bridge_core.h"
#include "bridge_protocol.h"
#include "zeph_client_callback.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <string>
#include <vector>
#include <fcntl.h>
#include <malloc.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

class Host final : public zeph_client_callback {
public:
    explicit Host(uint32_t id) : m_id(id) {}
    char* callback(void* data, int type) override { return zb_host_call(m_id, data, type); }

private:
    uint32_t m_id;
};

// The modules by number, the one named on the command line first, each path once.
struct Loaded {
    std::string path;
    zeph_factory_fn factory;
};
std::vector<Loaded> g_modules;

int readInput(void* buffer, unsigned size) {
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<int>(n);
    }
}

int writeOutput(const void* data, unsigned size) {
    const char* p = static_cast<const char*>(data);
    while (size) {
        const ssize_t n = write(STDOUT_FILENO, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= static_cast<unsigned>(n);
    }
    return 0;
}

void* makeHost(uint32_t id) {
    return new Host(id);
}
void freeHost(void* host) {
    delete static_cast<Host*>(host);
}
uint32_t load(const char* path, uint32_t* number, uint32_t* error, char* what, unsigned size) {
    for (size_t i = 0; i < g_modules.size(); ++i)
        if (g_modules[i].path == path) {
            *number = uint32_t(i);
            return ZB_READY;
        }
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        *error = 126;
        std::snprintf(what, size, "%s", dlerror());
        return ZB_LOAD_FAILED;
    }
    auto factory = reinterpret_cast<zeph_factory_fn>(dlsym(module, ZEPH_FACTORY_NAME));
    if (!factory) {
        std::snprintf(what, size, "%s", ZEPH_FACTORY_NAME);
        return ZB_NO_FACTORY;
    }
    *number = uint32_t(g_modules.size());
    g_modules.push_back({path, factory});
    std::snprintf(what, size, "%s", path);
    return ZB_READY;
}
void* create(uint32_t dll, void* host, const char* path) {
    return dll < g_modules.size()
               ? g_modules[dll].factory(static_cast<zeph_client_callback*>(host), path)
               : nullptr;
}
char* callback(void* component, void* data, int type) {
    return static_cast<zeph_client_callback*>(component)->callback(data, type);
}
void destroy(void* component) {
    delete static_cast<zeph_client_callback*>(component);
}
int heapInUse(uint64_t* bytes) {
    *bytes = mallinfo2().uordblks;
    return 1;
}
void quit(int code) {
    _exit(code);
}
void* mapShared(const char* path, uint32_t size, char* why, unsigned whySize) {
    // A bridge that cannot map the region, which must go on on pipes.
    if (std::getenv("ZEPH_FAKE_BRIDGE_NO_MAP")) {
        std::snprintf(why, whySize, "mapping is turned off");
        return nullptr;
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(why, whySize, "%s", std::strerror(errno));
        return nullptr;
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) {
        std::snprintf(why, whySize, "%s", std::strerror(errno));
        return nullptr;
    }
    return view;
}

// A component's call that a fault abandons, as the Windows bridge's; the signal mask comes back
// with it.
struct Guard {
    sigjmp_buf resume;
    Guard* outer;
};
Guard* volatile g_guard;

int guarded(void (*fn)(void*), void* arg) {
    Guard g;
    g.outer = g_guard;
    if (sigsetjmp(g.resume, 1)) {
        g_guard = g.outer;
        return 1;
    }
    g_guard = &g;
    fn(arg);
    g_guard = g.outer;
    return 0;
}

// The signal as the exception Windows would raise, with the place as module+offset.
void onFault(int sig, siginfo_t* info, void* context) {
    uint32_t code = 0xC0000409;
    uint32_t access = ZB_NO_ACCESS;
    uint64_t pc = 0;
#if defined(__x86_64__)
    const auto* uc = static_cast<const ucontext_t*>(context);
    pc = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
#endif
    if (sig == SIGSEGV || sig == SIGBUS) {
        code = 0xC0000005;
#if defined(__x86_64__)
        access = (uc->uc_mcontext.gregs[REG_ERR] & 2) ? 1 : 0;
#endif
    } else if (sig == SIGFPE) {
        code = 0xC0000094;
    } else if (sig == SIGILL) {
        code = 0xC000001D;
    }
    char where[300] = "?";
    Dl_info dl;
    if (pc && dladdr(reinterpret_cast<void*>(pc), &dl) && dl.dli_fname) {
        const char* slash = std::strrchr(dl.dli_fname, '/');
        std::snprintf(
            where, sizeof where, "%s+0x%llx", slash ? slash + 1 : dl.dli_fname,
            static_cast<unsigned long long>(pc - reinterpret_cast<uint64_t>(dl.dli_fbase)));
    }
    zb_fault(code, pc, access, reinterpret_cast<uint64_t>(info->si_addr), where);
    if (g_guard)
        siglongjmp(g_guard->resume, 1);
    _exit(70);
}

const zb_platform g_platform = {readInput, writeOutput, makeHost,  freeHost, load,    create,
                                callback,  destroy,     heapInUse, quit,     guarded, mapShared};

} // namespace

int main(int argc, char** argv) {
    // The tests check that nothing of a bridge outlives the bench.
    if (const char* file = std::getenv("ZEPH_FAKE_BRIDGE_PID_FILE")) {
        if (FILE* f = std::fopen(file, "w")) {
            std::fprintf(f, "%d\n", static_cast<int>(getpid()));
            std::fclose(f);
        }
    }
    struct sigaction sa {};
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        sigaction(sig, &sa, nullptr);
    if (argc < 2) {
        zb_hello(&g_platform, ZB_BAD_USAGE, 0, "usage: fake_bridge MODULE");
        return 2;
    }
    char what[600];
    uint32_t number = 0, error = 0;
    const uint32_t status = load(argv[1], &number, &error, what, sizeof what);
    zb_hello(&g_platform, status, error, what);
    return status == ZB_READY ? zb_serve(&g_platform) : 1;
}
