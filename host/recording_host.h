// The project's one simulated panel host: it plays the host's side of the callback contract against
// a script component, records every command the component sends, answers the query commands, and
// checks ownership of every text that crosses the boundary. Tests, fuzzers and the bench all drive
// components through it.
#pragma once

#include "component_source.h"
#include "zeph_client_callback.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zeph::host {

// What a breach of the host contract was, for the code that sorts breaches (validate); the text
// beside it says the same for people and may be reworded freely.
enum class ErrorKind {
    ReplyNotReleased,   // a reply still out when the notification that asked for it returned
    ReleasedTwice,      // a reply handed back with type 5 a second time
    ForeignRelease,     // type 5 with a pointer the host never handed out
    NullRelease,        // type 5 with a null pointer
    UnknownCallType,    // the component called the host with a type other than 0 and 5
    NullCommand,        // type 0 with a null text
    CommandAfterDetach, // a command after "AS"
    NoDetach,           // destroyed without sending "AS"
    DetachNotLast,      // the last command before destruction was not "AS"
    TimerLeftRunning,   // a timer still running once the component is destroyed
    // Seen by the code that drives the host (the bench's facility), reported with the same kinds:
    UnterminatedAnswer, // a parent answer with no NUL within the host's limit
    ReleaseReturned,    // the component returned a non-null pointer from type 5
    NonNullReturn,      // a notification other than type 3 or 5 returned a non-null pointer
    Runaway,            // one step caused more notifications than the facility allows
};
// A short stable name ("reply-not-released") for reports.
const char* errorKindName(ErrorKind kind);
// Every kind, in the order above.
const std::vector<ErrorKind>& allErrorKinds();

// One breach: its kind for code, its text for people (with where it happened, once the bench
// has said so).
struct Breach {
    ErrorKind kind;
    std::string text;
};

// The commands whose replies the component reads and must hand back with type 5 (the queries of
// zeph_commands.h).
bool isQuery(const std::string& command);
// The commands the host answers at all: the queries, and PS.
bool isAnswered(const std::string& command);
// The two-letter mnemonic of a command ("" when it has none).
std::string mnemonic(const std::string& command);

class RecordingHost : public zeph_client_callback {
public:
    // Decides the reply to one command; nullopt means no reply (a null pointer).
    using Responder = std::function<std::optional<std::string>(const std::string& command)>;

    RecordingHost();
    ~RecordingHost() override;
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    // ---- Component -> host ------------------------------------------------------------------
    char* callback(void* data, int type) override;

    // ---- Replies ----------------------------------------------------------------------------
    // Exact command text -> reply. Looked up first; then the responder; else no reply.
    void setReply(const std::string& command, std::optional<std::string> reply);
    void clearReplies();
    void setResponder(Responder responder);
    // By default PS is answered with a non-null static text that is never released.
    void setPanelShowAccepted(bool accepted);
    // Called after every command is recorded (the facility hooks in here).
    void setObserver(std::function<void(const std::string& command)> observer);

    // ---- Recorded traffic -------------------------------------------------------------------
    const std::vector<std::string>& commands() const;
    std::vector<std::string> takeCommands();
    // Forgets them, keeping the room they took for the next ones (a soak forgets after each step).
    void forgetCommands();
    // Off: commands are counted but not kept (a soak reads none of them); the checks stay.
    void setKeepCommands(bool keep) { m_keepCommands = keep; }
    // Number of commands received since the component was attached (never cleared).
    size_t totalCommands() const { return m_total; }
    std::set<int> runningTimers() const { return {m_timers.begin(), m_timers.end()}; }
    bool detached() const { return m_detached; }

    // ---- Ownership checks -------------------------------------------------------------------
    // Every breach seen so far, in words: a reply not released by the end of the notification, a
    // foreign or repeated release, a command after "AS", a timer left running...
    const std::vector<std::string>& errors() const;
    // The same breaches, in the same order, each with its kind.
    const std::vector<Breach>& breaches() const;
    void clearErrors() {
        if (m_rare) {
            m_rare->errors.clear();
            m_rare->breaches.clear();
        }
    }
    size_t outstandingReplies() const { return m_outstanding.size(); }
    size_t repliesHandedOut() const { return m_handedOut; }

    // ---- Host -> component ------------------------------------------------------------------
    // The host object must outlive the component; attach() is how it learns the component.
    void attach(zeph_client_callback* component);
    zeph_client_callback* component() const { return m_component; }
    // Creates the component through a factory and attaches it. False when the factory returns null.
    // path may be null, and withHost false hands the factory a null host, as a host may.
    bool create(const ComponentSource& source, const char* path, bool withHost = true);
    // Type 3. The answer is copied and handed back with type 5; nullopt when the component answered
    // null. releaseAnswer=false keeps it (to test the component's release handling); see
    // keptAnswers.
    std::optional<std::string> parent(const std::string& text, bool releaseAnswer = true);
    void press(const std::string& panel, const std::string& control,
               const std::string& event = std::string());
    void revertive(int device, int index, const std::string& text);
    void database(int device, int db, int index, const std::string& text);
    void tick(int id);
    // Any type code with any data; the return value is whatever the component returned.
    char* raw(void* data, int type);
    // Deletes the component through slot 0, then checks that no timer was left running.
    void destroy();
    const std::vector<char*>& keptAnswers() const;

    // Runs after every notification: replies handed out during it must have come back.
    void checkAfterNotification(const char* what);

private:
    char* handOut(const std::string& reply);
    void error(ErrorKind kind, std::string text);

    // What a soak's many hosts never use (kept commands, set replies, an observer, breaches, kept
    // answers), kept apart so that each host does not carry it empty.
    struct Rare {
        std::vector<std::string> commands;
        std::map<std::string, std::optional<std::string>> replies;
        std::function<void(const std::string&)> observer;
        std::vector<std::string> errors;
        std::vector<Breach> breaches;
        std::vector<char*> keptAnswers;
    };
    Rare& rare();

    zeph_client_callback* m_component = nullptr;
    Responder m_responder;
    std::unique_ptr<Rare> m_rare;

    size_t m_total = 0;
    // Since the commands were last taken or forgotten: how many, and whether the last was "AS".
    size_t m_sinceForget = 0;
    bool m_lastWasDetach = false;
    bool m_detached = false;
    bool m_keepCommands = true;
    bool m_panelShowAccepted = true;
    std::vector<int> m_timers; // sorted: a set's node per timer cost a soak more
    bool m_hostless = false;   // created with a null host: it cannot detach

    // A handful at most, looked up in place: a set's node per reply cost a soak more than the
    // reply itself.
    std::vector<char*> m_outstanding;
    std::vector<uintptr_t> m_released;
    size_t m_handedOut = 0;
};

} // namespace zeph::host
