// A simulated facility behind the recording host: names, device databases, routers, panel controls,
// timers on a virtual clock and the parent panel, answering the commands of any number of
// components.
//
// Nothing here reads the wall clock: time moves only when advance() is called, so a run is the same
// every time. Notifications caused by a command (the revertive after RC, the state after RP) are
// queued and delivered after the notification that caused them has returned, unless the router is
// set to answer inline: its revertives then reach the components inside the RC or RP call, as a
// host is allowed to do.
#pragma once

#include "facility/event.h"
#include "facility/flat_map.h"
#include "facility/text.h"
#include "recording_host.h"
#include "scenario/step.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace zeph::bench {
using host::isQuery;
using host::mnemonic;
using host::RecordingHost;

// How a component's factory is called: a host may hand it a null host or a null base path.
struct Creation {
    bool nullHost = false;
    bool nullBase = false;
};

class Facility {
public:
    explicit Facility(EventSink sink = nullptr);
    ~Facility();
    Facility(const Facility&) = delete;
    Facility& operator=(const Facility&) = delete;

    // ---- Description -------------------------------------------------------------------------
    // SD NAME answers "DEV OFFSET", or "DEV" when offset is not given.
    void setName(const std::string& name, int device, std::optional<int> offset);
    // RN DEV DB INDEX answers the entry. Database 0 of a router holds its source names.
    void setDatabase(int device, int database, int index, const std::string& text);
    void addRouter(int device);
    // Revertives from this router wait this many virtual ms (0: delivered as soon as possible).
    // A delay ends inline delivery.
    void setRouterDelay(int device, int64_t ms);
    // The next `count` revertives from this router are lost; -1 loses all of them, 0 none.
    void setRouterDrop(int device, int count);
    // On: the revertives that a component's RC or RP causes are delivered inside that call, before
    // it returns. Off (the default): they are queued until the notification in progress returns.
    void setRouterInline(int device, bool on);
    // A control; described again, it gains the properties given, and the kind when one is given
    // (what it is to whoever draws it: "button", "text", "indicator", "alarm"; empty: not said).
    void addControl(const std::string& panel, const std::string& control,
                    const std::map<std::string, std::string>& properties = {},
                    const std::string& kind = {});
    // Once a file is listed, PS is answered only for listed files (matched on the last path part).
    void acceptPanelFile(const std::string& file);
    // Decides the reply to every query in place of the facility, which passes its own answer
    // (used by validate for empty, odd and random replies).
    using ReplyOverride = std::function<std::optional<std::string>(
        const std::string& command, const std::optional<std::string>& facilityReply)>;
    void setReplyOverride(ReplyOverride replies);
    void setPanelShowOverride(std::function<bool()> accepted);
    // Takes model's description (names, databases, routers with their crosspoints, panels, panel
    // files) as its own, before any endpoint: a soak's many copies of one facility build theirs
    // once. The names and databases stay shared until either facility changes them.
    void copyDescription(const Facility& model);

    // ---- Components ----------------------------------------------------------------------------
    // Each component gets its own host endpoint; returns its number.
    int addEndpoint();
    int endpoints() const { return static_cast<int>(m_endpoints.size()); }
    RecordingHost& host(int endpoint);
    bool loaded(int endpoint) const;
    // Creates the component; false (and a note) when the factory returns null.
    bool load(int endpoint, host::ComponentSource factory, const std::string& basePath,
              Creation how = Creation{});
    // Destroys it; the endpoint's timers and registrations end with it.
    void unload(int endpoint);
    // The facility panels a component's panels 1, 2, ... are (one panel host per panel: every
    // component calls its own panel 1). Empty, the default: its ids are the facility's.
    void setPanels(int endpoint, std::vector<std::string> panels);
    // The facility panel a component's panel id names; an id past its panels names one of its
    // own, apart from every other component's.
    std::string facilityPanel(int endpoint, const std::string& panel) const;
    // The facility panels setPanels gave it, in order (empty: its ids are the facility's).
    const std::vector<std::string>& panelsOf(int endpoint) const;

