// The bench's end of the bridge: starting it, the pipe, the stand-in components, and this side's
// copies of the component's answers with their release bookkeeping.
#include "bridge/bridged_module.h"

#include "bridge/bridge_protocol.h"
#include "zeph_records.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::host::bridge {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// ---- Messages ----------------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(uint32_t kind) {
        u32(0);
        u32(kind);
    }
    void u32(uint32_t v) {
        const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
        m_data.append(b, 4);
    }
    void u64(uint64_t v) {
        u32(uint32_t(v));
        u32(uint32_t(v >> 32));
    }
    void text(const char* t, size_t n) {
        u32(uint32_t(n));
        m_data.append(t, n);
    }
    // A C text read no further than the protocol's limit; null stays null.
    void text(const char* t) {
        if (!t)
            u32(ZB_NO_TEXT);
        else
            text(t, strnlen(t, ZB_TEXT_LIMIT));
    }
    const std::string& finish() {
        const uint32_t size = uint32_t(m_data.size() - 4);
        for (int i = 0; i < 4; ++i)
            m_data[i] = char(size >> (8 * i));
        return m_data;
    }

private:
    std::string m_data;
};

struct Message {
    uint32_t kind = 0;
    std::vector<unsigned char> body;
};

class Cursor {
public:
    explicit Cursor(const Message& m) : m_b(m.body) {}
    uint32_t u32() {
        if (m_b.size() - m_pos < 4) {
            m_bad = true;
            return 0;
        }
        const unsigned char* p = m_b.data() + m_pos;
        m_pos += 4;
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    uint64_t u64() {
        const uint64_t low = u32();
        return low | uint64_t(u32()) << 32;
    }
    std::optional<std::string> text() {
        const uint32_t n = u32();
        if (m_bad || n == ZB_NO_TEXT)
            return std::nullopt;
        if (m_b.size() - m_pos < n) {
            m_bad = true;
            return std::nullopt;
        }
        std::string t(reinterpret_cast<const char*>(m_b.data()) + m_pos, n);
        m_pos += n;
        return t;
    }
    bool bad() const { return m_bad; }

private:
    const std::vector<unsigned char>& m_b;
    size_t m_pos = 0;
    bool m_bad = false;
};

struct Reply {
    uint64_t value = 0;
    uint32_t flags = 0;
    std::optional<std::string> text;
};

// What the bench was asking of the bridge, described only when something goes wrong.
struct Activity {
    const char* what; // "creation", "destruction", "notification", ...
    int type = 0;
    const void* data = nullptr;
};

std::string quoted(const char* t) {
    if (!t)
        return "null";
    std::string s(t, strnlen(t, 80));
    return "\"" + s + (s.size() == 80 ? "...\"" : "\"");
}

std::string describe(const Activity& a) {
    const std::string what = a.what;
    if (what == "creation")
        return "creation (base path " + quoted(static_cast<const char*>(a.data)) + ")";
    if (what != "notification")
        return what;
    const char* d = static_cast<const char*>(a.data);
    auto word = [&](int i) {
        int32_t w;
        std::memcpy(&w, d + ptrdiff_t(4) * i, 4);
        return std::to_string(w);
    };
    switch (a.type) {
    case ZEPH_REVERTIVE:
        return d ? "revertive " + word(0) + " " + word(2) + " " + quoted(d + 16) : "revertive";
    case ZEPH_DATABASE:
        return d ? "database change " + word(0) + " " + word(1) + " " + word(3) + " " +
                       quoted(d + 16)
                 : "database change";
    case ZEPH_BUTTON: {
        const auto* b = static_cast<const zeph_button_record*>(a.data);
        return b ? "press " + quoted(b->panel) + " " + quoted(b->control) : "press";
    }
    case ZEPH_PARENT:
        return "parent " + quoted(d);
    case ZEPH_TIMER:
        return "tick " + std::to_string(reinterpret_cast<intptr_t>(a.data));
    case ZEPH_RELEASE:
        return "release (type 5)";
    default:
        return "notification type " + std::to_string(a.type);
    }
}

struct Fault {
    const char* name;
    int signal;
};

Fault faultOf(uint32_t code) {
    switch (code) {
    case 0xC0000005:
        return {"access violation", SIGSEGV};
    case 0xC0000006:
        return {"in-page error", SIGBUS};
    case 0x80000002:
        return {"misaligned data", SIGBUS};
    case 0xC000001D:
        return {"illegal instruction", SIGILL};
    case 0xC0000096:
        return {"privileged instruction", SIGILL};
    case 0xC0000094:
        return {"integer division by zero", SIGFPE};
    case 0xC0000095:
        return {"integer overflow", SIGFPE};
    case 0xC00000FD:
        return {"stack overflow", SIGSEGV};
    case 0xC000008C:
        return {"array bounds exceeded", SIGSEGV};
    case 0x80000003:
        return {"breakpoint", SIGTRAP};
    case 0xC0000409:
        return {"stack buffer overrun", SIGABRT};
    case 0xC0000374:
        return {"heap corruption", SIGABRT};
    case 0xE06D7363:
        return {"C++ exception", SIGABRT};
    case 0x40000015:
        return {"abort", SIGABRT};
    default:
        if (code >= 0xC000008D && code <= 0xC0000093)
            return {"floating-point fault", SIGFPE};
        return {"exception", SIGABRT};
    }
}

std::string hex(uint64_t v, int digits = 8) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

void writeAll(int fd, const char* data, size_t n) {
    while (n) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        data += done;
        n -= size_t(done);
    }
}

