// A trace as a scenario: the field's facility as far as its replies show it, its notifications as
// steps, and what the component sent and answered as expectations.
//
// Routers are never declared, so the bench's facility makes no revertive of its own; and the
// clock never advances, so no timer of its own fires: every notification the component hears in
// the replay is one the trace holds, in its order. A model of what the bench's facility would
// answer decides where a facility line is needed: before a step whose queries the field answered
// otherwise than the facility as it stands would.
#include "trace/trace_tools.h"

#include "facility/text.h"
#include "recording_host.h"
#include "scenario/quote.h"

#include <cstdio>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

namespace zeph::bench::trace {

using host::mnemonic;

namespace {
std::string word(const std::string& w) {
    return quoteText(w, w.empty() || w.find_first_of(" \t") != std::string::npos);
}

// What the bench's facility would answer, kept in step with the lines written so far.
struct Model {
    std::map<std::string, std::string> names;
    std::map<std::tuple<int, int, int>, std::string> databases;
    std::map<std::pair<int, int>, int> crosspoints; // router, destination -> source
    // Panel -> controls in the order the facility lists them, each with its properties.
    std::map<std::string, std::vector<std::pair<std::string, std::map<std::string, std::string>>>>
        panels;

    std::map<std::string, std::string>* control(const std::string& panel, const std::string& id) {
        auto p = panels.find(panel);
        if (p == panels.end())
            return nullptr;
        for (auto& c : p->second)
            if (c.first == id)
                return &c.second;
        return nullptr;
    }
    std::map<std::string, std::string>& addControl(const std::string& panel,
                                                   const std::string& id) {
        if (auto* c = control(panel, id))
            return *c;
        panels[panel].push_back({id, {}});
        return panels[panel].back().second;
    }
    std::optional<std::string> list(const std::string& panel, const std::string& prefix) const {
        auto p = panels.find(panel);
        if (p == panels.end())
            return std::nullopt;
        std::string out;
        for (const auto& c : p->second)
            if (c.first.compare(0, prefix.size(), prefix) == 0)
                out += (out.empty() ? "" : ",") + c.first;
        return out;
    }
};

class Converter {
public:
    explicit Converter(std::vector<std::string>& notes) : m_notes(notes) {}
    std::string run(const Trace& t);

private:
    void step(const Calls& calls, size_t at, size_t end);
    void query(const Call& c, std::vector<std::string>& lines, std::set<std::string>& touched);
    bool inlined(const Call& command, const Call& revertive, std::vector<std::string>& lines,
                 std::set<int>& routers);
    void note(const std::string& what, const Call& c) {
        char when[32];
        std::snprintf(when, sizeof when, "%.6f s", double(c.time) / 1e6);
        m_notes.push_back(std::string("at ") + when + ": " + what);
        m_out += "# NOTE " + m_notes.back() + "\n";
    }
    std::string stimulus(const Call& c);