    // ---- Notifications (each delivered, then the facility settles) ------------------------------
    // Type 3: returns the answer, nullopt for null. An answer is handed back with type 5 at once.
    std::optional<std::string> parent(int endpoint, const std::string& text);
    void press(int endpoint, const std::string& panel, const std::string& control,
               const std::string& event);
    void revertive(int endpoint, int device, int index, const std::string& text);
    void database(int endpoint, int device, int db, int index, const std::string& text);
    void tick(int endpoint, int id);
    // Any type code; data is null without a text. A revertive, database or button record is
    // built from the text's bytes at its own size (padded with zeros; a button record's pointers
    // point at a copy of the text); any other type gets a NUL-terminated copy of the text.
    void raw(int endpoint, int type, const std::optional<std::string>& text);

    // ---- The facility changes ------------------------------------------------------------------
    // Another panel routes: the crosspoint is set and registered components hear of it.
    void route(int device, int source, int destination);
    // The entry changes and every loaded component is told with type 6 (only `only`, when given).
    void databaseChange(int device, int db, int index, const std::string& text,
                        std::optional<int> only = std::nullopt);

    // ---- Virtual clock --------------------------------------------------------------------------
    int64_t now() const { return m_now; }
    // Delivers every queued notification due by now.
    void settle();
    // Delivers every notification due within ms, in time order, then sets the clock forward.
    void advance(int64_t ms);
    bool timerRunning(int endpoint, int id) const;
    // Shows the component's diagnostics (its stderr) as Debug events, one per notification. They
    // are caught in `into` when given at the first call (the caller's, left open), so that the
    // caller can read what a notification that never returned had written; else in a file of the
    // facility's own.
    void setCaptureDebug(bool on, std::FILE* into = nullptr);
    // Fails the step (a host error of no kind) when the component wrote to stdout during a
    // notification; only once the CLI has moved stdout aside (isolate/process_guard.h).
    void setWatchStdout(bool on);
    // Events of this kind go untold, their words never made: a listener that reads none of them
    // spares the facility their cost. Breaches are counted all the same.
    void setUntold(Event::Kind kind) { m_untold |= 1u << unsigned(kind); }
    // A step may not deliver more than this many notifications (a feedback loop or a tiny period).
    void setEventLimit(size_t limit) { m_eventLimit = limit; }

    // ---- What was seen --------------------------------------------------------------------------
    const std::vector<std::string>& parentTexts(int endpoint) const;
    // Forgets the commands and parent texts recorded so far (a long run keeps its memory flat).
    // keepRoom keeps their lists' room for the next step's, which saves a soak step allocations.
    void forgetRecords(int endpoint, bool keepRoom = false);
    std::optional<int> crosspoint(int device, int destination) const;
    std::string property(const std::string& panel, const std::string& control,
                         const std::string& name) const;
    size_t notificationsDelivered() const { return m_delivered; }
    size_t breaches() const { return m_breaches; }

    // ---- Answering as another facility did (commands.cpp, beside each query's answer) --------
    // What the facility answers a command now, without acting on it: a query's reply, PS's "1"
    // or null; nullopt for the rest.
    std::optional<std::string> answerOf(int endpoint, const std::string& command) const;
    // The facility lines after which the command is answered `reply` (none when it is already);
    // nullopt when no line can make it so (a name that is no device number, a null where the
    // facility knows the answer, a list of controls out of the facility's order).
    std::optional<std::vector<Step>> stepsAnswering(int endpoint, const std::string& command,
                                                    const std::optional<std::string>& reply) const;
    // The control line a text put (TP) needs to reach a declared control; none when it is one.
    std::optional<Step> stepDeclaring(int endpoint, const std::string& command) const;
    // The router a routing command (RC, RP, RR, RU) talks to (routing.cpp).
    static std::optional<int> routerOf(const std::string& command);
    // The lines after which the facility delivers revertive DEVICE DESTINATION 'NAME' inside the
    // command (RC or RP), and in `after` those that end that once the step is done; nullopt when
    // no line can make it so (another router, another destination).
    std::optional<std::vector<Step>> stepsRevertingInside(int endpoint, const std::string& command,
                                                          int device, int destination,
                                                          const std::string& name,
                                                          std::vector<Step>& after) const;
    // The parts of the facility a command reads or changes, the one it answers from first
    // ("name X", "control P C PROP", then "control P C", "panel P"...): a line for one of them
    // cannot come before a step that already used it.
    std::vector<std::string> touches(int endpoint, const std::string& command) const;

