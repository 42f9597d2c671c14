// The trace view: the panel told from the trace's traffic, a window of its calls, and its scenario.
#include "serve/trace_view.h"

#include "facility/text.h"
#include "report/json.h"
#include "trace/trace_tools.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <optional>

namespace zeph::bench {

namespace {

using nlohmann::json;
using trace::Call;

// The calls the page may ask for on each side of the moment.
constexpr long long kMaxAround = 200;
// A text in an answer is cut here: a command or a reply may be 64 KiB, and a window holds hundreds.
constexpr size_t kMaxText = 4096;
// The panel's controls in one answer stop once their texts come to this much.
constexpr size_t kPanelBudget = 2u << 20;
// The conversion's notes in one answer: the first of them, and how many there are.
constexpr size_t kMaxNotes = 200;
// Values are kept in blocks of at least this size, so that none is ever moved or doubled.
constexpr size_t kValueBlock = 1u << 20;

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

ActionReply refuse(int status, const std::string& why) {
    return {status, errorJson(why)};
}

// The first three fields of a command after its mnemonic, as commandFields splits them ('quoted'
// texts and bare words), without a copy: how many there are, three at most.
size_t firstFields(std::string_view command, std::string_view (&f)[3]) {
    size_t count = 0;
    eachCommandField(command, [&](std::string_view text, bool) {
        f[count++] = text;
        return count < 3;
    });
    return count;
}

std::string cut(const std::string& text) {
    return text.size() <= kMaxText ? text : text.substr(0, kMaxText) + "...";
}

} // namespace

uint32_t TraceView::intern(std::string_view name) {
    auto it = m_nameIds.find(name);
    if (it != m_nameIds.end())
        return it->second;
    m_names.emplace_back(name);
    return m_nameIds.emplace(m_names.back(), uint32_t(m_names.size() - 1)).first->second;
}

// One change a call makes to the panels, kept when it concerns what the view keeps.
void TraceView::change(size_t call, std::string_view panel, std::string_view control,
                       const std::string_view* property, std::string_view value, bool press) {
    const auto more = [&] { m_moreAt = std::min(m_moreAt, call); };
    const auto p = m_nameIds.find(panel), c = m_nameIds.find(control);
    auto known = p == m_nameIds.end() || c == m_nameIds.end()
                     ? m_controlIds.end()
                     : m_controlIds.find({p->second, c->second});
    if (known == m_controlIds.end()) {
        if (m_controls.size() >= kMaxControls)
            return more();
        Control fresh;
        fresh.panel = intern(panel);
        fresh.name = intern(control);
        fresh.since = uint32_t(call);
        known =
            m_controlIds.emplace(std::make_pair(fresh.panel, fresh.name), m_controls.size()).first;
        m_controls.push_back(std::move(fresh));
    }
    Control& ctl = m_controls[known->second];
    if (press && ctl.pressedAt == UINT32_MAX)
        ctl.pressedAt = uint32_t(call);
    if (!property)
        return;
    const auto name = m_nameIds.find(*property);
    auto history =
        name == m_nameIds.end() ? ctl.properties.end() : ctl.properties.find(name->second);
    if (history == ctl.properties.end()) {
        if (ctl.properties.size() >= kMaxProperties)
            return more();
        history = ctl.properties.emplace(intern(*property), std::vector<Setting>{}).first;
    }
    if (m_values.empty() || m_values.back().capacity() - m_values.back().size() < value.size()) {
        m_values.emplace_back();
        m_values.back().reserve(std::max(kValueBlock, value.size()));
    }
    const uint32_t block = uint32_t(m_values.size() - 1);
    history->second.push_back(
        {uint32_t(call), block, uint32_t(m_values.back().size()), uint32_t(value.size())});
    m_values.back().append(value.data(), value.size());
    ++m_settings;
}

namespace {

// The download's name: the trace file's own, its characters kept to a safe few.
std::string scenarioNameFor(const std::string& file) {
    std::string stem = std::filesystem::path(file).stem().string();
    for (char& ch : stem)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '-' && ch != '_')
            ch = '_';
    return (stem.empty() || stem[0] == '.' ? "trace" + stem : stem) + ".zs";
}

json panelsJson(const TracePanels& s) {
    json panels = json::array();
    for (const auto& [id, controls] : s.panels) {
        json list = json::array();
        for (const TraceControl& c : controls) {
            json properties = json::object();
            for (const auto& [name, value] : c.properties)
                properties[utf8(name)] = utf8(value);
            list.push_back({{"panel", utf8(id)},
                            {"id", utf8(c.id)},
                            {"kind", c.pressed ? "button" : ""},
                            {"properties", properties}});
        }
        panels.push_back({{"id", utf8(id)}, {"controls", list}});
    }
    return panels;
}

json callJson(const Call& c, size_t i) {
    return {{"index", i},
            {"us", c.time},
            {"thread", c.thread},
            {"depth", c.depth},
            {"kind", trace::kindName(c.kind)},
            {"toHost", c.toHost},
            {"what", utf8(cut(c.describe()))},
            {"outcome", utf8(cut(trace::outcome(c)))}};
}

// A moment a step of the session starts at: a call into the component, not one made inside another.
bool startsStep(const trace::Calls& calls, size_t i) {
    const Call::Kind k = calls.kind(i);
    return calls.depth(i) == 0 && !calls.toHost(i) &&
           (k == Call::Kind::Notification || k == Call::Kind::Create || k == Call::Kind::Destroy);
}

std::optional<long long> number(const std::map<std::string, std::string>& query,
                                const std::string& name, long long otherwise) {
    auto it = query.find(name);
    return it == query.end() ? std::optional<long long>(otherwise) : toNumber(it->second);
}

} // namespace

