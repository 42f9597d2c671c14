// The bench's end of the pipe to one bridge: the call loop, in which the bridge's calls to the
// bench's hosts are served while the bench waits for an answer, and the ledger of the replies
// those hosts handed out, so that a release through the bridge reaches the host as its own.
//
// Once the bridge has started, both ends map a region of shared memory and the frames go through
// its rings (bridge_ring.h), the pipes only waking a sleeping end and carrying faults; where the
// region cannot be set up, the pipes carry everything, as the user is told once.
//
// Anything that goes wrong (a fault in the DLL, a bridge that ends, stops answering or breaks the
// protocol) is one line on stderr, and this process then dies as a crashing module would.
#pragma once

#include "bridge/bridge_codec.h"
#include "bridge/bridge_faults.h"
#include "bridge/bridge_process.h"
#include "bridge/bridge_ring.h"
#include "bridge/wine_launch.h"
#include "zeph_client_callback.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <unistd.h>

namespace zeph::host::bridge {

// The answer to a call from the bench, out of its RETURN.
struct Reply {
    uint64_t value = 0;
    uint32_t flags = 0;
    std::optional<std::string> text;
    // A survivable call that faulted: the fault's words, and its notification. The component is
    // dead in the bridge.
    std::optional<std::string> fault;
};

class Connection {
public:
    // Starts the bridge and waits until it reports the DLL loaded with its factory; null and one
    // line for the user in error when it does not.
    static std::unique_ptr<Connection> start(const Launch& launch, std::string& error);
    // What happens instead of this process's death when the bridge fails; for tests and fuzzing,
    // which throw. It must not return.
    using Failure = std::function<void(const std::string& line, int signal)>;
    // A connection over any pipe whose HELLO has been read already.
    static std::unique_ptr<Connection> over(std::unique_ptr<Transport> pipe, const Launch& launch,
                                            Failure failure);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The process that started this bridge; a forked child must start its own.
    pid_t owner() const { return m_owner; }
    // Whether the frames go through the shared region (else over the pipes).
    bool shared() const { return m_shared; }
    // Inherited through fork: lets go of this process's copies without touching the bridge.
    void abandon();
    // Lent by the parent (lendBridge): this process uses the bridge as its own.
    void adopt() { m_owner = getpid(); }
    // In the parent, once the child it lent the bridge to has ended: true when the bridge can go
    // on (no call of the child's in progress, nothing unread, still running); else ends it.
    bool takeBack();

    // Loads another DLL into this bridge (launch is the one that would have started a bridge for
    // it): its DLL number, or nullopt with one line for the user in error. The DLL the bridge
    // was started with is number 0.
    std::optional<uint32_t> load(const Launch& launch, std::string& error);

    // The id by which the bridge names this host in the calls it makes to it.
    uint32_t addHost(zeph_client_callback* host);
    void removeHost(uint32_t id) { m_hosts.erase(id); }
    // Sends the message and waits for its RETURN, serving the component's calls meanwhile.
    Reply call(const zb_message& message, const Activity& activity);
    // Runs job(0) .. job(count - 1), a few at once, each on a stack of its own, so that while the
    // bridge serves one job's notification the others send theirs ahead (QUEUE): neither end then
    // waits on the other for each one. Job i may touch what job i - apart touched (the soak's
    // copy of a facility, dealt to again), and starts once that one has ended; jobs nearer share
    // nothing the components could tell apart. Each job's calls still go and are answered in its
    // own order, the frames of each served while it is the oldest call sent. onTurn(i) is told
    // whenever job i runs or its call is served, as the bench's progress. Where nothing can go
    // ahead (no shared region, hosts answering inline, a sanitizer's build, apart 1) they run in
    // turn.
    void overlap(size_t count, size_t apart, const std::function<void(size_t)>& job,
                 const std::function<void(size_t)>& onTurn);
    [[noreturn]] void crash(const std::string& line, int sig);