[[noreturn]] void dieOf(int sig) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// Waits up to seconds for the child to end; true when it has (and is reaped).
bool reap(pid_t pid, double seconds, int* status = nullptr) {
    const auto deadline = after(seconds);
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            if (status)
                *status = st;
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        usleep(5000);
    }
}

// ---- The connection to one bridge --------------------------------------------------------------

class Connection {
public:
    static std::unique_ptr<Connection> start(const Launch& launch, std::string& error);
    ~Connection();

    pid_t owner() const { return m_owner; }
    // Inherited through fork: lets go of this process's copies without touching the bridge.
    void abandon();

    uint32_t addHost(zeph_client_callback* host);
    void removeHost(uint32_t id) { m_hosts.erase(id); }
    // Sends the message and waits for its RETURN, serving the component's calls meanwhile.
    Reply call(Writer& w, const Activity& activity);
    [[noreturn]] void crash(const std::string& line, int sig);

private:
    explicit Connection(const Launch& launch) : m_launch(launch) {}
    void send(Writer& w);
    // The next message; ends the process when the bridge has ended or does not answer in time.
    Message receive(double seconds);
    enum class Read { Ok, Ended, TimedOut, Garbled };
    Read readMessage(Message& m, Clock::time_point deadline);
    void debugText(const Message& m);
    bool readExact(void* dst, size_t n, Clock::time_point deadline, bool& timedOut);
    void serveCall(const Message& m);
    [[noreturn]] void fault(const Message& m);
    [[noreturn]] void protocolError();
    std::string activityText() const;
    std::string stderrTail() const;
    // Ends the bridge: gently, by the end of its input, or at once.
    void stop(bool gently);

    Launch m_launch;
    pid_t m_owner = 0;
    pid_t m_child = -1;
    int m_to = -1, m_from = -1, m_err = -1;
    std::vector<unsigned char> m_in = std::vector<unsigned char>(65536);
    size_t m_inPos = 0, m_inLen = 0;

    std::unordered_map<uint32_t, zeph_client_callback*> m_hosts;
    uint32_t m_nextHost = 1;
    // The replies the hosts handed the component during the call from the bench in progress,
    // and those it released lately: a release names one of these (a repeated release names the
    // same again), or it is foreign. Bounded, as the hosts drop unreleased replies themselves.
    std::unordered_set<uint64_t> m_replies;
    uint64_t m_released[256] = {};
    size_t m_releasedNext = 0;
    char m_foreign[64] = {};
    std::vector<const Activity*> m_activities;
};