// One pass over the calls: what each command and its reply, and each press, say of the panel.
TraceView::TraceView(trace::Trace t, const std::string& file)
    : m_trace(std::move(t)), m_scenarioName(scenarioNameFor(file)) {
    const trace::Calls& calls = m_trace.calls;
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call::Kind k = calls.kind(i);
        if (k != Call::Kind::Command && k != Call::Kind::Notification)
            continue;
        const zb_message m = calls.message(i);
        const zb_payload& p = m.u.call.data;
        if (k == Call::Kind::Notification) {
            if (m.u.call.type == 2 && p.kind == ZB_DATA_BUTTON)
                change(i, trace::text(p.button.panel), trace::text(p.button.control), nullptr, "",
                       true);
            continue;
        }
        // Most commands say nothing of the panel: those are passed over on their first word.
        const std::string_view cmd(p.text.data ? p.text.data : "", p.text.size);
        const std::string_view mn = cmd.substr(0, 2);
        if ((cmd.size() > 2 && cmd[2] != ' ') || (mn != "TP" && mn != "TG" && mn != "XI"))
            continue;
        std::string_view f[3];
        const size_t n = firstFields(cmd, f);
        const zb_text reply = calls.resultText(i);
        const std::string_view result(reply.data ? reply.data : "", reply.size);
        if (mn == "TP" && n >= 3) {
            // As the facility reads it: "name=value", or a bare name set empty.
            const size_t eq = f[0].find('=');
            const std::string_view name = f[0].substr(0, eq);
            change(i, f[1], f[2], &name, eq == std::string_view::npos ? "" : f[0].substr(eq + 1),
                   false);
        } else if (mn == "TG" && n >= 3 && reply.data && result.size() > f[2].size() &&
                   result.compare(0, f[2].size(), f[2]) == 0 && result[f[2].size()] == '=') {
            change(i, f[0], f[1], &f[2], result.substr(f[2].size() + 1), false);
        } else if (mn == "XI" && n >= 1 && reply.data) {
            for (size_t start = 0; start <= result.size();) {
                const size_t comma = std::min(result.find(',', start), result.size());
                if (comma > start)
                    change(i, f[0], result.substr(start, comma - start), nullptr, "", false);
                start = comma + 1;
            }
        }
    }
}

const std::string& TraceView::page() const {
    return traceViewPage();
}

std::string TraceView::scenario() const {
    const std::lock_guard<std::mutex> one(m_converting);
    std::vector<std::string> notes;
    return trace::toScenarioNoted(m_trace, notes);
}