    // The host calls the bridge sends without waiting for an answer (ZB_POST): those whose
    // hosts answer null and call no component back before they return. RC and RP are among them
    // until expectInlineAnswers().
    static uint32_t oneWaySet();
    static void expectInlineAnswers();

private:
    struct Frame;
    struct RingRead;
    enum class Read { Ok, Ended, TimedOut, Garbled };
    enum class Wait { Look, PipeFrame, Ended, TimedOut, Garbled };

    struct Overlap;
    // A notification sent ahead, and its answer once served.
    struct Ahead {
        int fiber;
        const Activity* activity;
        Reply reply;
        bool done = false;
    };

    explicit Connection(const Launch& launch);
    // call() once the message is sent: its RETURN, the bridge's calls served meanwhile.
    Reply await(const Activity& activity);
    // A notification from a job of overlap(): sent ahead, its job parked until it is served.
    Reply callAhead(const zb_message& message, const Activity& activity);
    // Serves the frames of the oldest call sent ahead and not yet answered.
    void serveAhead(Ahead& ahead);
    // Every call sent ahead answered: before a call that cannot go ahead.
    void drainAhead();
    bool awaitHello(std::string& error);
    std::string endedBeforeStart();
    // Sets up the shared region; false when the bridge took it but this end cannot see its
    // answer there, and the bridge must be started again without one.
    bool share();
    void send(const zb_message& message);
    // Tells the bridge the one-way set of now, when it holds another.
    void updateOneWay();
    [[noreturn]] void gone();
    void writeRing(const unsigned char* data, size_t size);
    void sendWake();
    static int readRing(void* context, void* buffer, size_t size);
    // Spins on the ring, then sleeps on the pipe until a WAKE (Look) or another frame comes.
    Wait awaitRing(size_t wantRoom, Clock::time_point deadline, Frame& pipeFrame);
    // What the pipe brings when the ring has nothing: a WAKE (Look), another frame, or its end.
    Wait awaitPipe(Clock::time_point deadline, Frame& pipeFrame);
    // When a wait for the bridge times out: asked of the clock only once something is waited for
    // (a frame that is there already is read without it).
    class Due {
    public:
        explicit Due(Clock::time_point at) : m_at(at), m_known(true) {}
        explicit Due(double seconds) : m_seconds(seconds) {}
        Clock::time_point operator()() {
            if (!m_known)
                m_at = after(m_seconds), m_known = true;
            return m_at;
        }

    private:
        double m_seconds = 0;
        Clock::time_point m_at{};
        bool m_known = false;
    };
    Read readFrame(Frame& frame, Due due);
    Read readPipe(Frame& frame, Clock::time_point deadline);
    // The next message; ends the process when the bridge has ended or does not answer in time.
    void receive(Frame& frame, double seconds);
    // A call from the bridge to a host: a CALL is answered with a RETURN, a POST is not.
    void serveCall(const zb_call& call, bool answered = true);
    void* releasedData(uint64_t token);
    void debugText(const zb_debug& debug);
    [[noreturn]] void fault(const zb_fault& fault);
    // The fault's words when the bridge abandoned the call and went on; otherwise it ends this
    // process as fault() does.
    std::string survived(const zb_fault& fault);
    [[noreturn]] void protocolError();
    [[noreturn]] void ended();
    std::string activityText() const;
    // The DLL, and instance, whose call was in progress: what a failure's line starts with.
    const std::string& whose() const;

    Launch m_launch;
    std::unique_ptr<Transport> m_pipe;
    Failure m_failure;
    pid_t m_owner = 0;
    std::unique_ptr<zb_input> m_in;
    zb_writer m_out{};
    // The shared region, once set up.
    bool m_shared = false;
    void* m_region = nullptr;
    zb_link m_link{};
    std::unique_ptr<zb_input> m_ringIn;
    int m_posting = 0; // serving POSTs: no host may call a component back meanwhile

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
    Overlap* m_overlap = nullptr; // while overlap() runs
    std::deque<Ahead> m_ahead;    // sent ahead, in the order sent
};

} // namespace zeph::host::bridge
