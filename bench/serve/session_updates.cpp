// The serve session's updates: after each action, what the page shows (the facility, the events,
// the instances) as one JSON update, kept for the page's stream to read in order.
#include "serve/session.h"

#include "serve/facility_json.h"

#include <nlohmann/json.hpp>

namespace zeph::bench {

namespace {

using nlohmann::json;

// Texts from a component are bytes, not necessarily UTF-8: show what cannot be decoded as U+FFFD.
std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json eventJson(const Event& e) {
    json j = {{"time", e.time}, {"kind", kindName(e.kind)}, {"text", e.text}};
    if (e.reply)
        j["reply"] = *e.reply;
    if (e.kind == Event::Kind::Failure)
        j["where"] = e.file + ":" + std::to_string(e.line);
    if (!e.instance.empty())
        j["instance"] = e.instance;
    return j;
}

// Whose a facility panel is, for the page's presses: {"instance": NAME, "as": the instance's own
// id for it}, the unnamed instance's name being "". A panel given by a load's panel= is that
// instance's (the first one's, when two were given it); one of an instance's own ("@E:ID") is its
// own; any other is the first loaded instance whose ids are the facility's, else the unnamed
// one's when its are; null when none would reach it.
json ownerJson(const Runner& runner, const Facility& f, const std::string& panel) {
    const std::vector<Runner::InstanceView> instances = runner.instances();
    if (!panel.empty() && panel[0] == '@') {
        const size_t colon = panel.find(':');
        for (const Runner::InstanceView& in : instances)
            if (colon != std::string::npos &&
                panel.substr(1, colon - 1) == std::to_string(in.endpoint))
                return {{"instance", in.name}, {"as", panel.substr(colon + 1)}};
        return nullptr;
    }
    for (const Runner::InstanceView& in : instances) {
        const std::vector<std::string>& given = f.panelsOf(in.endpoint);
        for (size_t i = 0; i < given.size(); ++i)
            if (given[i] == panel)
                return {{"instance", in.name}, {"as", std::to_string(i + 1)}};
    }
    const Runner::InstanceView* own = nullptr;
    for (const Runner::InstanceView& in : instances)
        if (!own && f.panelsOf(in.endpoint).empty() && f.loaded(in.endpoint))
            own = &in;
    if (!own && f.panelsOf(instances[0].endpoint).empty())
        own = &instances[0];
    if (!own)
        return nullptr;
    return {{"instance", own->name}, {"as", panel}};
}

} // namespace

void Session::publish(const std::string& action) {
    const Facility& f = m_runner->facility();

    json events = json::array();
    for (const Event& e : m_pending)
        events.push_back(eventJson(e));
    if (m_unshown) {
        Event note;
        note.kind = Event::Kind::Note;
        note.time = f.now();
        note.text = std::to_string(m_unshown) + " more events of this step are not shown";
        events.push_back(eventJson(note));
    }
    m_pending.clear();
    m_unshown = 0;

    json changed = json::array();
    json panels = json::array();
    for (const Facility::PanelView& p : f.panels())
        panels.push_back(panelJson(p, [&](const json& cj) {
            std::string text = dump(cj);
            std::string& last = m_lastControls[{p.id, cj["id"].get<std::string>()}];
            if (last != text) {
                changed.push_back(cj);
                last = std::move(text);
            }
        }));

    const json routers = routersJson(f.routers());
    // Each instance: loaded or not, the facility panels its load gave it, its running timers and
    // the line that loaded it last (the page's Load sends it again).
    json instances = json::array();
    json timers = json::array();
    bool loaded = false;
    for (const Runner::InstanceView& in : m_runner->instances()) {
        const bool on = f.loaded(in.endpoint);
        json own = json::array();
        if (on)
            for (int id : m_runner->facility().host(in.endpoint).runningTimers()) {
                own.push_back(id);
                timers.push_back(id);
            }
        loaded = loaded || on;
        const auto line = m_loads.find(in.name);
        json instance = instanceJson(in.name, on, f.panelsOf(in.endpoint));
        instance["timers"] = own;
        instance["load"] = line == m_loads.end() ? json(nullptr) : json(line->second);
        instances.push_back(std::move(instance));
    }
    json owners = json::object();
    for (const json& p : panels)
        owners[p["id"].get<std::string>()] = ownerJson(*m_runner, f, p["id"]);
    const std::optional<int64_t> due = f.nextDue();
    json clock = {{"now", f.now()},
                  {"nextDue", due ? json(*due) : json(nullptr)},
                  {"loaded", loaded},
                  {"timers", timers},
                  {"failures", m_runner->result().failures.size()}};

    json update = {{"kind", "update"},    {"action", action}, {"events", events},
                   {"controls", changed}, {"clock", clock},   {"instances", instances},
                   {"owners", owners}};
    std::string routerText = dump(routers);
    if (routerText != m_lastRouters) {
        update["routers"] = routers;
        m_lastRouters = std::move(routerText);
    }
    std::string state = dump(json{{"title", m_options.title},
                                  {"panels", panels},
                                  {"routers", routers},
                                  {"clock", clock},
                                  {"instances", instances},
                                  {"owners", owners}});

    std::vector<std::string> eventTexts;
    for (const json& e : events)
        eventTexts.push_back(dump(e));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        update["seq"] = ++m_seq;
        m_updates.push_back(Update{m_seq, dump(update)});
        while (m_updates.size() > m_options.keepUpdates)
            m_updates.pop_front();
        for (std::string& e : eventTexts)
            m_events.push_back(std::move(e));
        while (m_events.size() > m_options.keepEvents)
            m_events.pop_front();
        m_state = std::move(state);
    }
    m_updated.notify_all();
}

Session::Update Session::snapshot() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text = "{\"kind\":\"state\",\"seq\":" + std::to_string(m_seq) +
                       ",\"state\":" + (m_state.empty() ? "null" : m_state) + ",\"events\":[";
    for (size_t i = 0; i < m_events.size(); ++i)
        text += (i ? "," : "") + m_events[i];
    text += "]}";
    return Update{m_seq, std::move(text)};
}

Session::Wait Session::updatesAfter(uint64_t seq, std::vector<Update>& out,
                                    std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_updated.wait_for(lock, timeout, [&] { return m_closed || m_seq != seq; });
    if (m_closed)
        return Wait::Closed;
    if (m_seq == seq)
        return Wait::Timeout;
    if (seq > m_seq || m_updates.empty() || m_updates.front().seq > seq + 1)
        return Wait::Gap;
    for (const Update& u : m_updates)
        if (u.seq > seq)
            out.push_back(u);
    return Wait::Ready;
}

} // namespace zeph::bench