// Only what the view keeps, each property as the last setting at or before the call said, long
// values cut, and no more controls once their texts come to the budget.
TracePanels TraceView::panelsAfter(size_t call) const {
    TracePanels s;
    s.more = call >= m_moreAt;
    size_t spent = 0;
    for (const Control& c : m_controls) {
        if (c.since > call)
            break; // the controls are kept in the order they appeared
        if (spent > kPanelBudget) {
            s.more = true;
            break;
        }
        const std::string& panel = m_names[c.panel];
        std::vector<TraceControl>& controls = s.panels[panel];
        s.index.emplace(std::make_pair(panel, m_names[c.name]), controls.size());
        TraceControl out{m_names[c.name], c.pressedAt <= call, {}};
        spent += panel.size() + out.id.size() + 64;
        for (const auto& [name, history] : c.properties) {
            auto last = std::upper_bound(history.begin(), history.end(), call,
                                         [](size_t at, const Setting& v) { return at < v.call; });
            if (last == history.begin())
                continue;
            const Setting& v = *std::prev(last);
            const size_t size = std::min<size_t>(v.size, kMaxText);
            out.properties[m_names[name]] =
                m_values[v.block].substr(v.at, size) + (size < v.size ? "..." : "");
            spent += m_names[name].size() + size + 8;
        }
        controls.push_back(std::move(out));
        ++s.controls;
    }
    return s;
}

ActionReply TraceView::read(const std::string& name,
                            const std::map<std::string, std::string>& query) const {
    if (name == "at")
        return at(query);
    if (name == "notes")
        return notes();
    if (name != "summary")
        return refuse(404, "nothing is served here");
    return {200, dump({{"title", utf8(cut(trace::headerLine(m_trace.header)))},
                       {"component", utf8(cut(m_trace.header.component))},
                       {"calls", m_trace.calls.size()},
                       {"limited", m_trace.limited},
                       {"cutAt", m_trace.cutAt ? json(*m_trace.cutAt) : json()},
                       {"scenario", m_scenarioName}})};
}

// The conversion's notes, from the first ask on: the text it makes is not kept.
ActionReply TraceView::notes() const {
    const std::lock_guard<std::mutex> one(m_converting);
    if (!m_notes) {
        std::vector<std::string> all;
        trace::toScenarioNoted(m_trace, all);
        json notes = json::array();
        for (size_t i = 0; i < all.size() && i < kMaxNotes; ++i)
            notes.push_back(utf8(cut(all[i])));
        m_notes = dump({{"count", all.size()}, {"notes", notes}});
    }
    return {200, *m_notes};
}

ActionReply TraceView::at(const std::map<std::string, std::string>& query) const {
    const trace::Calls& calls = m_trace.calls;
    if (calls.empty())
        return refuse(404, "the trace holds no call");
    const long long last = static_cast<long long>(calls.size()) - 1;
    const std::optional<long long> call = number(query, "call", -1);
    if (!call || *call < 0 || *call > last)
        return refuse(400, "call: a number from 0 to " + std::to_string(last));
    const std::optional<long long> around = number(query, "around", 12);
    if (!around || *around < 0 || *around > kMaxAround)
        return refuse(400, "around: a number from 0 to " + std::to_string(kMaxAround));
    auto seek = query.find("seek");
    size_t now = size_t(*call);
    if (seek != query.end() && seek->second == "next") {
        for (size_t i = now + 1; i < calls.size(); ++i)
            if (startsStep(calls, i)) {
                now = i;
                break;
            }
    } else if (seek != query.end() && seek->second == "previous") {
        for (size_t i = now; i-- > 0;)
            if (startsStep(calls, i)) {
                now = i;
                break;
            }
    } else if (seek != query.end()) {
        return refuse(400, "seek: next or previous");
    }
    json timeline = json::array();
    const size_t from = now > size_t(*around) ? now - size_t(*around) : 0;
    for (size_t i = from; i < calls.size() && i <= now + size_t(*around); ++i)
        timeline.push_back(callJson(calls[i], i));
    const TracePanels panels = panelsAfter(now);
    return {200, dump({{"call", now},
                       {"calls", calls.size()},
                       {"us", calls.time(now)},
                       {"panels", panelsJson(panels)},
                       {"more", panels.more},
                       {"timeline", timeline}})};
}

} // namespace zeph::bench
