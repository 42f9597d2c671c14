// A small raw component for the bench's own tests. Built once clean and once per FAULT_* macro,
// each build breaking one rule of the host contract so that a test can show the matching check
// fail.
#include "zeph_client_callback.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#if defined(FAULT_LEAK_HEAP)
void* volatile g_lost = nullptr;
#endif

// The faults of a query's reply, or of a call to the host beside it, show at creation too.
#if defined(FAULT_DOUBLE_RELEASE) || defined(FAULT_FOREIGN_RELEASE) ||                             \
    defined(FAULT_NULL_RELEASE) || defined(FAULT_UNKNOWN_CALL) || defined(FAULT_NULL_COMMAND)
#define FAULT_IN_QUERY 1
#endif

namespace {

class TestComponent : public zeph_client_callback {
public:
    TestComponent(zeph_client_callback* host, const char* /*path*/) : m_host(host) {
#if defined(FAULT_LEAK_HEAP)
        // Never freed: every creation costs 64 bytes for good.
        g_lost = std::malloc(64);
#endif
        send("PS '1' 'test.zeph_ui'");
#if defined(FAULT_IN_QUERY)
        query("SD 'pkg/mon1'");
#endif
#if defined(FAULT_TIMER_LEFT)
        send("ET 9 1000");
#endif
    }

    ~TestComponent() override {
        if (m_timer)
            send("ET 1");
#if !defined(FAULT_NO_DETACH)
        send("AS");
#endif
#if defined(FAULT_SEND_AFTER_DETACH)
        send("RU 5");
#endif
    }

    char* callback(void* data, int type) override {
        ++m_depth;
        char* out = handle(data, type);
        --m_depth;
        return out;
    }

private:
    char* handle(void* data, int type) {
        switch (type) {
        case ZEPH_REVERTIVE:
            send("TP 'text=seen' '1' 'UMD'");
            // Inside one of its own calls: the host delivered the revertive inline, which a test
            // needs to tell from a queued one.
            if (m_depth > 1)
                send("HN 'inline'");
            break;
        case ZEPH_BUTTON:
            pressFault();
            query("XI '1' 'alm_'");
            break;
        case ZEPH_PARENT:
            return parent(static_cast<const char*>(data));
        case ZEPH_TIMER:
            query("TG '1' 'UMD' 'text'");
            break;
        case ZEPH_RELEASE:
#if defined(__GNUC__) && !defined(__clang__)
// Optimised, GCC guesses the host's release may be this very callback, handed the stray member.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
            std::free(data);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#if defined(FAULT_RELEASE_RETURNED)
            return m_stray;
#endif
            break;
        case ZEPH_DATABASE:
            query("RN 5 0 12");
            break;
        default:
#if defined(FAULT_CRASH_UNKNOWN)
            if (type == 8) {
                std::fputs("test component: giving up on type 8\n", stderr);
                std::abort();
            }
#endif
#if defined(FAULT_HANG)
            if (type == 255) {
                volatile int spin = 1;
                while (spin) {
                }
            }
#endif
#if defined(FAULT_NONNULL_RETURN)
            if (type == 0 || type == 99 || type == 100)
                return m_stray;
#endif
            break;
        }
        return nullptr;
    }

    // The process-level faults, on a press: a step of the workout, so mid-scenario and mid-check.
    static void pressFault() {
#if defined(FAULT_PRESS_EXIT_ZERO)
        std::exit(0);
#elif defined(FAULT_PRESS_EXIT_CODE)
        _exit(3);
#elif defined(FAULT_PRESS_ABORT)
        std::abort();
#elif defined(FAULT_PRESS_HANG)
        for (volatile int spin = 1; spin;) {
        }
#elif defined(FAULT_PRESS_STDOUT)
        // No newline: the next line of the bench's own would be spoilt too.
        std::printf("{\"PASSED\": 1, ");
        std::fflush(stdout);
#elif defined(FAULT_PRESS_FORK)
        // Both processes go on as if nothing happened: the child runs the bench's code.
        (void)fork();
#elif defined(FAULT_PRESS_FORK_STAY)
        // The child stays in the component, holding all the bench's process held (its pipes).
        if (fork() == 0) {
            sleep(30);
            _exit(0);
        }
#endif
    }

