// The bench's tap: a recording host object and a recording component around the real ones.
#include "trace/bench_tap.h"

#include "trace/trace_records.h"
#include "trace_format.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zeph::bench::trace {

struct BenchTap::State {
    int fd = -1;
    zt_writer writer{};
    std::mutex mutex;
    std::chrono::steady_clock::time_point start;
    zeph_factory_fn real = nullptr;
    uint32_t nextHost = 1;

    // Written through to the file before the call goes on: a crash loses nothing already done.
    void record(const zb_message& m) {
        static std::atomic<uint32_t> threads{0};
        thread_local const uint32_t thread = ++threads;
        // Timed under the lock, so that the file's times never run backwards.
        const std::lock_guard<std::mutex> lock(mutex);
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        zt_write(&writer, uint64_t(us), thread, &m);
    }
    void call(uint64_t target, void* data, int type, bool toHost) {
        record(callRecord(target, type, data, toHost));
    }
    void returned(const char* result) { record(returnRecord(result)); }
};

namespace {
BenchTap::State* g_open; // the one open tap, which the bare factory function finds

int writeAll(void* context, const void* data, size_t size) {
    const int fd = *static_cast<int*>(context);
    const char* p = static_cast<const char*>(data);
    while (size) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        size -= size_t(n);
    }
    return 0;
}

class TapHost : public zeph_client_callback {
public:
    TapHost(BenchTap::State& s, zeph_client_callback* real, uint32_t id)
        : m_s(s), m_real(real), m_id(id) {}
    char* callback(void* data, int type) override {
        m_s.call(m_id, data, type, true);
        char* result = m_real->callback(data, type);
        m_s.returned(result);
        return result;
    }

private:
    BenchTap::State& m_s;
    zeph_client_callback* m_real;
    uint32_t m_id;
};

class TapComponent : public zeph_client_callback {
public:
    TapComponent(BenchTap::State& s, zeph_client_callback* real, TapHost* host)
        : m_s(s), m_real(real), m_host(host) {}
    ~TapComponent() override {
        zb_message m{};
        m.kind = ZB_DESTROY;
        m.u.destroy.handle = handle();
        m_s.record(m);
        delete m_real;
        m_s.returned(nullptr);
        delete m_host;
    }
    char* callback(void* data, int type) override {
        m_s.call(handle(), data, type, false);
        char* result = m_real->callback(data, type);
        m_s.returned(result);
        return result;
    }

private:
    uint64_t handle() const { return uint64_t(reinterpret_cast<uintptr_t>(m_real)); }
    BenchTap::State& m_s;
    zeph_client_callback* m_real;
    TapHost* m_host;
};

zeph_client_callback* tappedFactory(zeph_client_callback* host, const char* path) {
    BenchTap::State& s = *g_open;
    const uint32_t id = host ? s.nextHost++ : 0;
    s.record(createRecord(id, path));
    TapHost* tapHost = host ? new TapHost(s, host, id) : nullptr;
    zeph_client_callback* component = s.real(tapHost, path);
    zb_message r{};
    r.kind = ZB_RETURN;
    r.u.ret.value = uint64_t(reinterpret_cast<uintptr_t>(component));
    s.record(r);
    if (!component) {
        delete tapHost;
        return nullptr;
    }
    return new TapComponent(s, component, tapHost);
}
} // namespace

BenchTap::BenchTap() : m_state(new State) {}

BenchTap::~BenchTap() {
    if (g_open == m_state.get())
        g_open = nullptr;
    zt_writer_free(&m_state->writer);
    if (m_state->fd >= 0)
        ::close(m_state->fd);
}

bool BenchTap::open(const std::string& file, const std::string& module, std::string& error,
                    uint64_t limit) {
    State& s = *m_state;
    s.fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (s.fd < 0) {
        error = file + ": " + std::strerror(errno);
        return false;
    }
    zt_writer_init(&s.writer, writeAll, &s.fd, limit);
    s.start = std::chrono::steady_clock::now();
    zt_header h{};
    h.tap_version = kBenchTapVersion;
    h.pid = uint32_t(::getpid());
    const size_t slash = module.find_last_of('/');
    const std::string name = slash == std::string::npos ? module : module.substr(slash + 1);
    h.component = zb_text_of(name.c_str());
    struct stat st {};
    if (::stat(module.c_str(), &st) == 0) {
        h.component_size = uint64_t(st.st_size);
        h.component_time = uint64_t(st.st_mtime);
    }
    h.started_us = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
    if (zt_write_header(&s.writer, &h) != 0) {
        error = file + ": cannot be written";
        return false;
    }
    return true;
}

zeph_factory_fn BenchTap::wrap(zeph_factory_fn real) {
    m_state->real = real;
    g_open = m_state.get();
    return tappedFactory;
}

void BenchTap::debug(const std::string& text) {
    zb_message m{};
    m.kind = ZB_DEBUG;
    m.u.debug.text = zb_text{text.data(), uint32_t(std::min<size_t>(text.size(), ZB_TEXT_LIMIT))};
    m_state->record(m);
}

bool BenchTap::intact() const {
    return !m_state->writer.failed;
}

} // namespace zeph::bench::trace
