// The facility's side of each command a component sends: one handler per mnemonic, in one table.
#include "facility/facility.h"

#include <algorithm>

namespace zeph::bench {

namespace {
std::string lastPathPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
} // namespace

// A reply is worked out before the command is reported (the transcript shows it with the command);
// an effect is carried out after, so that what it causes follows the command.
struct Facility::CommandRule {
    const char* mnemonic;
    std::optional<std::string> (Facility::*reply)(int endpoint, const Command& c);
    std::string (Facility::*act)(int endpoint, const Command& c);
};

const Facility::CommandRule* Facility::findRule(const std::string& command) {
    static const CommandRule rules[] = {
        {"HN", nullptr, &Facility::actHN},
        {"TP", nullptr, &Facility::actTP},
        {"PS", &Facility::replyPS, nullptr},
        {"SD", &Facility::replySD, nullptr},
        {"RN", &Facility::replyRN, nullptr},
        {"XI", &Facility::replyXI, nullptr},
        {"TG", &Facility::replyTG, nullptr},
        {"RC", nullptr, &Facility::actRC},
        {"RR", nullptr, &Facility::actRR},
        {"RU", nullptr, &Facility::actRU},
        {"RP", nullptr, &Facility::actRP},
        {"ET", nullptr, &Facility::actET},
        {"AS", nullptr, nullptr},
    };
    // The first word, when it is two letters, without building it: every command comes here.
    if (command.size() < 2 || (command.size() > 2 && command[2] != ' '))
        return nullptr;
    for (const CommandRule& r : rules)
        if (command[0] == r.mnemonic[0] && command[1] == r.mnemonic[1])
            return &r;
    return nullptr;
}

Facility::Command::Command(const std::string& command) : text(command) {
    eachCommandField(command, [&](std::string_view field, bool) {
        if (fields.count < kRead)
            fields.texts[fields.count] = field;
        ++fields.count;
        return true;
    });
}

const std::string& Facility::Command::field(size_t i) const {
    static const std::string none;
    return i < std::min(fields.count, kRead) ? fields.texts[i] : none;
}

std::optional<int> Facility::Command::number(size_t i) const {
    return i < std::min(fields.count, kRead) ? toInt(fields.texts[i]) : std::nullopt;
}

std::optional<std::string> Facility::execute(int endpoint, const std::string& command) {
    const CommandRule* rule = findRule(command);
    const Command c(command);
    std::optional<std::string> reply;
    if (rule && rule->reply)
        reply = (this->*rule->reply)(endpoint, c);
    if (m_rare && m_rare->replyOverride && isQuery(command))
        reply = m_rare->replyOverride(command, reply);
    if (listening())
        emit(Event::Kind::Command, endpoint, command, reply);
    const std::string note = !rule       ? "unknown command"
                             : rule->act ? (this->*rule->act)(endpoint, c)
                                         : std::string();
    if (!note.empty())
        emit(Event::Kind::Note, endpoint, note);
    return reply;
}

// ---- Queries ------------------------------------------------------------------------------------

std::optional<std::string> Facility::replySD(int, const Command& c) {
    const auto& names = tables().names;
    auto it = c.fields.empty() ? names.end() : names.find(c.field(0));
    if (it == names.end())
        return std::nullopt;
    std::string reply = std::to_string(it->second.first);
    if (it->second.second)
        reply += " " + std::to_string(*it->second.second);
    return reply;
}

std::optional<std::string> Facility::replyRN(int, const Command& c) {
    auto dev = c.number(0), db = c.number(1), index = c.number(2);
    if (!dev || !db || !index)
        return std::nullopt;
    const auto& databases = tables().databases;
    auto it = databases.find({*dev, *db, *index});
    if (it == databases.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::string> Facility::replyXI(int endpoint, const Command& c) {
    auto p = c.fields.empty() ? m_panels.end() : m_panels.find(facilityPanel(endpoint, c.field(0)));
    if (p == m_panels.end())
        return std::nullopt;
    const std::string& prefix = c.field(1);
    std::string list;
    for (const Control& control : p->second)
        if (control.id.compare(0, prefix.size(), prefix) == 0)
            list += (list.empty() ? "" : ",") + control.id;
    return list;
}

std::optional<std::string> Facility::replyTG(int endpoint, const Command& c) {
    if (c.fields.size() < 3)
        return std::nullopt;
    const Control* control = findControl(facilityPanel(endpoint, c.field(0)), c.field(1));
    if (!control)
        return std::nullopt;
    auto it = control->properties.find(c.field(2));
    return c.field(2) + "=" + (it == control->properties.end() ? "" : it->second);
}

// PS is not a query: the host only tells whether the panel was shown (non-null) or not.
std::optional<std::string> Facility::replyPS(int endpoint, const Command& c) {
    static const std::vector<std::string> none;
    const std::vector<std::string>& files = m_rare ? m_rare->panelFiles : none;
    bool accepted = files.empty();
    if (c.fields.size() >= 2)
        for (const std::string& file : files)
            accepted = accepted || lastPathPart(c.field(1)) == file;
    if (m_rare && m_rare->panelShowOverride)
        accepted = m_rare->panelShowOverride();
    ep(endpoint).host.setPanelShowAccepted(accepted);
    return accepted ? std::optional<std::string>("1") : std::nullopt;
}

// ---- Effects ------------------------------------------------------------------------------------

std::string Facility::actHN(int endpoint, const Command& c) {
    // The whole rest of the command is one quoted text, apostrophes and blanks inside included.
    const std::string& t = c.text;
    const bool quoted = t.size() >= 5 && t.compare(0, 4, "HN '") == 0 && t.back() == '\'';
    const std::string text = quoted ? t.substr(4, t.size() - 5) : c.field(0);
    ep(endpoint).parentTexts.push_back(text);
    emit(Event::Kind::Parent, endpoint, text);
    return {};
}

std::string Facility::actTP(int endpoint, const Command& c) {
    if (c.fields.size() < 3)
        return "TP with fewer than three fields";
    const std::string& setting = c.field(0);
    const size_t eq = setting.find('=');
    const std::string name = setting.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : setting.substr(eq + 1);
    const std::string panel = facilityPanel(endpoint, c.field(1));
    if (Control* control = findControl(panel, c.field(2)))
        control->properties[name] = value;
    else
        m_panels[panel].push_back(Control{c.field(2), {{name, value}}, {}});
    return {};
}

std::string Facility::actRC(int, const Command& c) {
    auto dev = c.number(0), src = c.number(1), dest = c.number(2);
    auto r = dev ? m_routers.find(*dev) : m_routers.end();
    if (r == m_routers.end() || !src || !dest)
        return "no such router: crosspoint ignored";
    r->second.crosspoints[*dest] = *src;
    notifyRegistered(*dev, *dest);
    return {};
}

std::string Facility::actRR(int endpoint, const Command& c) {
    auto dev = c.number(0), first = c.number(1), last = c.number(2);
    if (!dev || !first || !last)
        return "malformed RR";
    // Without ADD the new registration replaces those held for the device.
    if (c.field(3) != "ADD")
        unregister(endpoint, *dev);
    const Registration g{*dev, *first, *last};
    ep(endpoint).registrations.push_back(g);
    listen(endpoint, g, true);
    return {};
}

std::string Facility::actRU(int endpoint, const Command& c) {
    if (auto dev = c.number(0))
        unregister(endpoint, *dev);
    return {};
}

std::string Facility::actRP(int endpoint, const Command& c) {
    auto dev = c.number(0), first = c.number(1), last = c.number(2);
    auto r = dev ? m_routers.find(*dev) : m_routers.end();
    if (r == m_routers.end() || !first || !last)
        return "no such router: poll ignored";
    // Listed first: a revertive delivered inline may lead the component to route again.
    std::vector<int> routed;
    for (auto x = r->second.crosspoints.lower_bound(*first);
         x != r->second.crosspoints.end() && x->first <= *last; ++x)
        routed.push_back(x->first);
    for (int destination : routed)
        sendRevertive(endpoint, *dev, destination);
    return {};
}

std::string Facility::actET(int endpoint, const Command& c) {
    auto id = c.number(0);
    if (!id)
        return "malformed ET";
    auto period = c.fields.size() > 1 ? toNumber(c.field(1)) : std::nullopt;
    Endpoint& e = ep(endpoint);
    dropTicks(endpoint, *id);
    if (!period || *period == 0) {
        e.timers.erase(*id);
        return {};
    }
    // A period below one tick would never let the clock move on.
    const int64_t p = std::max<int64_t>(1, *period);
    const uint64_t gen = ++m_generation;
    e.timers[*id] = Timer{p, gen};
    Queued q{};
    q.time = m_now + p;
    q.endpoint = endpoint;
    q.kind = Queued::Tick;
    q.index = *id;
    q.generation = gen;
    schedule(q);
    return {};
}

} // namespace zeph::bench
