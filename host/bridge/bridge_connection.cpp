// The bench's end of the pipe: the first message, the call loop and the replies' ledger.
#include "bridge/bridge_connection.h"

#include "zeph_commands.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
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

// A region laid out for the bridge in a file of /dev/shm (or ZEPH_BRIDGE_REGION_DIR): the view
// and the file's path, or null and why. The file lives only until the bridge has mapped it too
// (or failed to): share() removes it.
void* createRegion(std::string& path, std::string& why) {
    const char* dir = std::getenv("ZEPH_BRIDGE_REGION_DIR");
    dir = dir && *dir ? dir : "/dev/shm";
    std::string name = std::string(dir) + "/zeph-bridge-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        why = "no file for it in " + std::string(dir) + ": " + std::strerror(errno);
        return nullptr;
    }
    path = name;
    void* view = MAP_FAILED;
    if (ftruncate(fd, off_t(ZB_REGION_SIZE)) == 0)
        view = mmap(nullptr, ZB_REGION_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        why = std::string("cannot map it: ") + std::strerror(errno);
    close(fd);
    if (view == MAP_FAILED) {
        unlink(name.c_str());
        path.clear();
        return nullptr;
    }
    zb_region_init(view);
    return view;
}

// Said once per process: every bridge of it would say the same.
void pipesOnly(const std::string& module, const std::string& why) {
    static bool said = false;
    if (said)
        return;
    said = true;
    const std::string line = module + ": the bridge cannot share memory with the bench (" + why +
                             "); its calls go over pipes, slower\n";
    writeAll(STDERR_FILENO, line.data(), line.size());
}

} // namespace

// A read of the ring inside a frame: what stopped it, when it did not come to the frame's end.
struct Connection::RingRead {
    Connection* c;
    Due* due;
    Read failed = Read::Ok;
};

Connection::Connection(const Launch& launch)
    : m_launch(launch), m_in(new zb_input), m_ringIn(new zb_input) {
    zb_input_init(m_in.get(), readProcess, nullptr);
    zb_input_init(m_ringIn.get(), readRing, nullptr);
    zb_writer_init(&m_out);
}

namespace {

// This process's id, asked for once and again after each fork: a call asks on every call.
pid_t g_pid = 0;

void forked() {
    g_pid = getpid();
}

pid_t selfPid() {
    if (!g_pid) {
        pthread_atfork(nullptr, nullptr, forked);
        g_pid = getpid();
    }
    return g_pid;
}

// Set for good once anything of this process may answer RC or RP inline; a process forked after
// keeps it.
bool g_inlineAnswers = false;

// The one-way set with RC and RP in it (routes) or not: they may bring revertives back inline,
// inside the call, before it returns.
uint32_t oneWaySetOf(bool routes) {
    uint32_t set = ZB_ONE_WAY_RELEASE;
    for (size_t i = 0; i < ZEPH_COMMAND_COUNT; ++i) {
        const zeph_command_info& c = zeph_commands[i];
        const bool callsBack = !std::strcmp(c.mnemonic, "RC") || !std::strcmp(c.mnemonic, "RP");
        if (!c.answered && (routes || !callsBack))
            set |= 1u << i;
    }
    return set;
}

} // namespace

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

