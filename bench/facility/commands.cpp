// The facility's side of each command a component sends: one handler per mnemonic, in one table.
#include "facility/facility.h"
#include "scenario/parser.h"

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
    if (told(Event::Kind::Command))
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

bool Facility::panelShown(const Command& c) const {
    static const std::vector<std::string> none;
    const std::vector<std::string>& files = m_rare ? m_rare->panelFiles : none;
    bool accepted = files.empty();
    if (c.fields.size() >= 2)
        for (const std::string& file : files)
            accepted = accepted || lastPathPart(c.field(1)) == file;
    return accepted;
}

// PS is not a query: the host only tells whether the panel was shown (non-null) or not.
std::optional<std::string> Facility::replyPS(int endpoint, const Command& c) {
    bool accepted = panelShown(c);
    if (m_rare && m_rare->panelShowOverride)
        accepted = m_rare->panelShowOverride();
    ep(endpoint).host.setPanelShowAccepted(accepted);
    return accepted ? std::optional<std::string>("1") : std::nullopt;
}

// ---- Answering as another facility did ---------------------------------------------------------

namespace {
// The panel a control line names for a component's panel id; none for a panel of the component's
// own, which no line reaches.
std::optional<std::string> declarable(const std::string& panel) {
    if (panel.empty() || panel[0] == '@')
        return std::nullopt;
    return panel;
}

Step facilityStep(Step::Kind kind, std::vector<long long> numbers, std::vector<std::string> words,
                  std::optional<std::string> text = std::nullopt) {
    return makeStep(kind, std::move(numbers), std::move(words), std::move(text));
}

// One line, moved in (a braced list would copy it).
std::vector<Step> oneStep(Step step) {
    std::vector<Step> steps;
    steps.push_back(std::move(step));
    return steps;
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    for (size_t at = 0;;) {
        const size_t comma = list.find(',', at);
        out.push_back(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos)
            return out;
        at = comma + 1;
    }
}
} // namespace

std::optional<std::string> Facility::answerOf(int endpoint, const std::string& command) const {
    const CommandRule* rule = findRule(command);
    if (!rule || !rule->reply)
        return std::nullopt;
    const Command c(command);
    if (rule->reply == &Facility::replyPS)
        return panelShown(c) ? std::optional<std::string>("1") : std::nullopt;
    // The queries' replies only read the facility.
    return (const_cast<Facility*>(this)->*rule->reply)(endpoint, c);
}

std::optional<std::vector<Step>>
Facility::stepsAnswering(int endpoint, const std::string& command,
                         const std::optional<std::string>& reply) const {
    using K = Step::Kind;
    const std::optional<std::string> now = answerOf(endpoint, command);
    const bool panelShow = mnemonic(command) == "PS";
    if (panelShow ? now.has_value() == reply.has_value() : now == reply)
        return std::vector<Step>{};
    if (!reply)
        // Only PS can be told no once the facility knows better, and only while no file is listed.
        return panelShow && (!m_rare || m_rare->panelFiles.empty())
                   ? std::optional<std::vector<Step>>({facilityStep(K::PanelFile, {}, {"(none)"})})
                   : std::nullopt;
    const Command c(command);
    const std::string m = mnemonic(command);
    if (m == "PS" && c.fields.size() >= 2)
        return oneStep(facilityStep(K::PanelFile, {}, {lastPathPart(c.field(1))}));
    if (m == "SD" && !c.fields.empty()) {
        // "DEVICE" or "DEVICE OFFSET", as the facility writes numbers.
        const std::vector<std::string> n = commandFields("SD " + *reply);
        std::vector<long long> numbers;
        std::string written;
        for (const std::string& x : n) {
            if (!toInt(x))
                return std::nullopt;
            numbers.push_back(*toInt(x));
            written += (written.empty() ? "" : " ") + std::to_string(*toInt(x));
        }
        if (numbers.empty() || numbers.size() > 2 || written != *reply)
            return std::nullopt;
        return oneStep(facilityStep(K::Name, numbers, {c.field(0)}));
    }
    if (m == "RN" && c.number(0) && c.number(1) && c.number(2))
        return std::vector<Step>{
            facilityStep(K::Db, {*c.number(0), *c.number(1), *c.number(2)}, {}, *reply)};
    const std::optional<std::string> panel =
        c.fields.empty() ? std::nullopt : declarable(facilityPanel(endpoint, c.field(0)));
    if (m == "TG" && c.fields.size() >= 3 && panel) {
        const std::string prefix = c.field(2) + "=";
        if (reply->compare(0, prefix.size(), prefix) != 0)
            return std::nullopt;
        return oneStep(facilityStep(K::Control, {}, {*panel, c.field(1), *reply}));
    }
    if (m == "XI" && panel && !reply->empty()) {
        // The controls it lists already must come first and in order; the rest are added.
        const std::vector<std::string> ids = split(*reply);
        const std::vector<std::string> known =
            now && !now->empty() ? split(*now) : std::vector<std::string>{};
        if (known.size() > ids.size() || !std::equal(known.begin(), known.end(), ids.begin()))
            return std::nullopt;
        std::vector<Step> steps;
        for (size_t i = known.size(); i < ids.size(); ++i) {
            if (ids[i].compare(0, c.field(1).size(), c.field(1)) != 0 ||
                findControl(*panel, ids[i]))
                return std::nullopt;
            steps.push_back(facilityStep(K::Control, {}, {*panel, ids[i]}));
        }
        return steps;
    }
    return std::nullopt;
}

std::optional<Step> Facility::stepDeclaring(int endpoint, const std::string& command) const {
    if (mnemonic(command) != "TP")
        return std::nullopt;
    const Command c(command);
    if (c.fields.size() < 3)
        return std::nullopt;
    const std::optional<std::string> panel = declarable(facilityPanel(endpoint, c.field(1)));
    if (!panel || findControl(*panel, c.field(2)))
        return std::nullopt;
    return facilityStep(Step::Kind::Control, {}, {*panel, c.field(2)});
}

std::vector<std::string> Facility::touches(int endpoint, const std::string& command) const {
    const CommandRule* rule = findRule(command);
    if (!rule || (!rule->reply && rule->act != &Facility::actTP && rule->act != &Facility::actRC &&
                  rule->act != &Facility::actRP))
        return {};
    const std::string m = mnemonic(command);
    const Command c(command);
    const auto f = [&](size_t i) -> const std::string& { return c.field(i); };
    const size_t fields = c.fields.size();
    if (m == "SD" && fields > 0)
        return {"name " + f(0)};
    if (m == "RN" && fields >= 3)
        return {"db " + f(0) + " " + f(1) + " " + f(2)};
    if (m == "TG" && fields >= 3) {
        const std::string p = facilityPanel(endpoint, f(0));
        return {"control " + p + " " + f(1) + " " + f(2), "control " + p + " " + f(1),
                "panel " + p};
    }
    if (m == "XI" && fields > 0)
        return {"panel " + facilityPanel(endpoint, f(0))};
    if (m == "PS")
        return {"panel-file"};
    if ((m == "RC" || m == "RP") && routerOf(command))
        return {"router " + std::to_string(*routerOf(command))};
    if (m == "TP" && fields >= 3) {
        const std::string p = facilityPanel(endpoint, f(1));
        const std::string name = f(0).substr(0, f(0).find('='));
        return {"control " + p + " " + f(2) + " " + name, "control " + p + " " + f(2),
                "panel " + p};
    }
    return {};
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