    std::vector<std::string>& m_notes;
    Model m_model;
    std::string m_out;
    int m_nextSource = 9000; // sources the scenario makes up to route a destination
};

// A facility line for one query whose field reply the facility would not give, if one can say it.
void Converter::query(const Call& c, std::vector<std::string>& lines,
                      std::set<std::string>& touched) {
    const std::string cmd = c.describe();
    const std::string mn = mnemonic(cmd);
    const std::vector<std::string> f = commandFields(cmd);
    const std::optional<std::string>& reply = c.result;
    std::optional<std::string> now; // what the facility would answer
    std::string key, line;
    if (mn == "SD" && !f.empty()) {
        key = "SD " + f[0];
        auto it = m_model.names.find(f[0]);
        if (it != m_model.names.end())
            now = it->second;
        const std::vector<std::string> n = reply ? commandFields("SD " + *reply) : f;
        bool numbers = reply && (n.size() == 1 || n.size() == 2);
        std::string normal;
        for (const std::string& x : n) {
            numbers = numbers && toInt(x);
            normal += (normal.empty() ? "" : " ") + (toInt(x) ? std::to_string(*toInt(x)) : "");
        }
        if (reply && numbers && normal == *reply) {
            line = "name " + word(f[0]) + " " + *reply;
            m_model.names[f[0]] = *reply;
        }
    } else if (mn == "RN" && f.size() >= 3 && toInt(f[0]) && toInt(f[1]) && toInt(f[2])) {
        const auto k = std::make_tuple(*toInt(f[0]), *toInt(f[1]), *toInt(f[2]));
        key = "RN " + f[0] + " " + f[1] + " " + f[2];
        if (auto it = m_model.databases.find(k); it != m_model.databases.end())
            now = it->second;
        if (reply) {
            line = "db " + f[0] + " " + f[1] + " " + f[2] + " " + quoteText(*reply);
            m_model.databases[k] = *reply;
        }
    } else if (mn == "TG" && f.size() >= 3) {
        key = "TG " + f[0] + " " + f[1] + " " + f[2];
        if (auto* control = m_model.control(f[0], f[1])) {
            auto p = control->find(f[2]);
            now = f[2] + "=" + (p == control->end() ? "" : p->second);
        }
        const std::string prefix = f[2] + "=";
        if (reply && reply->compare(0, prefix.size(), prefix) == 0) {
            line = "control " + word(f[0]) + " " + word(f[1]) + " " + word(*reply);
            m_model.addControl(f[0], f[1])[f[2]] = reply->substr(prefix.size());
        }
    } else if (mn == "XI" && !f.empty()) {
        const std::string prefix = f.size() > 1 ? f[1] : "";
        key = "XI " + f[0];
        now = m_model.list(f[0], prefix);
        if (reply) {
            line = "";
            std::string rest = *reply;
            while (!rest.empty()) {
                const size_t comma = rest.find(',');
                const std::string id = rest.substr(0, comma);
                rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
                if (!m_model.control(f[0], id)) {
                    m_model.addControl(f[0], id);
                    line += (line.empty() ? "" : "\n") + ("control " + word(f[0]) + " " + word(id));
                }
            }
            if (m_model.list(f[0], prefix) != reply)
                line.clear();
        }
    } else {
        return;
    }
    // Asked before in this step, the facility's answer is settled for the whole step, even where
    // it needed no line: a line now would change what the earlier query got.
    const bool settled = !touched.insert(key).second;
    if (now == reply)
        return;
    if (line.empty() || settled) {
        note("the field answered " + cmd + " with " + (reply ? "'" + *reply + "'" : "null") +
                 ", which no facility line here can give",
             c);
        return;
    }
    lines.push_back(line);
}

// A revertive the host delivered inside RC or RP: the router is made inline for that one step,
// with the crosspoint and the source's name the facility needs to send that very revertive.
// False when the facility would not (another command, another router, another destination).
bool Converter::inlined(const Call& command, const Call& revertive, std::vector<std::string>& lines,
                        std::set<int>& routers) {
    const zb_payload& p = revertive.message.u.call.data;
    const std::string cmd = command.describe();
    const std::string mn = mnemonic(cmd);
    const std::vector<std::string> f = commandFields(cmd);
    if (revertive.type != 1 || p.kind != ZB_DATA_RECORD || (mn != "RC" && mn != "RP") ||
        f.size() < 3 || !toInt(f[0]) || !toInt(f[1]) || !toInt(f[2]) || *toInt(f[0]) != p.words[0])
        return false;
    const int dev = p.words[0], dest = p.words[2];
    const std::string name = text(p.text);
    int source = 0;
    if (mn == "RC") {
        if (*toInt(f[2]) != dest)
            return false;
        source = *toInt(f[1]);
    } else if (dest < *toInt(f[1]) || dest > *toInt(f[2])) {
        return false;
    } else if (auto x = m_model.crosspoints.find({dev, dest}); x != m_model.crosspoints.end()) {
        source = x->second;
    } else {
        // Routed by someone the trace does not show: the route is made while revertives are
        // still dropped, so the component hears nothing of it.
        source = m_nextSource++;
        lines.push_back("route " + std::to_string(dev) + " " + std::to_string(source) + " " +
                        std::to_string(dest));
        m_model.crosspoints[{dev, dest}] = source;
    }
    auto& known = m_model.databases[{dev, 0, source}];
    if (known != name) {
        known = name;
        lines.insert(lines.begin(), "db " + std::to_string(dev) + " 0 " + std::to_string(source) +
                                        " " + quoteText(name));
    }
    routers.insert(dev);
    return true;
}

std::string Converter::stimulus(const Call& c) {
    const zb_payload& p = c.message.u.call.data;
    const auto n = [&](int i) { return std::to_string(p.words[i]); };
    switch (c.kind) {
    case Call::Kind::Create: {
        const std::string path = text(c.message.u.create.path);
        return path.empty() ? "load" : "load " + word(path);
    }
    case Call::Kind::Destroy:
        return "unload";
    case Call::Kind::Notification:
        break;
    default:
        return {};
    }
    if (c.type == 1 && p.kind == ZB_DATA_RECORD)
        return "revertive " + n(0) + " " + n(2) + " " + quoteText(text(p.text));
    if (c.type == 6 && p.kind == ZB_DATA_RECORD) {
        m_model.databases[{p.words[0], p.words[1], p.words[3]}] = text(p.text);
        return "dbchange " + n(0) + " " + n(1) + " " + n(3) + " " + quoteText(text(p.text));
    }
    if (c.type == 2 && p.kind == ZB_DATA_BUTTON) {
        const std::string event = p.button.has_event ? eventText(p.button) : "";
        return "press " + word(text(p.button.panel)) + " " + word(text(p.button.control)) +
               (event.empty() ? "" : " " + quoteText(event));
    }
    if (c.type == 3 && p.kind == ZB_DATA_TEXT) {
        const std::string t = text(p.text);
        return "parent " + quoteText(t, t.empty());
    }
    if (c.type == 4)
        return "tick " + std::to_string(int64_t(p.value));
    if (p.kind == ZB_DATA_TEXT)
        return "raw " + std::to_string(c.type) + " " + quoteText(text(p.text), true);
    return "raw " + std::to_string(c.type);
}

// One top-level call (calls[at]) and what it caused, up to calls[end].
void Converter::step(const Calls& calls, size_t at, size_t end) {
    const Call& top = calls[at];
    if (top.kind == Call::Kind::Debug) {
        m_out += "# debug output: " + quoteText(text(top.message.u.debug.text), true) + "\n";
        return;
    }
    if (top.kind == Call::Kind::Fault || top.kind == Call::Kind::Limit) {
        note(top.describe(), top);
        return;
    }
    if (top.kind == Call::Kind::Release)
        return; // the bench hands answers back itself
    const std::string s = stimulus(top);
    if (s.empty())
        return;
    std::vector<std::string> lines, expects;
    std::set<std::string> touched;
    std::set<int> inlineRouters;
    std::vector<size_t> inside(1, at); // the call in progress at each depth (SIZE_MAX: none)
    size_t commands = 0;
    for (size_t i = at + 1; i < end; ++i) {
        const Call& c = calls[i];
        const int level = c.depth - top.depth;
        inside.resize(size_t(level) + 1, SIZE_MAX);
        inside[size_t(level)] = i;
        const size_t by = inside[size_t(level) - 1];
        const Call caller = by != SIZE_MAX ? calls[by] : top;
        if (c.kind == Call::Kind::Command) {
            query(c, lines, touched);
            const std::string cmd = c.describe();
            const std::vector<std::string> f = commandFields(cmd);
            if (mnemonic(cmd) == "TP" && f.size() >= 3) {
                const size_t eq = f[0].find('=');
                m_model.addControl(f[1], f[2])[f[0].substr(0, eq)] =
                    eq == std::string::npos ? "" : f[0].substr(eq + 1);
                touched.insert("TG " + f[1] + " " + f[2] + " " + f[0].substr(0, eq));
            }
            if (mnemonic(cmd) == "RC" && f.size() >= 3 && toInt(f[0]) && toInt(f[1]) && toInt(f[2]))
                m_model.crosspoints[{*toInt(f[0]), *toInt(f[2])}] = *toInt(f[1]);
            expects.push_back("expect " + cmd);
            ++commands;
        } else if (c.kind == Call::Kind::Notification) {
            if (caller.kind != Call::Kind::Command || !inlined(caller, c, lines, inlineRouters))
                note("the host delivered " + c.describe() + " inside " + caller.describe() +
                         "; a scenario cannot",
                     c);
        } else if (c.kind == Call::Kind::Debug) {
            expects.push_back("# debug output: " + quoteText(text(c.message.u.debug.text), true));
        } else if (c.kind == Call::Kind::Fault) {
            note(c.describe(), c);
        }
    }
    for (int dev : inlineRouters)
        lines.push_back("router " + std::to_string(dev) + " normal\nrouter " + std::to_string(dev) +
                        " inline");
    for (const std::string& l : lines)
        m_out += l + "\n";
    char when[40];
    std::snprintf(when, sizeof when, "# at %.6f s\n", double(top.time) / 1e6);
    m_out += when + s + "\n";
    if (!top.returned)
        note("the component never returned from " + top.describe(), top);
    for (const std::string& e : expects)
        m_out += e + "\n";
    if (commands == 0)
        m_out += "expect-none\n";
    if (top.kind == Call::Kind::Notification && top.type == 3 && top.returned)
        m_out += top.result ? "answer " + quoteText(*top.result, true) + "\n" : "answer none\n";
    for (int dev : inlineRouters)
        m_out += "router " + std::to_string(dev) + " normal\nrouter " + std::to_string(dev) +
                 " drop all\n";
}

std::string Converter::run(const Trace& t) {
    m_out = "# The session of the trace of " + t.header.component +
            ", converted by zeph-host trace scenario.\n";
    const Calls& calls = t.calls;
    // Every router the component talks to, declared to drop its revertives: the trace holds
    // those the component heard, and the crosspoints are kept for the revertives made inline.
    std::set<int> routers;
    for (const Call& c : calls) {
        const std::string cmd = c.kind == Call::Kind::Command ? c.describe() : "";
        const std::string mn = mnemonic(cmd);
        const std::vector<std::string> f = commandFields(cmd);
        if ((mn == "RC" || mn == "RP" || mn == "RR" || mn == "RU") && !f.empty() && toInt(f[0]))
            routers.insert(*toInt(f[0]));
    }
    for (int dev : routers)
        m_out += "router " + std::to_string(dev) + " drop all\n";
    for (size_t at = 0; at < calls.size();) {
        size_t end = at + 1;
        while (end < calls.size() && calls.depth(end) > calls.depth(at) &&
               calls.thread(end) == calls.thread(at))
            ++end;
        if (calls.depth(at) == 0 && !calls.toHost(at))
            step(calls, at, end);
        else
            note("a call outside any notification: " + calls[at].describe(), calls[at]);
        at = end;
    }
    return m_out;
}
} // namespace

std::string toScenario(const Trace& t, std::vector<std::string>& notes) {
    return Converter(notes).run(t);
}

} // namespace zeph::bench::trace
