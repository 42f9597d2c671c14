// What each recorded call becomes in the scenario: the step a top-level call is, and the facility
// lines a command needs before that step so that the plain facility answers as the field did.
#include "trace/trace_converter.h"

#include "zeph_records.h"

#include "host_records.h"

#include <cstring>

namespace zeph::bench::trace::conversion {

// The step a top-level call of the trace is; none for one a scenario cannot play (a note says).
std::optional<Step> Converter::stimulus(const Call& c, size_t at) {
    using K = Step::Kind;
    const zb_payload& p = c.message.u.call.data;
    switch (c.kind) {
    case Call::Kind::Create: {
        std::vector<std::string> words;
        if (m_named)
            words.push_back("panel=" + m_current->name); // a panel host of its own each
        const zb_text& path = c.message.u.create.path;
        if (!path.data)
            words.push_back("base=null");
        else if (path.size)
            words.push_back(text(path));
        if (!c.message.u.create.host)
            words.push_back("host=null");
        if (!c.returned || !c.value)
            note("the factory made no component", at);
        return make(K::Load, {}, words);
    }
    case Call::Kind::Destroy:
        return make(K::Unload, {});
    case Call::Kind::Notification:
    case Call::Kind::Release:
        break;
    default:
        return std::nullopt;
    }
    const auto w = [&](int i) { return (long long)p.words[i]; };
    const auto unused = [&](int i) {
        if (p.words[i])
            note("word " + std::to_string(i) + " of " + c.describe() + " is " +
                     std::to_string(p.words[i]) + ", which the bench's record leaves 0",
                 at);
    };
    if (c.type == 1 && p.kind == ZB_DATA_RECORD) {
        unused(1), unused(3);
        return make(K::Revertive, {w(0), w(2)}, {}, text(p.text));
    }
    if (c.type == 6 && p.kind == ZB_DATA_RECORD) {
        unused(2);
        return make(K::DbChange, {w(0), w(1), w(3)}, {}, text(p.text));
    }
    if (c.type == 2 && p.kind == ZB_DATA_BUTTON) {
        const zb_button_data& b = p.button;
        const std::string event = b.has_event ? eventText(b) : "";
        // The press the bench makes of these words, field by field against the recorded one.
        host::ButtonRecord made(text(b.panel), text(b.control), event);
        zb_payload q{};
        zt_payload(2, made.data(), 0, &q);
        const auto same = [](const zb_text& x, const zb_text& y) {
            return !x.data == !y.data &&
                   (!x.data || (x.size == y.size && std::memcmp(x.data, y.data, x.size) == 0));
        };
        std::string differ;
        const auto field = [&](bool ok, const std::string& name) {
            if (!ok)
                differ += (differ.empty() ? "" : ", ") + name;
        };
        field(b.word0 == q.button.word0 && b.word1 == q.button.word1, "its unused words");
        field(same(b.panel, q.button.panel) && same(b.control, q.button.control),
              "a null panel or control");
        field(!b.has_event == !q.button.has_event, "its event's presence");
        if (b.has_event && q.button.has_event) {
            field(same(b.command, q.button.command), "the event's command");
            field(same(b.value, q.button.value), "the event's value");
            for (int i = 0; i < ZB_EVENT_SUBS; ++i)
                field(same(b.sub[i], q.button.sub[i]), "sub-field " + std::to_string(i + 1));
        }
        if (!differ.empty())
            note(c.describe() + " differs from the press the bench makes in " + differ, at);
        return make(K::Press, {}, {text(b.panel), text(b.control)}, event);
    }
    if (c.type == 3 && p.kind == ZB_DATA_TEXT) {
        m_lastParent = at;
        return make(K::Parent, {}, {}, text(p.text));
    }
    if (c.type == 4)
        return make(K::Tick, {(long long)int64_t(p.value)});
    if (c.kind == Call::Kind::Release) {
        // The host handing back the component's answer: the bench's facility does that itself.
        if (c.owner.compare(0, 18, "of the answer to p") == 0 && m_lastParent) {
            m_lastParent.reset();
            return std::nullopt;
        }
        if (c.owner.compare(0, 8, "again of") == 0 || c.owner.compare(0, 6, "of the") == 0) {
            note("the host released " + c.owner.substr(c.owner.find("of") + 3) +
                     (c.owner[0] == 'a' ? " a second time" : " out of turn") +
                     "; a scenario cannot",
                 at);
            return std::nullopt;
        }
        // A null pointer, or one the host never handed out (a text of the bench's own).
        return make(K::Raw, {5}, {},
                    p.kind == ZB_DATA_HANDED ? std::optional<std::string>("?") : std::nullopt);
    }
    if (c.type == 3 && c.result)
        note("the answer to a parent notification with null data is not checked", at);
    // Data of no promised layout is not followed: a pointer is played as one (to an empty text),
    // a null as a null.
    const bool pointer = (p.kind == ZB_DATA_VALUE && p.value) || p.kind == ZB_DATA_TEXT;
    return make(K::Raw, {c.type}, {},
                pointer ? std::optional<std::string>(p.kind == ZB_DATA_TEXT ? text(p.text) : "")
                        : std::nullopt);
}

// One recorded command about to reach the facility: the lines that make the plain facility
// answer as the field did, or a control the text put needs declared, go before the step.
void Converter::command(size_t i, const Call& c) {
    const std::string cmd = text(c.message.u.call.data.text);
    const std::optional<int> endpoint =
        m_runner.endpointOf(m_current && m_named ? m_current->name : "");
    if (!endpoint)
        return;
    const Facility& f = m_runner.facility();
    const std::vector<std::string> keys = f.touches(*endpoint, cmd);
    const auto touched = [&](size_t k) { return k < keys.size() && m_touched.count(keys[k]); };
    // A line now would change what the step already read or did: a declared control, another
    // answer to the same question.
    const bool declared = touched(1) || touched(2);
    const std::string m = mnemonic(cmd);
    bool newControl = false;
    if (m == "TG") {
        const std::vector<std::string> fields = commandFields(cmd);
        newControl =
            fields.size() >= 3 && !f.hasControl(f.facilityPanel(*endpoint, fields[0]), fields[1]);
    }
    const bool settled = touched(0) || (newControl && declared);
    if (std::optional<Step> decl = m == "TP" ? f.stepDeclaring(*endpoint, cmd) : std::nullopt) {
        if (declared)
            note("text put to a control no line can declare before the step: " + cmd, i);
        else
            play(std::move(*decl));
    }
    // A revertive the host delivered inside the command: the router made inline for the step.
    const Calls& calls = m_trace.calls;
    for (size_t j = i + 1; j < calls.size() && calls.depth(j) > calls.depth(i); ++j) {
        if (calls.depth(j) != calls.depth(i) + 1 || calls.toHost(j) || settled)
            continue;
        const Call r = calls[j];
        const zb_payload& p = r.message.u.call.data;
        std::vector<Step> after;
        const std::optional<std::vector<Step>> lines =
            r.type == 1 && p.kind == ZB_DATA_RECORD
                ? f.stepsRevertingInside(*endpoint, cmd, p.words[0], p.words[2], text(p.text),
                                         after)
                : std::nullopt;
        if (!lines)
            continue; // the traced component says it was not delivered
        for (const Step& s : *lines)
            play(s);
        m_after[p.words[0]] = after;
    }
    const bool panelShow = m == "PS";
    const auto agrees = [&] {
        const std::optional<std::string> now = f.answerOf(*endpoint, cmd);
        return panelShow ? now.has_value() == c.result.has_value() : now == c.result;
    };
    if (host::isAnswered(cmd) && !agrees()) {
        std::optional<std::vector<Step>> lines = f.stepsAnswering(*endpoint, cmd, c.result);
        if (lines && !settled)
            for (Step& s : *lines)
                play(std::move(s));
        if (!lines || settled || !agrees())
            note("the field answered " + cmd + " with " +
                     (c.result ? "'" + *c.result + "'" : std::string("null")) +
                     ", which no facility line here can give",
                 i);
    } else if (!host::isAnswered(cmd) && c.result) {
        note("the field answered " + cmd + " with '" + *c.result + "'; the bench answers null", i);
    }
    // A text put changes its property; the control it reaches is declared before the step.
    m_touched.insert(keys.begin(), keys.begin() + long(std::min<size_t>(keys.size(), 2)));
}

} // namespace zeph::bench::trace::conversion