    // ---- Read-only views of the facility (added for the serve page) ----
    struct ControlView {
        std::string id;
        std::string kind; // as declared; empty when no line said
        std::map<std::string, std::string> properties;
    };
    struct PanelView {
        std::string id;
        std::vector<ControlView> controls; // in the order they were first described
    };
    struct RouterView {
        int device = 0;
        int64_t delay = 0;
        int drop = 0;                       // revertives still to be lost; -1: all of them
        std::map<int, int> crosspoints;     // destination -> source
        std::vector<std::string> names;     // the names that SD resolves to this device alone
        std::map<int, std::string> sources; // source -> its name (database 0)
    };
    // Every panel in id order.
    std::vector<PanelView> panels() const;
    bool hasControl(const std::string& panel, const std::string& control) const;
    // One control as panels() shows it; nullopt for none.
    std::optional<ControlView> control(const std::string& panel, const std::string& control) const;
    // Every router in device order.
    std::vector<RouterView> routers() const;
    // When the next queued notification (a running timer's tick, a delayed revertive) is due.
    std::optional<int64_t> nextDue() const;
    // ---- (end of the serve views)

private:
    struct Registration {
        int device, first, last;
    };
    struct Timer {
        int64_t period;
        uint64_t generation;
    };
    struct Endpoint {
        RecordingHost host;
        FlatMap<int, Timer> timers;
        std::vector<Registration> registrations;
        std::vector<std::string> parentTexts;
        std::vector<std::string> panels;
        size_t errorsSeen = 0;
    };
    struct Queued {
        int64_t time;
        uint64_t seq;
        int endpoint;
        enum { Revertive, Database, Tick } kind;
        int device, db, index;
        std::string text;
        uint64_t generation;
        bool operator>(const Queued& o) const {
            return time != o.time ? time > o.time : seq > o.seq;
        }
    };
    struct Router {
        FlatMap<int, int> crosspoints; // destination -> source
        int64_t delay = 0;
        int drop = 0;
        bool inlineDelivery = false;
    };
    struct Control {
        std::string id;
        FlatMap<std::string, std::string> properties;
        std::string kind;
    };

    // ---- Commands (commands.cpp): one handler per mnemonic --------------------------------------
    struct Command {
        // Every field counted, the first kRead kept in place: no handler reads past the fourth,
        // and a vector of them cost a soak an allocation per command.
        static constexpr size_t kRead = 4;
        struct Fields {
            std::array<std::string, kRead> texts;
            size_t count = 0;
            size_t size() const { return count; }
            bool empty() const { return count == 0; }
        };
        explicit Command(const std::string& command);
        const std::string& text;
        Fields fields;
        const std::string& field(size_t i) const;
        std::optional<int> number(size_t i) const;
    };
    struct CommandRule;
    // The rule of the command's mnemonic; null for none.
    static const CommandRule* findRule(const std::string& command);
    std::optional<std::string> execute(int endpoint, const std::string& command);
    // Replies, computed before the command is reported.
    std::optional<std::string> replySD(int endpoint, const Command& c);
    std::optional<std::string> replyRN(int endpoint, const Command& c);
    std::optional<std::string> replyXI(int endpoint, const Command& c);
    std::optional<std::string> replyTG(int endpoint, const Command& c);
    std::optional<std::string> replyPS(int endpoint, const Command& c);
    bool panelShown(const Command& c) const;
    // Effects, carried out after the command is reported; each returns a note when it ignored it.
    std::string actHN(int endpoint, const Command& c);
    std::string actTP(int endpoint, const Command& c);
    std::string actRC(int endpoint, const Command& c);
    std::string actRR(int endpoint, const Command& c);
    std::string actRU(int endpoint, const Command& c);
    std::string actRP(int endpoint, const Command& c);
    std::string actET(int endpoint, const Command& c);

    // ---- Routing (routing.cpp) ------------------------------------------------------------------
    void sendRevertive(int endpoint, int device, int destination);
    // Every component registered for this destination hears a revertive, in endpoint order.
    void notifyRegistered(int device, int destination);
    void unregister(int endpoint, int device);
    void dropRegistrations(int endpoint);
    void listen(int endpoint, const Registration& g, bool on);

