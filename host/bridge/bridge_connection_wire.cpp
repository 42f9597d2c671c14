// The bench's end of the pipe, its transport: the frames through the shared region's rings, the
// pipes waking a sleeping end and carrying what the ring cannot, or everything where there is no
// region.
#include "bridge/bridge_connection_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zeph::host::bridge {

using detail::oneWaySetOf;

namespace {

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

} // namespace zeph::host::bridge
