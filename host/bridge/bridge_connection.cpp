// The bench's end of the pipe: the first message, the call loop and the replies' ledger.
#include "bridge/bridge_connection.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iterator>

#include <sys/wait.h>
#include <unistd.h>

namespace zeph::host::bridge {

// One frame read, and its message, whose texts point into the frame's body.
struct Connection::Frame {
    zb_frame frame{};
    zb_message message{};
    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() { zb_frame_free(&frame); }
};

namespace {

std::string textOf(const zb_text& t, std::string fallback = "") {
    return t.data ? std::string(t.data, t.size) : fallback;
}

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

struct ReadContext {
    Transport* process;
    Clock::time_point deadline;
    bool timedOut = false;
};

int readProcess(void* context, void* buffer, size_t size) {
    auto* r = static_cast<ReadContext*>(context);
    const int got = r->process->read(buffer, size, r->deadline);
    if (got == Transport::TimedOut) {
        r->timedOut = true;
        return -1;
    }
    return got;
}

} // namespace

Connection::Connection(const Launch& launch) : m_launch(launch), m_in(new zb_input) {
    zb_input_init(m_in.get(), readProcess, nullptr);
    zb_writer_init(&m_out);
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
    return c->awaitHello(error) ? std::move(c) : nullptr;
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
        read = readFrame(hello, deadline);
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
    if (m_owner != getpid())
        abandon();
    else
        m_pipe->stop(true);
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

uint32_t Connection::addHost(zeph_client_callback* host) {
    while (m_nextHost == 0 || m_hosts.count(m_nextHost))
        ++m_nextHost;
    m_hosts[m_nextHost] = host;
    return m_nextHost++;
}

void Connection::send(const zb_message& message) {
    if (zb_encode(&m_out, &message) != 0)
        crash("a message for the bridge could not be built" + activityText(), SIGABRT);
    if (m_pipe->write(m_out.data, m_out.size))
        return;
    // A bridge that has gone may have said why (a fault) before it went.
    for (;;) {
        Frame f;
        receive(f, m_launch.answerSeconds);
        if (f.message.kind == ZB_FAULT)
            fault(f.message.u.fault);
    }
}

Connection::Read Connection::readFrame(Frame& f, Clock::time_point deadline) {
    ReadContext context{m_pipe.get(), deadline};
    m_in->context = &context;
    const zb_read_result got = zb_read_frame(m_in.get(), &f.frame);
    m_in->context = nullptr;
    switch (got) {
    case ZB_READ_FRAME:
        return zb_decode(f.frame.kind, f.frame.body, f.frame.size, &f.message) == 0 ? Read::Ok
                                                                                    : Read::Garbled;
    case ZB_READ_END:
    case ZB_READ_CUT:
        return Read::Ended;
    case ZB_READ_FAILED:
        return context.timedOut ? Read::TimedOut : Read::Garbled;
    default:
        return Read::Garbled;
    }
}

void Connection::receive(Frame& f, double seconds) {
    const Read read = readFrame(f, after(seconds));
    if (read == Read::Ok)
        return;
    if (read == Read::Garbled)
        protocolError();
    if (read == Read::TimedOut)
        crash("the bridge did not answer within " + std::to_string(int(seconds)) + " s" +
                  activityText(),
              SIGABRT);
    ended();
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
    const Read read = readFrame(next, after(m_launch.answerSeconds));
    if (read != Read::Ok || next.message.kind != ZB_RETURN ||
        !(next.message.u.ret.flags & ZB_FAULTED))
        fault(f);
    return faultText(f.code, f.access, f.target, textOf(f.where, hex(f.address))).line +
           activityText();
}

// What a host is given for a reply of its own coming back: the reply itself the first time and
// again for a repeated release (so that the host sees the repeat), a foreign pointer otherwise.
void* Connection::releasedData(uint64_t token) {
    if (m_replies.erase(token)) {
        m_released[m_releasedNext] = token;
        m_releasedNext = (m_releasedNext + 1) % std::size(m_released);
        return reinterpret_cast<void*>(uintptr_t(token));
    }
    if (token &&
        std::find(std::begin(m_released), std::end(m_released), token) != std::end(m_released))
        return reinterpret_cast<void*>(uintptr_t(token));
    return m_foreign;
}

void Connection::serveCall(const zb_call& call) {
    std::string text;
    void* data = nullptr;
    switch (call.data.kind) {
    case ZB_DATA_NULL:
        break;
    case ZB_DATA_TEXT:
        text = textOf(call.data.text);
        text.append(16, '\0'); // a host reading past a short text reads zeros
        data = text.data();
        break;
    case ZB_DATA_HANDED:
        data = releasedData(call.data.value);
        break;
    case ZB_DATA_FOREIGN:
        data = m_foreign;
        break;
    default: // a host is given texts, its own replies or nothing: any other pointer is garbage
        protocolError();
    }
    const auto host = m_hosts.find(uint32_t(call.target));
    // A component calling a host that has gone (or a null host) reaches nothing.
    char* reply = host != m_hosts.end() ? host->second->callback(data, call.type) : nullptr;
    zb_message r{};
    r.kind = ZB_RETURN;
    if (reply) {
        r.u.ret.text = zb_text_of(reply);
        r.u.ret.value = uint64_t(reinterpret_cast<uintptr_t>(reply));
        r.u.ret.flags = r.u.ret.text.size < ZB_TEXT_LIMIT ? ZB_TERMINATED : 0;
        m_replies.insert(r.u.ret.value);
    }
    send(r);
}

Reply Connection::call(const zb_message& message, const Activity& activity) {
    if (m_owner != getpid())
        crash("a component created before a fork was used in the forked process", SIGABRT);
    m_activities.push_back(&activity);
    send(message);
    for (;;) {
        Frame f;
        receive(f, m_launch.answerSeconds);
        const zb_message& m = f.message;
        switch (m.kind) {
        case ZB_RETURN: {
            Reply r;
            r.value = m.u.ret.value;
            r.flags = m.u.ret.flags;
            if (m.u.ret.text.data)
                r.text = textOf(m.u.ret.text);
            m_activities.pop_back();
            if (m_activities.empty())
                m_replies.clear();
            return r;
        }
        case ZB_CALL:
            serveCall(m.u.call);
            break;
        case ZB_DEBUG:
            debugText(m.u.debug);
            break;
        case ZB_FAULT:
            if (activity.survivable) {
                Reply r;
                r.fault = survived(m.u.fault);
                m_activities.pop_back();
                if (m_activities.empty())
                    m_replies.clear();
                return r;
            }
            fault(m.u.fault);
        default:
            protocolError();
        }
    }
}

} // namespace zeph::host::bridge