    // ---- Delivery (delivery.cpp) ----------------------------------------------------------------
    enum NotifyFlags : unsigned {
        kNeedsComponent = 1, // without one, a note instead of the call
        kSettle = 2,         // deliver what the notification caused, once it has returned
    };
    // One notification: reported, the component called with its stderr captured, then whatever
    // `then` adds, the host's findings, and what it caused. False when there was no component.
    // `what` gives the report's text; it is called only when someone listens, since building
    // that text would cost a soak more than the notification itself.
    template <class What, class Call, class Then>
    bool notify(int endpoint, What&& what, Call&& call, Then&& then,
                unsigned flags = kNeedsComponent | kSettle);
    template <class What, class Call> bool notify(int endpoint, What&& what, Call&& call) {
        return notify(endpoint, std::forward<What>(what), std::forward<Call>(call), [] {});
    }
    void schedule(Queued q);
    // Drops the queued ticks of the endpoint's timer id (of all its timers when none is given),
    // which its stop, restart or unloading has made stale.
    void dropTicks(int endpoint, std::optional<int> id);
    void runUntil(int64_t target);
    void deliver(const Queued& q);
    void afterNotification(int endpoint);
    // Capture of the component's stderr around the outermost notification (capture.cpp).
    void enter(int endpoint);
    void leave(int endpoint);

    void emitError(int endpoint, host::ErrorKind kind, std::string text);
    // Taken by reference: without a listener nothing is copied.
    void emit(Event::Kind kind, int endpoint, const std::string& text,
              const std::optional<std::string>& reply = std::nullopt);
    Endpoint& ep(int endpoint);
    const Endpoint& ep(int endpoint) const;
    Control* findControl(const std::string& panel, const std::string& control);
    const Control* findControl(const std::string& panel, const std::string& control) const;

    // The names and databases: copies of one facility share them until one of them changes them,
    // which spares a soak's many facilities a copy each of tables none of them writes to.
    struct Tables {
        std::map<std::string, std::pair<int, std::optional<int>>> names;
        std::map<std::tuple<int, int, int>, std::string> databases;
    };
    const Tables& tables() const;
    Tables& ownTables();
    // Who hears a destination, one entry per component and destination (single-destination
    // registrations) or per component and router (those that hold a range: destination 0),
    // sorted: a soak's facilities hold one or two each.
    struct Listener {
        int device;
        bool range;
        int destination, endpoint;
        bool operator<(const Listener& o) const {
            return std::tie(device, range, destination, endpoint) <
                   std::tie(o.device, o.range, o.destination, o.endpoint);
        }
        bool operator==(const Listener& o) const {
            return device == o.device && range == o.range && destination == o.destination &&
                   endpoint == o.endpoint;
        }
    };
    // What few runs set (validate's overrides, a listed panel file, a capture of stderr), kept
    // apart so that a soak's many facilities do not each carry it empty.
    struct Rare {
        EventSink sink;
        ReplyOverride replyOverride;
        std::function<bool()> panelShowOverride;
        std::vector<std::string> panelFiles;
        std::FILE* captureFile = nullptr;
        bool ownsCaptureFile = false;
        int savedStderr = -1;
    };
    Rare& rare();
    // Whether anyone hears the events: building one costs a soak more than the notification.
    bool listening() const { return m_rare && m_rare->sink; }
    bool told(Event::Kind kind) const {
        return listening() && !((m_untold >> unsigned(kind)) & 1u);
    }

    std::vector<std::unique_ptr<Endpoint>> m_endpoints;
    std::shared_ptr<Tables> m_tables;
    FlatMap<int, Router> m_routers;
    std::vector<Listener> m_listeners;
    FlatMap<std::string, std::vector<Control>> m_panels;
    std::unique_ptr<Rare> m_rare;

    std::vector<Queued> m_queue; // a heap, soonest first (std::greater)
    int64_t m_now = 0;
    uint64_t m_seq = 0;
    uint64_t m_generation = 0;
    size_t m_eventLimit = 1000000;
    unsigned m_untold = 0; // by kind, the bits setUntold set
    size_t m_delivered = 0;
    size_t m_breaches = 0;
    int m_depth = 0;
    bool m_capture = false;
    bool m_watchStdout = false;
};

} // namespace zeph::bench