std::unique_ptr<Connection> Connection::start(const Launch& launch, std::string& error) {
    if (launch.argv.empty()) {
        error = "cannot load " + launch.module + ": no bridge to start";
        return nullptr;
    }
    std::unique_ptr<Connection> c(new Connection(launch));
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0) {
        error = "cannot load " + launch.module + ": no pipe for the bridge";
        return nullptr;
    }
    if (pipe2(from, O_CLOEXEC) != 0) {
        close(to[0]);
        close(to[1]);
        error = "cannot load " + launch.module + ": no pipe for the bridge";
        return nullptr;
    }
    // What Wine and wine-run say is kept to explain a bridge that does not start; unless the user
    // asked Wine to say more (WINEDEBUG), which then goes to the bench's own stderr.
    if (!std::getenv("WINEDEBUG"))
        c->m_err = memfd_create("zeph-bridge-stderr", MFD_CLOEXEC);
    std::vector<char*> argv;
    for (const std::string& a : launch.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // When this process dies, however it dies, wine-run hears it and ends the bridge's
        // namespace: a bench killed at its time limit leaves nothing running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        dup2(to[0], STDIN_FILENO);
        dup2(from[1], STDOUT_FILENO);
        if (c->m_err >= 0)
            dup2(c->m_err, STDERR_FILENO);
        // Nothing else of the bench's is inherited: another pipe held open by Wine would keep
        // its reader waiting for an end.
        syscall(SYS_close_range, 3u, ~0u, 0u);
        std::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    if (pid < 0) {
        close(to[1]);
        close(from[0]);
        error = "cannot load " + launch.module + ": cannot start the bridge";
        return nullptr;
    }
    c->m_owner = parent;
    c->m_child = pid;
    c->m_to = to[1];
    c->m_from = from[0];

    // The first message says whether the DLL loaded; what DllMain writes to the debugger output
    // may come before it.
    const auto deadline = after(launch.startSeconds);
    Message hello;
    Read read;
    while ((read = c->readMessage(hello, deadline)) == Read::Ok && hello.kind == ZB_DEBUG)
        c->debugText(hello);
    const std::string prefix = "cannot load " + launch.module + ": ";
    if (read == Read::Garbled) {
        error = prefix + "the bridge (" + launch.argv.front() + ") speaks another protocol";
        c->stop(false);
        return nullptr;
    }
    if (read != Read::Ok) {
        if (read == Read::TimedOut) {
            error = prefix + "the bridge did not start within " +
                    std::to_string(int(launch.startSeconds)) + " s";
            c->stop(false);
            return nullptr;
        }
        close(c->m_to);
        c->m_to = -1;
        int status = 0;
        if (!reap(pid, 10, &status)) {
            error = prefix + "the bridge stopped before it started";
            return nullptr;
        }
        c->m_child = -1;
        const std::string tail = c->stderrTail();
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
            error = prefix + "Wine cannot run here" + (tail.empty() ? "" : " (" + tail + ")");
        else
            error = prefix + "the bridge ended before it started (" +
                    (WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                       : "signal " + std::to_string(WTERMSIG(status))) +
                    ")" + (tail.empty() ? "" : ": " + tail);
        return nullptr;
    }
    Cursor h(hello);
    const uint32_t magic = h.u32(), version = h.u32(), status = h.u32(), code = h.u32();
    const std::string what = h.text().value_or("");
    if (hello.kind != ZB_HELLO || h.bad() || magic != ZB_MAGIC || version != ZB_VERSION) {
        error = prefix + "the bridge (" + launch.argv.front() + ") speaks another protocol";
        c->stop(false);
        return nullptr;
    }
    if (status == ZB_NO_FACTORY) {
        error = launch.module + " exports no " ZEPH_FACTORY_NAME;
        return nullptr;
    }
    if (status != ZB_READY) {
        error = prefix + (status == ZB_LOAD_FAILED ? "the bridge could not load it: " + what +
                                                         " (error " + std::to_string(code) + ")"
                                                   : what);
        return nullptr;
    }
    return c;
}

