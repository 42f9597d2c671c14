// One live bench session behind the serve page: a component under the simulated facility, driven
// one step at a time from any thread, while only the session's own thread ever calls the component
// (never re-entrantly, as a panel host would). Every action is a scenario step, so the session
// can be handed back as a scenario with every expectation filled in.
#pragma once

#include "scenario/scenario.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zeph::bench {

struct SessionOptions {
    std::string title; // what the page calls the session (the module's file name)
    std::string basePath;
    bool captureStderr = false;
    size_t maxLine = 4096;            // a longer step line is refused (texts are a few words)
    size_t keepEvents = 500;          // transcript lines a newly opened page starts with
    size_t keepUpdates = 256;         // updates a reconnecting page can still catch up on
    size_t maxEventsPerUpdate = 2000; // a longer burst keeps its start and end
    // The factory of a module a load line names (module=STEM), as RunOptions::modules.
    std::function<host::ComponentSource(const std::string&, std::string&)> modules = nullptr;
};

// What became of one action: status 200, or an HTTP-like status (400, 404, 409, 413) and why.
struct ActionResult {
    int status = 200;
    std::string error;
    bool answered = false; // a parent step: answer holds what the component answered
    std::optional<std::string> answer;
    uint64_t seq = 0; // the update that carries the action's effects
    bool ok() const { return status == 200; }
};

class Session {
public:
    Session(host::ComponentSource factory, SessionOptions options);
    // Ends the stream and destroys the component on the session's thread.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Plays the scenarios the session starts from (facility lines, steps, expectations). The
    // unloads that end the last one are held back, so that the panels stay live; with nothing
    // loaded at the end, the unnamed component is loaded. Returns the failures, "file:line: what".
    std::vector<std::string> start(const std::vector<Scenario>& scenarios);

    // One line as a scenario writes it: a facility line or a step, never an expectation; "@NAME"
    // addresses an instance, as in a file.
    ActionResult play(const std::string& line);
    // Moves the clock on to the next due tick or delayed revertive (recorded as "advance MS").
    ActionResult advanceToNextDue();
    // The session so far as a scenario, every expectation filled in.
    std::string recording();

    // ---- The update stream (any thread) ----
    struct Update {
        uint64_t seq = 0;
        std::string json;
    };
    // The whole state (kind "state"): panels, routers, clock and the transcript's tail.
    Update snapshot();
    enum class Wait { Ready, Timeout, Gap, Closed };
    // Updates after seq into out (Ready); Gap when some were already dropped (take a snapshot).
    Wait updatesAfter(uint64_t seq, std::vector<Update>& out, std::chrono::milliseconds timeout);
    // Wakes every waiting stream; further waits report Closed.
    void close();

private:
    // Runs fn on the session's thread and waits for it.
    void call(const std::function<void()>& fn);
    void worker();
    ActionResult playOnWorker(const std::string& line);
    void playStarting(const Step& step, const std::string& file);
    void taken(const Step& step);
    void publish(const std::string& action);

    host::ComponentSource m_factory;
    SessionOptions m_options;

    // Session thread only.
    std::unique_ptr<Runner> m_runner;
    LineOrder m_order;                          // what a recording must keep to read back
    std::map<std::string, std::string> m_loads; // each instance's load line, the page's Load
    std::vector<Event> m_pending;
    size_t m_unshown = 0; // events of the current action beyond maxEventsPerUpdate
    int m_actions = 0;
    std::map<std::pair<std::string, std::string>, std::string> m_lastControls;
    std::string m_lastRouters;

    // Guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_taskReady;
    std::condition_variable m_updated;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    bool m_closed = false;
    uint64_t m_seq = 0;
    std::deque<Update> m_updates;
    std::deque<std::string> m_events; // JSON of the transcript's tail
    std::string m_state;              // JSON of the state, without transcript and seq

    std::thread m_thread;
};

} // namespace zeph::bench
