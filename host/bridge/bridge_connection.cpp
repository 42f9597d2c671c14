// The bench's end of the pipe: starting the bridge, its first message, the one-way set, and how a
// failure is told. The rest of Connection: the call loop and the replies' ledger (_calls), the
// calls sent ahead (_ahead), the ring and the pipes (_wire).
#include "bridge/bridge_connection_internal.h"

#include "zeph_commands.h"

#include <algorithm>
#include <csignal>
#include <cstring>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::host::bridge {

using detail::g_inlineAnswers;
using detail::oneWaySetOf;
using detail::textOf;

namespace {

// Why a DLL did not load, by the HELLO status the bridge gave; empty when it did.
std::string loadError(const std::string& module, uint32_t status, uint32_t error,
                      const std::string& what) {
    const std::string prefix = "cannot load " + module + ": ";
    if (status == ZB_NO_FACTORY)
        return module + " exports no " ZEPH_FACTORY_NAME;
    if (status == ZB_LOAD_FAILED)
        return prefix + "the bridge could not load it: " + what + " (error " +
               std::to_string(error) + ")";
    if (status != ZB_READY)
        return prefix + what;
    return "";
}

pid_t g_pid = 0;

void forked() {
    g_pid = getpid();
}

} // namespace

pid_t detail::selfPid() {
    if (!g_pid) {
        pthread_atfork(nullptr, nullptr, forked);
        g_pid = getpid();
    }
    return g_pid;
}

bool detail::g_inlineAnswers = false;

uint32_t detail::oneWaySetOf(bool routes) {
    uint32_t set = ZB_ONE_WAY_RELEASE;
    for (size_t i = 0; i < ZEPH_COMMAND_COUNT; ++i) {
        const zeph_command_info& c = zeph_commands[i];
        const bool callsBack = !std::strcmp(c.mnemonic, "RC") || !std::strcmp(c.mnemonic, "RP");
        if (!c.answered && (routes || !callsBack))
            set |= 1u << i;
    }
    return set;
}

uint32_t Connection::oneWaySet() {
    static const uint32_t withRoutes = oneWaySetOf(true), withoutRoutes = oneWaySetOf(false);
    return g_inlineAnswers ? withoutRoutes : withRoutes;
}

void Connection::expectInlineAnswers() {
    g_inlineAnswers = true;
}

// Through the ring only, where the set the bridge holds is written down for every process the
// bridge is lent to: over the pipes the bridge keeps SHARE's set, RC and RP waiting.
void Connection::updateOneWay() {
    const uint32_t set = oneWaySet();
    if (!m_shared || m_link.header->one_way == set)
        return;
    zb_message m{};
    m.kind = ZB_ONE_WAY;
    m.u.one_way = set;
    send(m);
    m_link.header->one_way = set;
}

std::unique_ptr<Connection> Connection::start(const Launch& launch, std::string& error) {
    if (launch.argv.empty()) {
        error = "cannot load " + launch.module + ": no bridge to start";
        return nullptr;
    }
    std::unique_ptr<Connection> c(new Connection(launch));
    auto process = std::make_unique<Process>();
    std::string why;
    const bool started = process->start(launch.argv, why);
    c->m_pipe = std::move(process);
    if (!started) {
        error = "cannot load " + launch.module + ": " + why;
        return nullptr;
    }
    c->m_owner = getpid();
    if (!c->awaitHello(error))
        return nullptr;
    if (c->share())
        return c;
    // The bridge reads a region this end cannot see it write: once more, without one.
    Launch pipes = launch;
    pipes.share = false;
    c.reset();
    return start(pipes, error);
}

std::unique_ptr<Connection> Connection::over(std::unique_ptr<Transport> pipe, const Launch& launch,
                                             Failure failure) {
    std::unique_ptr<Connection> c(new Connection(launch));
    c->m_pipe = std::move(pipe);
    c->m_failure = std::move(failure);
    c->m_owner = getpid();
    return c;
}

// The first message says whether the DLL loaded; what DllMain writes to the debugger output may
// come before it.
bool Connection::awaitHello(std::string& error) {
    const std::string prefix = "cannot load " + m_launch.module + ": ";
    const std::string otherProtocol =
        prefix + "the bridge (" + m_launch.argv.front() + ") speaks another protocol";
    const auto deadline = after(m_launch.startSeconds);
    Read read;
    for (;;) {
        Frame hello;
        read = readFrame(hello, Due(deadline));
        if (read == Read::Ok && hello.message.kind == ZB_DEBUG) {
            debugText(hello.message.u.debug);
            continue;
        }
        if (read != Read::Ok)
            break;
        const zb_hello& h = hello.message.u.hello;
        if (hello.message.kind != ZB_HELLO || h.magic != ZB_MAGIC || h.version != ZB_VERSION) {
            error = otherProtocol;
            m_pipe->stop(false);
            return false;
        }
        error = loadError(m_launch.module, h.status, h.error, textOf(h.what));
        return h.status == ZB_READY;
    }
    if (read == Read::Garbled)
        error = otherProtocol;
    else if (read == Read::TimedOut)
        error = prefix + "the bridge did not start within " +
                std::to_string(int(m_launch.startSeconds)) + " s";
    else
        error = prefix + endedBeforeStart();
    if (read != Read::Ended)
        m_pipe->stop(false);
    return false;
}

