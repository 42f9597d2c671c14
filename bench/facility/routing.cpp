// Routers: who is registered for which destination, and the revertives that tell them of a route.
#include "facility/facility.h"

#include "scenario/parser.h"

#include <algorithm>
#include <climits>

namespace zeph::bench {

namespace {
// Inline revertives that lead to more inline revertives stop nesting here and are queued instead.
constexpr int kInlineDepth = 16;
} // namespace

void Facility::sendRevertive(int endpoint, int device, int destination) {
    Router& r = m_routers[device];
    const auto note = [&](const std::string& what) {
        // The revertive as a line would give it, then what became of it.
        emit(Event::Kind::Note, endpoint,
             makeStep(Step::Kind::Revertive, {device, destination}).source + " " + what);
    };
    if (r.drop != 0) {
        if (r.drop > 0)
            --r.drop;
        note("dropped");
        return;
    }
    auto source = r.crosspoints.find(destination);
    const int number = source != r.crosspoints.end() ? source->second : 0;
    const auto& databases = tables().databases;
    auto name = databases.find({device, 0, number});
    Queued q{};
    q.time = m_now + r.delay;
    q.endpoint = endpoint;
    q.kind = Queued::Revertive;
    q.device = device;
    q.index = destination;
    q.text = name != databases.end() ? name->second : std::to_string(number);
    // Inline only from inside a component's call; a route made by another panel is queued as
    // always, which comes to the same.
    if (r.inlineDelivery && m_depth > 0) {
        const RecordingHost& h = ep(endpoint).host;
        std::string why;
        if (!h.component())
            why = "the component is not created yet";
        else if (h.outstandingReplies() > 0)
            why = "the component still holds a reply";
        else if (m_depth >= kInlineDepth)
            why = "inline revertives nested too deep";
        if (why.empty()) {
            deliver(q);
            return;
        }
        note("queued: " + why);
    }
    schedule(std::move(q));
}

// ---- Answering as another facility did ---------------------------------------------------------

std::optional<int> Facility::routerOf(const std::string& command) {
    const std::string m = mnemonic(command);
    if (m != "RC" && m != "RP" && m != "RR" && m != "RU")
        return std::nullopt;
    const std::vector<std::string> f = commandFields(command);
    return f.empty() ? std::nullopt : toInt(f[0]);
}

std::optional<std::vector<Step>> Facility::stepsRevertingInside(int endpoint,
                                                                const std::string& command,
                                                                int device, int destination,
                                                                const std::string& name,
                                                                std::vector<Step>& after) const {
    const std::string m = mnemonic(command);
    const std::vector<std::string> f = commandFields(command);
    if ((m != "RC" && m != "RP") || f.size() < 3 || routerOf(command) != device || !toInt(f[1]) ||
        !toInt(f[2]))
        return std::nullopt;
    const auto line = [](Step::Kind kind, std::vector<long long> numbers,
                         std::vector<std::string> words = {},
                         std::optional<std::string> text = std::nullopt) {
        return makeStep(kind, std::move(numbers), std::move(words), std::move(text));
    };
    std::vector<Step> steps;
    int source = 0;
    if (m == "RC") {
        // A route reaches the components registered for its destination alone.
        bool registered = false;
        for (const Registration& g : ep(endpoint).registrations)
            registered = registered ||
                         (g.device == device && g.first <= destination && destination <= g.last);
        if (*toInt(f[2]) != destination || !registered)
            return std::nullopt;
        source = *toInt(f[1]);
    } else if (destination < *toInt(f[1]) || destination > *toInt(f[2])) {
        return std::nullopt;
    } else if (const std::optional<int> routed = crosspoint(device, destination)) {
        source = *routed;
    } else {
        // Routed by someone the trace does not show: routed while the router still drops its
        // revertives, so the component hears nothing of it. A source no crosspoint uses yet.
        source = 9000;
        if (auto r = m_routers.find(device); r != m_routers.end())
            for (const auto& x : r->second.crosspoints)
                source = std::max(source, x.second + 1);
        steps.push_back(line(Step::Kind::Route, {device, source, destination}));
    }
    const auto& databases = tables().databases;
    auto known = databases.find({device, 0, source});
    if (known == databases.end() || known->second != name)
        steps.insert(steps.begin(), line(Step::Kind::Db, {device, 0, source}, {}, name));
    steps.push_back(line(Step::Kind::Router, {device}, {"normal"}));
    steps.push_back(line(Step::Kind::Router, {device}, {"inline"}));
    after = {line(Step::Kind::Router, {device}, {"normal"}),
             line(Step::Kind::Router, {device}, {"drop", "all"})};
    return steps;
}

void Facility::listen(int endpoint, const Registration& g, bool on) {
    // Single destinations are looked up directly; ranges are few and walked.
    const bool range = g.first != g.last;
    const Listener l{g.device, range, range ? 0 : g.first, endpoint};
    const auto at = std::lower_bound(m_listeners.begin(), m_listeners.end(), l);
    const bool held = at != m_listeners.end() && *at == l;
    if (on && !held)
        m_listeners.insert(at, l);
    else if (!on && held)
        m_listeners.erase(at);
}

void Facility::notifyRegistered(int device, int destination) {
    // Copied first: a revertive delivered inline may lead a component to register again.
    std::vector<int> heard;
    for (auto l = std::lower_bound(m_listeners.begin(), m_listeners.end(),
                                   Listener{device, false, destination, INT_MIN});
         l != m_listeners.end() && l->device == device && !l->range &&
         l->destination == destination;
         ++l)
        heard.push_back(l->endpoint);
    const size_t singles = heard.size();
    for (auto l = std::lower_bound(m_listeners.begin(), m_listeners.end(),
                                   Listener{device, true, 0, INT_MIN});
         l != m_listeners.end() && l->device == device; ++l)
        for (const Registration& g : ep(l->endpoint).registrations)
            if (g.device == device && g.first <= destination && destination <= g.last) {
                heard.push_back(l->endpoint);
                break;
            }
    // In endpoint order, each once.
    if (heard.size() > singles) {
        std::sort(heard.begin(), heard.end());
        heard.erase(std::unique(heard.begin(), heard.end()), heard.end());
    }
    for (int i : heard)
        sendRevertive(i, device, destination);
}

void Facility::unregister(int endpoint, int device) {
    auto& held = ep(endpoint).registrations;
    for (const Registration& g : held)
        if (g.device == device)
            listen(endpoint, g, false);
    held.erase(std::remove_if(held.begin(), held.end(),
                              [&](const Registration& g) { return g.device == device; }),
               held.end());
}

void Facility::dropRegistrations(int endpoint) {
    Endpoint& e = ep(endpoint);
    for (const Registration& g : e.registrations)
        listen(endpoint, g, false);
    e.registrations.clear();
}

void Facility::route(int device, int source, int destination) {
    m_routers[device].crosspoints[destination] = source;
    notifyRegistered(device, destination);
    settle();
}

void Facility::databaseChange(int device, int db, int index, const std::string& text,
                              std::optional<int> only) {
    ownTables().databases[{device, db, index}] = text;
    for (int i = 0; i < endpoints(); ++i) {
        if (!loaded(i) || (only && *only != i))
            continue;
        // time, seq, endpoint, kind, device, db, index, text, generation
        schedule(Queued{m_now, 0, i, Queued::Database, device, db, index, text, 0});
    }
    settle();
}

} // namespace zeph::bench