    char* send(const char* command) {
#if !defined(FAULT_NULL_HOST_CRASH)
        if (!m_host)
            return nullptr;
#endif
        return m_host->callback(const_cast<char*>(command), ZEPH_COMMAND);
    }

    void query(const char* command) {
        char* reply = send(command);
#if defined(FAULT_LEAKY_REPLY)
        // Gives up on a list with an empty entry, and keeps the reply: only odd replies show it.
        if (reply && (std::strstr(reply, ",,") || reply[0] == ','))
            return;
#endif
        if (reply)
            m_host->callback(reply, ZEPH_RELEASE);
        if (!m_host)
            return;
#if defined(FAULT_DOUBLE_RELEASE)
        if (reply)
            m_host->callback(reply, ZEPH_RELEASE);
#elif defined(FAULT_FOREIGN_RELEASE)
        m_host->callback(m_stray, ZEPH_RELEASE);
#elif defined(FAULT_NULL_RELEASE)
        m_host->callback(nullptr, ZEPH_RELEASE);
#elif defined(FAULT_UNKNOWN_CALL)
        m_host->callback(m_stray, 7);
#elif defined(FAULT_NULL_COMMAND)
        m_host->callback(nullptr, ZEPH_COMMAND);
#endif
    }

    static char* copy(const char* text) {
        const size_t n = std::strlen(text);
        char* p = static_cast<char*>(std::malloc(n + 1));
        if (p)
            std::memcpy(p, text, n + 1);
        return p;
    }

    char* parent(const char* text) {
        if (!text)
            return nullptr;
#if defined(FAULT_RARE_CRASH)
        if (std::strlen(text) > 250)
            std::abort();
#endif
        query("SD 'pkg/mon1'");
        if (std::strncmp(text, "start", 5) == 0 && !m_timer) {
            send("ET 1 100");
            m_timer = true;
        } else if (std::strncmp(text, "stop", 4) == 0 && m_timer) {
            send("ET 1");
            m_timer = false;
        }
        if (std::strcmp(text, "_commands") == 0)
            return copy("start=[value]\nstop=[value]");
        if (std::strcmp(text, "_events") == 0) {
#if defined(FAULT_BAD_ANSWER)
            // No terminating NUL anywhere in the buffer.
            char* p = static_cast<char*>(std::malloc(70000));
            if (p)
                std::memset(p, 'x', 70000);
            return p;
#else
            return copy("changed=*");
#endif
        }
        if (std::strncmp(text, "watch=", 6) == 0) {
            m_watched = std::atoi(text + 6);
            std::snprintf(m_command, sizeof m_command, "RR 5 %d %d", m_watched, m_watched);
            send(m_command);
        } else if (std::strncmp(text, "take=", 5) == 0) {
            std::snprintf(m_command, sizeof m_command, "RC 5 %d %d ',' 0", std::atoi(text + 5),
                          m_watched);
            send(m_command);
        }
        if (std::strncmp(text, "echo=", 5) == 0 && text[5])
            return copy(text + 5);
        // Diagnostics on stderr, for the tests of what the bench shows of them.
        if (std::strncmp(text, "diag=", 5) == 0)
            std::fprintf(stderr, "%s\n", text + 5);
        // Any bytes as a command, for the tests of what the bench records.
        if (std::strncmp(text, "say=", 4) == 0 && text[4])
            send(text + 4);
        return nullptr;
    }

    zeph_client_callback* m_host;
    bool m_timer = false;
    int m_depth = 0;
    int m_watched = 0;
    char m_command[64] = {};
    // Used by some of the faults only; the others build it too.
    [[maybe_unused]] char m_stray[6] = "stray";
};

} // namespace

#if !defined(FAULT_NO_FACTORY)
extern "C" __attribute__((visibility("default"))) zeph_client_callback*
load_zeph_client_script(zeph_client_callback* host, const char* path) {
#if defined(FAULT_NULL_FACTORY)
    (void)host;
    (void)path;
    return nullptr;
#else
    return new TestComponent(host, path);
#endif
}
#endif
