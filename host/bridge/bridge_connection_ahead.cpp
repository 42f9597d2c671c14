// The bench's end of the pipe, its calls sent ahead: the jobs of an overlap() on fibers of their
// own, each parked once its notification is queued and resumed once it is served.
#include "bridge/bridge_connection_internal.h"

#include <algorithm>
#include <csignal>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace zeph::host::bridge {

using detail::g_inlineAnswers;
using detail::selfPid;

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

void Connection::Overlap::resume(int i) {
    tell(fibers[size_t(i)].job);
    current = i;
    zeph_switch_stack(&main, fibers[size_t(i)].sp);
    current = -1;
}

void Connection::Overlap::park() {
    zeph_switch_stack(&fibers[size_t(current)].sp, main);
}

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