bool Connection::share() {
    std::string path, why = "turned off";
    void* region = m_launch.share ? createRegion(path, why) : nullptr;
    zb_message m{};
    m.kind = ZB_SHARE;
    m.u.share.path = zb_text_of(region ? path.c_str() : nullptr);
    m.u.share.size = uint32_t(ZB_REGION_SIZE);
    m.u.share.one_way = oneWaySetOf(false);
    const Reply r = call(m, Activity{"the set-up of shared memory"});
    if (!path.empty())
        unlink(path.c_str()); // both ends have it mapped, or never will: no file is left
    const bool taken = (r.flags & ZB_SHARED) != 0;
    if (region && taken &&
        __atomic_load_n(&static_cast<zb_region_header*>(region)->answer, __ATOMIC_ACQUIRE) ==
            ZB_REGION_ANSWER &&
        zb_link_init(&m_link, region, ZB_BENCH) == 0) {
        zb_link_offer_doze(&m_link);
        m_link.header->one_way = oneWaySetOf(false);
        m_region = region;
        m_shared = true;
        return true;
    }
    if (region)
        munmap(region, ZB_REGION_SIZE);
    if (taken) {
        pipesOnly(m_launch.module, "the bridge's view of it is not this end's");
        m_pipe->stop(false);
        return false;
    }
    if (m_launch.share)
        pipesOnly(m_launch.module, region ? r.text.value_or("the bridge did not say why") : why);
    return true;
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

void Connection::send(const zb_message& message) {
    if (zb_encode(&m_out, &message) != 0)
        crash("a message for the bridge could not be built" + activityText(), SIGABRT);
    if (m_shared)
        writeRing(m_out.data, m_out.size);
    else if (!m_pipe->write(m_out.data, m_out.size))
        gone();
}

// A bridge that has gone may have said why (a fault) before it went.
void Connection::gone() {
    for (;;) {
        Frame f;
        receive(f, m_launch.answerSeconds);
        if (f.message.kind == ZB_FAULT)
            fault(f.message.u.fault);
    }
}

void Connection::sendWake() {
    unsigned char buffer[16];
    zb_writer w;
    zb_writer_fixed(&w, buffer, sizeof buffer);
    if (zb_encode_wake(&w) != 0 || !m_pipe->write(w.data, w.size))
        gone();
}

// A frame through the ring, in as many pieces as its room allows.
void Connection::writeRing(const unsigned char* data, size_t size) {
    while (size) {
        const long n = zb_link_write(&m_link, data, size);
        if (n < 0)
            protocolError();
        data += n;
        size -= size_t(n);
        if (n > 0 && zb_link_wake_peer(&m_link, ZB_WAIT_DATA))
            sendWake();
        if (!size)
            return;
        Frame f;
        switch (awaitRing(1, after(m_launch.answerSeconds), f)) {
        case Wait::Look:
            break;
        case Wait::PipeFrame:
            if (f.message.kind == ZB_FAULT)
                fault(f.message.u.fault);
            protocolError();
        case Wait::Ended:
            ended();
        case Wait::TimedOut:
            crash("the bridge did not answer within " +
                      std::to_string(int(m_launch.answerSeconds)) + " s" + activityText(),
                  SIGABRT);
        case Wait::Garbled:
            protocolError();
        }
    }
}

// Spinning covers the bridge's turn around a call without a system call on either side; a longer
// wait dozes on the region (looking at the pipe between dozes: a fault, or the bridge's end, comes
// there) or, where the bridge cannot doze, sleeps on the pipe, whose WAKE comes through Wine as any
// write does.
Connection::Wait Connection::awaitRing(size_t wantRoom, Clock::time_point deadline, Frame& f) {
    if (zb_link_spin(&m_link, wantRoom))
        return Wait::Look;
    for (;;) {
        const int dozed = zb_link_doze(&m_link, wantRoom, 50);
        if (dozed < 0)
            break;
        const long ready = wantRoom ? zb_link_room(&m_link) : zb_link_readable(&m_link);
        if (ready < 0 || (wantRoom ? size_t(ready) >= wantRoom : ready > 0))
            return Wait::Look;
        if (m_in->pos < m_in->len || m_pipe->readable())
            return awaitPipe(deadline, f);
        if (Clock::now() >= deadline)
            return Wait::TimedOut;
    }
    if (!zb_link_sleep(&m_link, wantRoom))
        return Wait::Look;
    const Wait w = awaitPipe(deadline, f);
    zb_link_awake(&m_link);
    return w;
}

Connection::Wait Connection::awaitPipe(Clock::time_point deadline, Frame& f) {
    switch (readPipe(f, deadline)) {
    case Read::Ok:
        if (f.message.kind != ZB_WAKE)
            return Wait::PipeFrame;
        zb_frame_free(&f.frame);
        return Wait::Look;
    case Read::Ended:
        return Wait::Ended;
    case Read::TimedOut:
        return Wait::TimedOut;
    default:
        return Wait::Garbled;
    }
}

int Connection::readRing(void* context, void* buffer, size_t size) {
    auto* r = static_cast<RingRead*>(context);
    Connection& c = *r->c;
    for (;;) {
        const long n = zb_link_read(&c.m_link, buffer, std::min<size_t>(size, 65536));
        if (n < 0) {
            r->failed = Read::Garbled;
            return -1;
        }
        if (n > 0) {
            if (zb_link_wake_peer(&c.m_link, ZB_WAIT_ROOM))
                c.sendWake();
            return int(n);
        }
        Frame f;
        switch (c.awaitRing(0, (*r->due)(), f)) {
        case Wait::Look:
            continue;
        case Wait::Ended:
            r->failed = Read::Ended;
            return 0;
        case Wait::TimedOut:
            r->failed = Read::TimedOut;
            return -1;
        default: // a frame on the pipe inside one of the ring's
            r->failed = Read::Garbled;
            return -1;
        }
    }
}

// The ring first: a frame on the pipe was written after whatever the ring held then, and the
// bridge writes nothing to the ring after it until this end has answered.
Connection::Read Connection::readFrame(Frame& f, Due due) {
    while (m_shared) {
        if (m_ringIn->pos < m_ringIn->len || zb_link_readable(&m_link) != 0) {
            RingRead r{this, &due};
            m_ringIn->context = &r;
            const zb_read_result got = zb_read_frame(m_ringIn.get(), &f.frame);
            m_ringIn->context = nullptr;
            if (r.failed != Read::Ok)
                return r.failed;
            if (got != ZB_READ_FRAME)
                return got == ZB_READ_END || got == ZB_READ_CUT ? Read::Ended : Read::Garbled;
            return zb_decode(f.frame.kind, f.frame.body, f.frame.size, &f.message) == 0
                       ? Read::Ok
                       : Read::Garbled;
        }
        switch (awaitRing(0, due(), f)) {
        case Wait::Look:
            break;
        case Wait::PipeFrame:
            return Read::Ok;
        case Wait::Ended:
            return Read::Ended;
        case Wait::TimedOut:
            return Read::TimedOut;
        case Wait::Garbled:
            return Read::Garbled;
        }
    }
    return readPipe(f, due());
}

Connection::Read Connection::readPipe(Frame& f, Clock::time_point deadline) {
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
    const Read read = readFrame(f, Due(seconds));
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
    const Read read = readFrame(next, Due(m_launch.answerSeconds));
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

void Connection::serveCall(const zb_call& call, bool answered) {
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
    m_posting += answered ? 0 : 1;
    char* reply = host != m_hosts.end() ? host->second->callback(data, call.type) : nullptr;
    m_posting -= answered ? 0 : 1;
    if (!answered)
        return; // the component was given null: its host answers this call with nothing
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

// Switching stacks: the callee-saved registers pushed on the stack left, its pointer kept in
// *from, the other's loaded. No system call (swapcontext's costs one for the signal mask at every
// switch, more than a notification's own work in the bench). x86-64 only; elsewhere nothing goes
// ahead.
#if defined(__x86_64__) && defined(__linux__)
constexpr bool kFibers = true;
extern "C" void zeph_switch_stack(void** from, void* to);
asm(R"(
    .text
    .globl zeph_switch_stack
    .type zeph_switch_stack, @function
zeph_switch_stack:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size zeph_switch_stack, .-zeph_switch_stack
)");
#else
constexpr bool kFibers = false;
void zeph_switch_stack(void**, void*) {}
#endif

// The jobs of an overlap(), dealt to a few fibers, each on a stack of its own.
struct Connection::Overlap {
    struct Fiber {
        void* sp = nullptr;    // its stack pointer while it is not running
        size_t job = SIZE_MAX; // the job it runs
        bool idle = true;      // waiting for a job it may start
    };
    const std::function<void(size_t)>* job = nullptr;
    const std::function<void(size_t)>* onTurn = nullptr;
    size_t count = 0, apart = 0, next = 0;
    std::vector<char> ended; // by job
    void* main = nullptr;
    std::vector<Fiber> fibers;
    int current = -1; // the fiber running; -1: overlap() itself
    size_t told = SIZE_MAX;

    void tell(size_t i) {
        if (told != i && i != SIZE_MAX)
            (*onTurn)(told = i);
    }
    // Job next touches what job next - apart touched: it waits until that one has ended.
    bool canStart() const { return next < count && (next < apart || ended[next - apart]); }
    void resume(int i) {
        tell(fibers[size_t(i)].job);
        current = i;
        zeph_switch_stack(&main, fibers[size_t(i)].sp);
        current = -1;
    }
    // Fiber i on its stack, to take jobs from its first resume on.
    void prepare(size_t i, char* stack);
    // From a fiber: back to overlap(), until it resumes this one.
    void park() { zeph_switch_stack(&fibers[size_t(current)].sp, main); }
};

Reply Connection::call(const zb_message& message, const Activity& activity) {
    // A job of overlap() sends its notifications ahead; anything else waits for those sent.
    if (m_overlap && m_activities.empty() && m_overlap->current >= 0) {
        if (message.kind == ZB_CALL && !activity.survivable &&
            m_link.header->one_way == oneWaySet())
            return callAhead(message, activity);
        drainAhead();
    }
    if (m_owner != selfPid())
        crash("a component created before a fork was used in the forked process", SIGABRT);
    if (m_posting)
        crash("a host called a component back while it served a call that takes no answer" +
                  activityText(),
              SIGABRT);
    // Seen by the process that lent this bridge, should this one end inside the call.
    struct InCall {
        zb_region_header* h;
        explicit InCall(zb_region_header* header) : h(header) {
            if (h)
                ++h->bench_calls;
        }
        ~InCall() {
            if (h)
                --h->bench_calls;
        }
        InCall(const InCall&) = delete;
        InCall& operator=(const InCall&) = delete;
    } inCall(m_shared ? m_link.header : nullptr);
    m_activities.push_back(&activity);
    updateOneWay();
    send(message);
    return await(activity);
}

Reply Connection::await(const Activity& activity) {
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
        case ZB_POST:
            serveCall(m.u.call, false);
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

// ---- Calls sent ahead --------------------------------------------------------------------------

namespace {

// A fiber's stack: the bench's own code between two notifications, a facility's delivery and its
// host's command handling, never a component's.
constexpr size_t kStack = size_t(256) * 1024;
// Jobs under way at once: enough for the bridge to find the next notification waiting whenever
// it answers one.
constexpr size_t kWindow = 12;
// Room a notification sent ahead leaves in the ring: the bridge may always take the bench's next
// frame, so that the bench never waits to write while the bridge waits for it to read.
constexpr size_t kAheadReserve = size_t(32) * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Stacks kept for the next overlap(), each with a guard page below it: an overflow faults.
std::vector<char*> g_stacks;

char* stackFor(size_t i) {
    while (g_stacks.size() <= i) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, kStack + page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        mprotect(p, page, PROT_NONE);
        g_stacks.push_back(static_cast<char*>(p) + page);
    }
    return g_stacks[i];
}

} // namespace

namespace {
void* g_overlap = nullptr; // the Overlap running: makecontext passes no pointer
} // namespace

void Connection::Overlap::prepare(size_t i, char* stack) {
    // What zeph_switch_stack pops: six registers, then where it returns, the fiber's start, which
    // sees its stack as a called function does (its return address, never used, 16-byte
    // aligned above).
    auto* top = reinterpret_cast<void**>(stack + kStack);
    void** sp = top - 8;
    for (int r = 0; r < 6; ++r)
        sp[r] = nullptr;
    sp[6] = reinterpret_cast<void*>(+[] {
        Overlap& o = *static_cast<Overlap*>(g_overlap);
        Fiber& me = o.fibers[size_t(o.current)];
        for (;;) {
            if (o.canStart()) {
                const size_t i = me.job = o.next++;
                o.tell(i);
                (*o.job)(i);
                o.ended[i] = 1;
                continue;
            }
            me.idle = true;
            o.park(); // the last park of each fiber is never resumed
        }
    });
    sp[7] = nullptr;
    fibers[i].sp = sp;
}

void Connection::overlap(size_t count, size_t apart, const std::function<void(size_t)>& job,
                         const std::function<void(size_t)>& onTurn) {
    const size_t window = std::min({kWindow, apart, count});
    const bool ahead = kFibers && window > 1 && m_shared && !g_inlineAnswers && !kSanitized &&
                       !m_overlap && m_activities.empty() && m_owner == selfPid() &&
                       stackFor(window - 1);
    if (!ahead) {
        for (size_t i = 0; i < count; ++i) {
            onTurn(i);
            job(i);
        }
        return;
    }
    Overlap o;
    o.job = &job;
    o.onTurn = &onTurn;
    o.count = count;
    o.apart = apart;
    o.ended.assign(count, 0);
    o.fibers.resize(window);
    for (size_t f = 0; f < window; ++f)
        o.prepare(f, stackFor(f));
    m_overlap = &o;
    g_overlap = &o;
    // Each call is served in the order sent, and its job goes on at once: its next notification
    // joins the end of the line while the bridge serves those before it; a fiber whose job has
    // ended starts the next job as soon as that may start.
    for (;;) {
        for (size_t f = 0; f < window; ++f)
            if (o.fibers[f].idle && o.canStart()) {
                o.fibers[f].idle = false;
                o.resume(int(f)); // it runs until its notification is sent, or it is idle again
            }
        if (m_ahead.empty())
            break; // every fiber idle, and no job left to start
        if (!m_ahead.front().done)
            serveAhead(m_ahead.front());
        o.resume(m_ahead.front().fiber);
    }
    m_overlap = nullptr;
    g_overlap = nullptr;
}

Reply Connection::callAhead(const zb_message& message, const Activity& activity) {
    zb_message queued = message;
    queued.kind = ZB_QUEUE;
    if (zb_encode(&m_out, &queued) != 0)
        crash("a message for the bridge could not be built" + activityText(), SIGABRT);
    const long room = zb_link_room(&m_link);
    if (room < 0 || m_out.size + kAheadReserve > size_t(room)) {
        // The line is long enough: once it is served, this one goes as any call goes.
        drainAhead();
        Overlap* o = m_overlap;
        m_overlap = nullptr;
        Reply r = call(message, activity);
        m_overlap = o;
        return r;
    }
    ++m_link.header->bench_calls; // seen by a process that lent this bridge, as call() does
    writeRing(m_out.data, m_out.size);
    m_ahead.push_back(Ahead{m_overlap->current, &activity, Reply{}, false});
    m_overlap->park();
    // Resumed once served, and first in line.
    Reply r = std::move(m_ahead.front().reply);
    m_ahead.pop_front();
    --m_link.header->bench_calls;
    return r;
}

void Connection::serveAhead(Ahead& a) {
    m_overlap->tell(m_overlap->fibers[size_t(a.fiber)].job);
    m_activities.push_back(a.activity);
    a.reply = await(*a.activity);
    a.done = true;
}

void Connection::drainAhead() {
    for (Ahead& a : m_ahead)
        if (!a.done)
            serveAhead(a);
    if (m_overlap && m_overlap->current >= 0)
        m_overlap->tell(m_overlap->fibers[size_t(m_overlap->current)].job);
}

} // namespace zeph::host::bridge