Connection::~Connection() {
    if (m_owner != getpid()) {
        abandon();
        return;
    }
    stop(true);
}

void Connection::stop(bool gently) {
    if (m_to >= 0)
        close(m_to);
    m_to = -1;
    if (m_from >= 0)
        close(m_from);
    m_from = -1;
    if (m_child > 0 && !reap(m_child, gently ? 10 : 0)) {
        kill(m_child, SIGTERM); // wine-run ends the namespace, and all in it
        if (!reap(m_child, 10)) {
            kill(m_child, SIGKILL);
            reap(m_child, 5);
        }
    }
    m_child = -1;
    if (m_err >= 0)
        close(m_err);
    m_err = -1;
}

void Connection::abandon() {
    for (int* fd : {&m_to, &m_from, &m_err}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    m_child = -1;
    m_owner = 0;
}

std::string Connection::stderrTail() const {
    if (m_err < 0)
        return "";
    std::string all;
    char buf[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(m_err, buf, sizeof buf, at);
        if (n <= 0)
            break;
        all.append(buf, size_t(n));
        at += n;
        if (all.size() > 1 << 20)
            break;
    }
    while (!all.empty() && (all.back() == '\n' || all.back() == '\r'))
        all.pop_back();
    const size_t nl = all.rfind('\n');
    return nl == std::string::npos ? all : all.substr(nl + 1);
}

uint32_t Connection::addHost(zeph_client_callback* host) {
    while (m_nextHost == 0 || m_hosts.count(m_nextHost))
        ++m_nextHost;
    m_hosts[m_nextHost] = host;
    return m_nextHost++;
}

void Connection::send(Writer& w) {
    const std::string& data = w.finish();
    // A bridge that has gone must not take this process down with SIGPIPE before it is reported.
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    size_t done = 0;
    bool broken = false;
    while (done < data.size()) {
        const ssize_t n = ::write(m_to, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            broken = true;
            break;
        }
        done += size_t(n);
    }
    if (broken) {
        const timespec zero = {0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // A bridge that has gone may have said why (a fault) before it went.
    while (broken) {
        Message m = receive(m_launch.answerSeconds);
        if (m.kind == ZB_FAULT)
            fault(m);
    }
}

bool Connection::readExact(void* dst, size_t n, Clock::time_point deadline, bool& timedOut) {
    auto* d = static_cast<unsigned char*>(dst);
    while (n) {
        if (m_inPos == m_inLen) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                timedOut = true;
                return false;
            }
            pollfd p{m_from, POLLIN, 0};
            const int ready = poll(&p, 1, int(std::min<long long>(left, INT_MAX)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0)
                continue;
            const ssize_t got = ::read(m_from, m_in.data(), m_in.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            m_inPos = 0;
            m_inLen = size_t(got);
        }
        const size_t take = std::min(n, m_inLen - m_inPos);
        std::memcpy(d, m_in.data() + m_inPos, take);
        m_inPos += take;
        d += take;
        n -= take;
    }
    return true;
}

Connection::Read Connection::readMessage(Message& m, Clock::time_point deadline) {
    unsigned char head[8];
    bool timedOut = false;
    if (!readExact(head, 8, deadline, timedOut))
        return timedOut ? Read::TimedOut : Read::Ended;
    const uint32_t size = uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 |
                          uint32_t(head[3]) << 24;
    m.kind = uint32_t(head[4]) | uint32_t(head[5]) << 8 | uint32_t(head[6]) << 16 |
             uint32_t(head[7]) << 24;
    if (size < 4 || size > ZB_MESSAGE_LIMIT)
        return Read::Garbled;
    m.body.resize(size - 4);
    if (!readExact(m.body.data(), m.body.size(), deadline, timedOut))
        return timedOut ? Read::TimedOut : Read::Ended;
    return Read::Ok;
}

void Connection::debugText(const Message& m) {
    // Where a shared object's diagnostics go, so --capture-stderr shows them in place.
    Cursor c(m);
    std::string t = c.text().value_or("");
    if (t.empty() || t.back() != '\n')
        t += '\n';
    writeAll(STDERR_FILENO, t.data(), t.size());
}

Message Connection::receive(double seconds) {
    Message m;
    const Read read = readMessage(m, after(seconds));
    if (read == Read::Ok)
        return m;
    if (read == Read::Garbled)
        protocolError();
    if (read == Read::TimedOut)
        crash("the bridge did not answer within " + std::to_string(int(seconds)) + " s" +
                  activityText(),
              SIGABRT);
    int status = 0;
    std::string how = "the bridge ended";
    if (m_child > 0 && reap(m_child, 10, &status)) {
        m_child = -1;
        if (WIFEXITED(status))
            how += " with exit code " + std::to_string(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            how += " by signal " + std::to_string(WTERMSIG(status));
    }
    const std::string tail = stderrTail();
    crash(how + activityText() + (tail.empty() ? "" : " (" + tail + ")"), SIGABRT);
}

std::string Connection::activityText() const {
    return m_activities.empty() ? std::string() : " during " + describe(*m_activities.back());
}

void Connection::crash(const std::string& line, int sig) {
    const std::string text = m_launch.module + ": " + line + "\n";
    writeAll(STDERR_FILENO, text.data(), text.size());
    stop(false);
    dieOf(sig);
}

void Connection::protocolError() {
    crash("the bridge broke the protocol" + activityText(), SIGABRT);
}

void Connection::fault(const Message& m) {
    Cursor c(m);
    const uint32_t code = c.u32();
    const uint64_t address = c.u64();
    const uint32_t access = c.u32();
    const uint64_t target = c.u64();
    const std::string where = c.text().value_or(hex(address));
    const Fault f = faultOf(code);
    std::string line = std::string(f.name) + " (exception " + hex(code) + ")";
    if (access != ZB_NO_ACCESS)
        line += std::string(access == 1   ? " writing"
                            : access == 8 ? " executing"
                                          : " reading") +
                " address " + hex(target);
    line += " at " + where + activityText();
    crash(line, f.signal);
}

void Connection::serveCall(const Message& m) {
    Cursor c(m);
    const uint32_t target = uint32_t(c.u64());
    const int type = int(c.u32());
    const uint32_t kind = c.u32();
    std::string text;
    void* data = nullptr;
    switch (kind) {
    case ZB_DATA_NULL:
        break;
    case ZB_DATA_TEXT:
        text = c.text().value_or("");
        text.append(16, '\0'); // a host reading past a short text reads zeros
        data = text.data();
        break;
    case ZB_DATA_HANDED: {
        const uint64_t token = c.u64();
        data = m_foreign;
        if (m_replies.erase(token)) {
            m_released[m_releasedNext] = token;
            m_releasedNext = (m_releasedNext + 1) % std::size(m_released);
            data = reinterpret_cast<void*>(uintptr_t(token));
        } else if (token && std::find(std::begin(m_released), std::end(m_released), token) !=
                                std::end(m_released)) {
            data = reinterpret_cast<void*>(uintptr_t(token));
        }
        break;
    }
    case ZB_DATA_VALUE:
        data = reinterpret_cast<void*>(intptr_t(int64_t(c.u64())));
        break;
    case ZB_DATA_FOREIGN:
        data = m_foreign;
        break;
    default:
        protocolError();
    }
    if (c.bad())
        protocolError();
    const auto host = m_hosts.find(target);
    // A component calling a host that has gone (or a null host) reaches nothing.
    char* reply = host != m_hosts.end() ? host->second->callback(data, type) : nullptr;
    Writer w(ZB_RETURN);
    if (reply) {
        const size_t n = strnlen(reply, ZB_TEXT_LIMIT);
        m_replies.insert(uint64_t(reinterpret_cast<uintptr_t>(reply)));
        w.u64(uint64_t(reinterpret_cast<uintptr_t>(reply)));
        w.u32(n < ZB_TEXT_LIMIT ? ZB_TERMINATED : 0);
        w.text(reply, n);
    } else {
        w.u64(0);
        w.u32(0);
        w.u32(ZB_NO_TEXT);
    }
    send(w);
}

Reply Connection::call(Writer& w, const Activity& activity) {
    if (m_owner != getpid())
        crash("a component created before a fork was used in the forked process", SIGABRT);
    m_activities.push_back(&activity);
    send(w);
    for (;;) {
        Message m = receive(m_launch.answerSeconds);
        switch (m.kind) {
        case ZB_RETURN: {
            Cursor c(m);
            Reply r;
            r.value = c.u64();
            r.flags = c.u32();
            r.text = c.text();
            if (c.bad())
                protocolError();
            m_activities.pop_back();
            if (m_activities.empty())
                m_replies.clear();
            return r;
        }
        case ZB_CALL:
            serveCall(m);
            break;
        case ZB_DEBUG:
            debugText(m);
            break;
        case ZB_FAULT:
            fault(m);
        default:
            protocolError();
        }
    }
}

// ---- The stand-in for one bridged component ----------------------------------------------------

class Proxy final : public zeph_client_callback {
public:
    Proxy(Connection& c, uint64_t handle, uint32_t host) : m_c(c), m_handle(handle), m_host(host) {}
    ~Proxy() override;
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;
    char* callback(void* data, int type) override;

private:
    void putRelease(Writer& w, char* p, char*& releasing);

    Connection& m_c;
    uint64_t m_handle;
    uint32_t m_host;
    // This side's copy of each answer the component returned -> its own address. A copy the
    // bench hands back with type 5 goes back as that address; again for a repeated release.
    std::unordered_map<char*, uint64_t> m_answers;
    std::unordered_map<uintptr_t, uint64_t> m_released;
};

Proxy::~Proxy() {
    if (m_c.owner() == getpid()) {
        Writer w(ZB_DESTROY);
        w.u64(m_handle);
        m_c.call(w, Activity{"destruction"});
        m_c.removeHost(m_host);
    }
    // The component has freed its own answers; the copies go with them.
    for (auto& kept : m_answers)
        std::free(kept.first);
}

void Proxy::putRelease(Writer& w, char* p, char*& releasing) {
    if (!p) {
        w.u32(ZB_DATA_NULL);
        return;
    }
    if (auto it = m_answers.find(p); it != m_answers.end()) {
        w.u32(ZB_DATA_HANDED);
        w.u64(it->second);
        m_released[reinterpret_cast<uintptr_t>(p)] = it->second;
        m_answers.erase(it);
        releasing = p;
        return;
    }
    if (auto it = m_released.find(reinterpret_cast<uintptr_t>(p)); it != m_released.end()) {
        w.u32(ZB_DATA_HANDED);
        w.u64(it->second);
        return;
    }
    w.u32(ZB_DATA_FOREIGN);
}

char* Proxy::callback(void* data, int type) {
    Writer w(ZB_CALL);
    w.u64(m_handle);
    w.u32(uint32_t(type));
    char* releasing = nullptr;
    switch (type) {
    case ZEPH_REVERTIVE:
    case ZEPH_DATABASE:
        if (!data) {
            w.u32(ZB_DATA_NULL);
        } else {
            w.u32(ZB_DATA_RECORD);
            for (int i = 0; i < 4; ++i) {
                int32_t word;
                std::memcpy(&word, static_cast<const char*>(data) + ptrdiff_t(4) * i, 4);
                w.u32(uint32_t(word));
            }
            w.text(static_cast<const char*>(data) + 16);
        }
        break;
    case ZEPH_BUTTON:
        if (!data) {
            w.u32(ZB_DATA_NULL);
        } else {
            const auto* b = static_cast<const zeph_button_record*>(data);
            w.u32(ZB_DATA_BUTTON);
            w.u32(uint32_t(b->unused0));
            w.u32(uint32_t(b->unused1));
            w.text(b->panel);
            w.text(b->control);
            w.u32(b->event ? 1 : 0);
            if (const zeph_parent_event* e = b->event) {
                // The host's record holds only the texts; the counts the component's own parser
                // keeps beside them are what those texts say.
                uint32_t subs = 0;
                for (int i = 0; i < ZB_EVENT_SUBS; ++i)
                    subs += e->sub[i] && *e->sub[i] ? 1 : 0;
                w.text(e->command);
                w.text(e->value);
                w.u32(subs);
                w.u32(e->value && *e->value ? 1 : 0);
                for (int i = 0; i < ZB_EVENT_SUBS; ++i)
                    w.text(e->sub[i]);
            }
        }
        break;
    case ZEPH_TIMER:
        w.u32(ZB_DATA_VALUE);
        w.u64(uint64_t(int64_t(reinterpret_cast<intptr_t>(data))));
        break;
    case ZEPH_RELEASE:
        putRelease(w, static_cast<char*>(data), releasing);
        break;
    default:
        if (!data) {
            w.u32(ZB_DATA_NULL);
        } else {
            w.u32(ZB_DATA_TEXT);
            w.text(static_cast<const char*>(data));
        }
        break;
    }
    const Reply r = m_c.call(w, Activity{"notification", type, data});
    std::free(releasing);
    if (!r.text)
        return nullptr;
    // A text the component did not end within the limit stays unended for as far as the bench
    // looks; the NUL past it only keeps a careless reader in bounds.
    const std::string& t = *r.text;
    char* copy = static_cast<char*>(std::malloc(t.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, t.data(), t.size());
    copy[t.size()] = '\0';
    m_released.erase(reinterpret_cast<uintptr_t>(copy));
    m_answers[copy] = r.value;
    return copy;
}

// ---- Modules: one factory function per open bridged module -------------------------------------

struct Slot {
    bool used = false;
    Launch launch;
    std::unique_ptr<Connection> connection; // of the process that started it
};
constexpr int kSlots = 4;
Slot g_slots[kSlots];

// This process's bridge for the slot, started on first use after a fork.
Connection& connectionFor(int slot) {
    Slot& s = g_slots[slot];
    if (s.connection && s.connection->owner() == getpid())
        return *s.connection;
    if (s.connection)
        s.connection->abandon();
    std::string error;
    s.connection = Connection::start(s.launch, error);
    if (!s.connection) {
        const std::string line = error + "\n";
        writeAll(STDERR_FILENO, line.data(), line.size());
        dieOf(SIGABRT);
    }
    return *s.connection;
}

zeph_client_callback* createIn(int slot, zeph_client_callback* host, const char* path) {
    Connection& c = connectionFor(slot);
    const uint32_t id = host ? c.addHost(host) : 0;
    Writer w(ZB_CREATE);
    w.u32(id);
    w.text(path);
    const Reply r = c.call(w, Activity{"creation", 0, path});
    if (!r.value) {
        c.removeHost(id);
        return nullptr;
    }
    return new Proxy(c, r.value, id);
}

template <int N> zeph_client_callback* slotFactory(zeph_client_callback* host, const char* path) {
    return createIn(N, host, path);
}
const zeph_factory_fn kFactories[kSlots] = {slotFactory<0>, slotFactory<1>, slotFactory<2>,
                                            slotFactory<3>};

int slotOf(zeph_factory_fn factory) {
    for (int i = 0; i < kSlots; ++i)
        if (g_slots[i].used && kFactories[i] == factory)
            return i;
    return -1;
}

// ---- Finding the bridge ------------------------------------------------------------------------

std::string executableDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.rfind('/'));
}

bool isFile(const std::string& p, bool executable) {
    struct stat st;
    return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           (!executable || access(p.c_str(), X_OK) == 0);
}

std::string firstFile(std::initializer_list<std::string> candidates, bool executable) {
    for (const std::string& c : candidates)
        if (isFile(c, executable))
            return c;
    return "";
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

#if !defined(ZEPH_BRIDGE_BUILT)
#define ZEPH_BRIDGE_BUILT ""
#endif
#if !defined(ZEPH_WINE_RUN_SOURCE)
#define ZEPH_WINE_RUN_SOURCE ""
#endif
#if !defined(ZEPH_WINE_PREFIX_BUILT)
#define ZEPH_WINE_PREFIX_BUILT ""
#endif

std::string winePrefix() {
    if (std::string p = env("ZEPH_WINE_PREFIX"); !p.empty())
        return p;
    // The build tree's own prefix while the build tree is there; else one per user.
    const std::string built = ZEPH_WINE_PREFIX_BUILT;
    const std::string parent = built.substr(0, built.rfind('/'));
    if (!built.empty() && access(parent.c_str(), W_OK) == 0)
        return built;
    if (std::string cache = env("XDG_CACHE_HOME"); !cache.empty())
        return cache + "/zeph/wine-prefix";
    return env("HOME") + "/.cache/zeph/wine-prefix";
}

double seconds(const char* name, double fallback) {
    const std::string v = env(name);
    char* end = nullptr;
    const double d = v.empty() ? 0 : std::strtod(v.c_str(), &end);
    return d > 0 && end && !*end ? d : fallback;
}

} // namespace

bool wineLaunch(const std::string& dllPath, Launch& launch, std::string& error) {
    const std::string dir = executableDir();
    const std::string bridge =
        firstFile({env("ZEPH_BRIDGE_EXE"), dir + "/zeph-bridge.exe", ZEPH_BRIDGE_BUILT}, false);
    if (bridge.empty()) {
        error = "cannot load " + dllPath +
                ": the bridge that runs Windows DLLs (zeph-bridge.exe) is not built here; building "
                "it needs i686-w64-mingw32-gcc";
        return false;
    }
    const std::string wineRun =
        firstFile({env("ZEPH_WINE_RUN"), dir + "/zeph-wine-run", ZEPH_WINE_RUN_SOURCE}, true);
    if (wineRun.empty()) {
        error = "cannot load " + dllPath + ": tools/wine-run (zeph-wine-run) is not found";
        return false;
    }
    char* real = realpath(dllPath.c_str(), nullptr);
    if (!real) {
        error = "cannot load " + dllPath + ": " + std::strerror(errno);
        return false;
    }
    // Wine's drive Z: is the root of the file system.
    std::string windowsPath = std::string("Z:") + real;
    std::free(real);
    for (char& ch : windowsPath)
        if (ch == '/')
            ch = '\\';
    launch.argv = {wineRun, "--prefix", winePrefix(), bridge, windowsPath};
    launch.module = dllPath;
    launch.answerSeconds = seconds("ZEPH_BRIDGE_TIMEOUT", 10);
    launch.startSeconds = std::max(60.0, launch.answerSeconds);
    return true;
}

BridgedModule::~BridgedModule() {
    if (m_slot < 0)
        return;
    Slot& s = g_slots[m_slot];
    s.connection.reset();
    s.used = false;
}

bool BridgedModule::open(const Launch& launch, std::string& error) {
    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; ++i)
        if (!g_slots[i].used)
            slot = i;
    if (slot < 0) {
        error = "cannot load " + launch.module + ": " + std::to_string(kSlots) +
                " bridged modules are open already";
        return false;
    }
    auto connection = Connection::start(launch, error);
    if (!connection)
        return false;
    Slot& s = g_slots[slot];
    s.used = true;
    s.launch = launch;
    s.connection = std::move(connection);
    m_slot = slot;
    return true;
}

zeph_factory_fn BridgedModule::factory() const {
    return m_slot >= 0 ? kFactories[m_slot] : nullptr;
}

bool isBridgedFactory(zeph_factory_fn factory) {
    return slotOf(factory) >= 0;
}

std::optional<size_t> bridgedHeapInUse(zeph_factory_fn factory) {
    const int slot = slotOf(factory);
    if (slot < 0)
        return std::nullopt;
    Writer w(ZB_HEAP);
    const Reply r = connectionFor(slot).call(w, Activity{"heap measurement"});
    if (!(r.flags & ZB_MEASURED))
        return std::nullopt;
    return size_t(r.value);
}

} // namespace zeph::host::bridge