std::string Connection::endedBeforeStart() {
    m_pipe->closeInput();
    int status = 0;
    if (!m_pipe->wait(10, &status))
        return "the bridge stopped before it started";
    const std::string tail = m_pipe->stderrTail();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return "Wine cannot run here" + (tail.empty() ? "" : " (" + tail + ")");
    return "the bridge ended before it started (" +
           (WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                              : "signal " + std::to_string(WTERMSIG(status))) +
           ")" + (tail.empty() ? "" : ": " + tail);
}

Connection::~Connection() {
    if (m_owner != getpid()) {
        abandon();
    } else {
        if (m_shared) { // a bridge dozing on the region goes to its pipe, and finds it closed
            __atomic_store_n(&m_link.header->closing, 1u, __ATOMIC_RELEASE);
            zb_link_wake_peer(&m_link, ZB_WAIT_DATA);
        }
        m_pipe->stop(true);
    }
    if (m_region)
        munmap(m_region, ZB_REGION_SIZE);
    zb_writer_free(&m_out);
}

void Connection::abandon() {
    m_pipe->abandon();
    m_owner = 0;
}

std::optional<uint32_t> Connection::load(const Launch& launch, std::string& error) {
    zb_message m{};
    m.kind = ZB_LOAD;
    m.u.load.path = zb_text_of(launch.argv.back().c_str());
    const Activity loading{"loading", 0, nullptr, &launch.module};
    const Reply r = call(m, loading);
    error = loadError(launch.module, r.flags, uint32_t(r.value), r.text.value_or(""));
    if (r.flags != ZB_READY)
        return std::nullopt;
    return uint32_t(r.value);
}

bool Connection::takeBack() {
    int status = 0;
    const bool clean = m_shared && m_link.header->bench_calls == 0 &&
                       zb_link_readable(&m_link) == 0 && zb_link_room(&m_link) == ZB_RING_SIZE &&
                       !m_pipe->wait(0, &status);
    if (!clean)
        m_pipe->stop(false);
    return clean;
}

uint32_t Connection::addHost(zeph_client_callback* host) {
    // Numbered in the region when there is one, so that the children it is lent to in turn never
    // number a host as another's left in the bridge.
    if (m_shared)
        m_nextHost = std::max(m_nextHost, m_link.header->next_host);
    while (m_nextHost == 0 || m_hosts.count(m_nextHost))
        ++m_nextHost;
    if (m_shared)
        m_link.header->next_host = m_nextHost + 1;
    m_hosts[m_nextHost] = host;
    return m_nextHost++;
}

void Connection::ended() {
    int status = 0;
    std::string how = "the bridge ended";
    if (m_pipe->wait(10, &status)) {
        if (WIFEXITED(status))
            how += " with exit code " + std::to_string(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            how += " by signal " + std::to_string(WTERMSIG(status));
    }
    const std::string tail = m_pipe->stderrTail();
    crash(how + activityText() + (tail.empty() ? "" : " (" + tail + ")"), SIGABRT);
}

void Connection::debugText(const zb_debug& debug) {
    // Where a shared object's diagnostics go, so --capture-stderr shows them in place.
    std::string t = textOf(debug.text);
    if (t.empty() || t.back() != '\n')
        t += '\n';
    writeAll(STDERR_FILENO, t.data(), t.size());
}

std::string Connection::activityText() const {
    return m_activities.empty() ? std::string() : " during " + describe(*m_activities.back());
}

// A component's call to its host may reach another component, of another DLL: the innermost
// call that names its component is the one that failed.
const std::string& Connection::whose() const {
    for (auto a = m_activities.rbegin(); a != m_activities.rend(); ++a)
        if ((*a)->who)
            return *(*a)->who;
    return m_launch.module;
}

void Connection::crash(const std::string& line, int sig) {
    if (m_failure)
        m_failure(whose() + ": " + line, sig);
    const std::string text = whose() + ": " + line + "\n";
    writeAll(STDERR_FILENO, text.data(), text.size());
    m_pipe->stop(false);
    dieOf(sig);
}

void Connection::protocolError() {
    crash("the bridge broke the protocol" + activityText(), SIGABRT);
}

void Connection::fault(const zb_fault& f) {
    const FaultText t = faultText(f.code, f.access, f.target, textOf(f.where, hex(f.address)));
    crash(t.line + activityText(), t.signal);
}

// A bridge that survived the fault says so at once with the RETURN of the abandoned call; one
// that did not ends.
std::string Connection::survived(const zb_fault& f) {
    Frame next;
    const Read read = readFrame(next, Due(m_launch.answerSeconds));
    if (read != Read::Ok || next.message.kind != ZB_RETURN ||
        !(next.message.u.ret.flags & ZB_FAULTED))
        fault(f);
    return faultText(f.code, f.access, f.target, textOf(f.where, hex(f.address))).line +
           activityText();
}

} // namespace zeph::host::bridge
