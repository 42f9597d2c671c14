// A trace as a scenario: the trace's notifications played as steps by the bench's own runner on
// its own facility, to a traced component (traced_component.h) that does what the field's did.
// The scenario is the runner's recording: the component's commands, answers, texts to its parent
// and diagnostics become its expectations as in any recording.
//
// While converting, the facility gives each query the field's reply; the facility lines that make
// the plain facility answer the same on replay are its own (Facility::stepsAnswering), put before
// the step that needs them. No router is declared, so the facility makes no revertive of its own;
// and the clock never advances, so no timer of its own fires: every notification the component
// hears in the replay is one the trace holds, in its order.
#include "trace/trace_tools.h"

#include "scenario/parser.h"
#include "scenario/quote.h"
#include "scenario/runner.h"
#include "trace/traced_component.h"
#include "zeph_records.h"

#include "host_records.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace zeph::bench::trace {

namespace {
// A trace time in seconds as "%.6f" writes it: in whole numbers below 10^9 s, where the division
// in doubles is exact to far less than the last digit; printf beyond (a hostile trace's times).
std::string seconds(uint64_t us) {
    if (us >= 1000000000000000ull) {
        char text[40];
        std::snprintf(text, sizeof text, "%.6f", double(us) / 1e6);
        return text;
    }
    std::string text = std::to_string(us / 1000000) + ".000000";
    for (size_t i = text.size(), left = us % 1000000; left; left /= 10)
        text[--i] = char('0' + left % 10);
    return text;
}

// A step to play: its line is written when it is played (play), once its instance is known.
Step make(Step::Kind kind, std::vector<long long> numbers, std::vector<std::string> words = {},
          std::optional<std::string> text = std::nullopt) {
    Step step;
    step.kind = kind;
    step.numbers = std::move(numbers);
    step.words = std::move(words);
    step.text = std::move(text);
    return step;
}

// One component the trace shows: made by its CREATE, addressed by the host id that CREATE gave
// it and by the handle it returned.
struct Instance {
    std::string name;
    uint32_t host = 0;
    uint64_t handle = 0;
    bool alive = false;
};

class Converter {
public:
    Converter(const Trace& t, std::vector<std::string>& notes, const PlayWatch& watch)
        : m_trace(t), m_notes(notes), m_watch(watch), m_playback(t),
          m_runner(m_playback.source(), options(bool(watch.events)),
                   [this](const Event& e) { heard(e); }) {
        Facility& f = m_runner.facility();
        f.setReplyOverride([this](const std::string&, const std::optional<std::string>&) {
            return m_playback.reply();
        });
        f.setPanelShowOverride([this] { return m_playback.reply().has_value(); });
        // What the component wrote is caught only where the trace holds some: catching costs a
        // few system calls a notification.
        for (size_t i = 0; i < t.calls.size(); ++i)
            if (t.calls.kind(i) == Call::Kind::Debug) {
                f.setCaptureDebug(true);
                break;
            }
        m_playback.onCommand = [this](size_t i, const Call& c) {
            reached(i);
            command(i, c);
        };
        m_playback.onNote = [this](const std::string& what, size_t i) { note(what, i); };
    }
    std::string run();

private:
    void reached(size_t call) {
        if (m_watch.call && !m_watch.call(call))
            m_stop = true;
    }
    // everyEvent: a watcher hears every event (the page draws the facility from them); else only
    // breaches are heard, and the facility spares the words of the rest.
    static RunOptions options(bool everyEvent) {
        RunOptions o;
        o.checkExpectations = false; // what the component does is what the recording says
        if (!everyEvent)
            o.sinkHears = {Event::Kind::HostError};
        return o;
    }
    void findInstances();
    Instance* byHandle(uint64_t handle);
    void top(size_t at, size_t end);
    std::optional<Step> stimulus(const Call& c, size_t at);
    // unanswered: a parent text the component never answered, whose answer goes unrecorded.
    void play(Step step, bool unanswered = false);
    void command(size_t i, const Call& c);
    void heard(const Event& e);
    void note(const std::string& what, size_t call) {
        if (m_done) // the runner unloading what the trace left loaded: nothing the trace shows
            return;
        std::string text = "at " + seconds(m_trace.calls.time(call)) + " s: " + what;
        Step comment;
        comment.source = "# NOTE " + text;
        if (m_watch.note)
            m_watch.note(text);
        else
            m_notes.push_back(std::move(text));
        m_runner.play(comment, m_file);
    }

    const Trace& m_trace;
    std::vector<std::string>& m_notes;
    const PlayWatch& m_watch;
    bool m_stop = false;
    TracedComponents m_playback;
    Runner m_runner;
    const std::string m_file = "trace";
    int m_line = 0;
    std::vector<Instance> m_instances;
    bool m_named = false;
    Instance* m_current = nullptr; // the instance the step in progress addresses
    size_t m_at = 0;
    std::set<std::string> m_touched;    // what the step in progress read or changed of the facility
    std::optional<size_t> m_lastParent; // the parent notification whose answer is still out
    size_t m_created = 0;               // the instances loaded so far
    size_t m_skip = 0;                  // top-level calls already played with the call before them
    size_t m_steps = 0;
    bool m_done = false;
    std::map<long long, std::vector<Step>> m_after; // by router: the lines that end a step's inline
};

// Plays one line of the scenario as the runner would read it from the file: written, and played
// as it reads back (read back only where the grammar cannot tell without reading).
void Converter::play(Step step, bool unanswered) {
    if (step.source.empty()) // made here; the facility's steps come written
        step.source = stepText(step);
    step.line = ++m_line;
    std::optional<Step> parsed;
    if (!readsBack(step)) {
        std::string error;
        parsed = parseLine(step.source, step.line, error);
        if (!parsed) {
            note("no scenario line says " + step.source + " (" + error + ")", m_at);
            return;
        }
    }
    if (unanswered)
        m_runner.leaveAnswerUnrecorded();
    const Step& played = parsed ? *parsed : step;
    m_runner.play(played, m_file);
    if (m_watch.played)
        m_watch.played(played);
}

void Converter::findInstances() {
    const Calls& calls = m_trace.calls;
    size_t alive = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls.depth(i) != 0)
            continue;
        if (calls.kind(i) == Call::Kind::Create) {
            const Call c = calls[i];
            for (Instance& in : m_instances)
                if (in.alive && in.handle == c.value) // its handle reused: that one is gone
                    in.alive = false, --alive;
            Instance in;
            in.name = "i" + std::to_string(m_instances.size() + 1);
            in.host = c.message.u.create.host;
            in.handle = c.returned ? c.value : 0;
            in.alive = in.handle != 0;
            alive += in.alive;
            m_named = m_named || alive > 1;
            m_instances.push_back(in);
        } else if (calls.kind(i) == Call::Kind::Destroy) {
            if (Instance* in = byHandle(calls.message(i).u.destroy.handle))
                in->alive = false, --alive;
        }
    }
    for (Instance& in : m_instances)
        in.alive = false;
}

Instance* Converter::byHandle(uint64_t handle) {
    Instance* found = nullptr;
    for (Instance& in : m_instances)
        if (in.alive && in.handle == handle)
            found = &in;
    return found;
}

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

void Converter::heard(const Event& e) {
    if (m_watch.events)
        m_watch.events(e);
    if (e.kind == Event::Kind::HostError)
        note("the component broke the host contract: " + e.text, m_at);
}

// One top-level call (calls[at]) and what it caused, up to calls[end].
void Converter::top(size_t at, size_t end) {
    const Calls& calls = m_trace.calls;
    const Call c = calls[at];
    m_at = at;
    reached(at);
    if (c.kind == Call::Kind::Debug) {
        note("the component wrote " + quoteText(text(c.message.u.debug.text), true) +
                 " outside any notification",
             at);
        return;
    }
    if (c.kind == Call::Kind::Fault || c.kind == Call::Kind::Limit) {
        note(c.describe(), at);
        return;
    }
    if (c.kind == Call::Kind::Create) {
        m_current = nullptr;
        for (Instance& in : m_instances)
            if (!m_current && !in.alive && in.host == c.message.u.create.host &&
                in.handle == (c.returned ? c.value : 0) &&
                size_t(&in - m_instances.data()) >= m_created)
                m_current = &in;
        if (!m_current) {
            note("a load the conversion lost track of", at);
            return;
        }
        ++m_created;
    } else {
        const uint64_t handle =
            c.kind == Call::Kind::Destroy ? c.message.u.destroy.handle : c.message.u.call.target;
        m_current = byHandle(handle);
        if (!m_current) {
            note(c.describe() + " reaches no component the trace created", at);
            return;
        }
    }
    std::optional<Step> step = stimulus(c, at);
    if (!step)
        return;
    if (m_named)
        step->instance = m_current->name;
    // What the component wrote after the call, before any other: its diagnostics of the call.
    std::vector<size_t> trailing;
    for (size_t i = end; i < calls.size() && calls.depth(i) == 0 &&
                         calls.kind(i) == Call::Kind::Debug && calls.thread(i) == c.thread;
         ++i)
        trailing.push_back(i);
    m_skip = trailing.size();
    Step comment;
    comment.source = "# at " + seconds(c.time) + " s";
    m_runner.play(comment, m_file);
    m_touched.clear();
    m_playback.expect(at, std::move(trailing));
    // A parent text the component never answered (the host stopped inside it): no answer line.
    const bool unanswered = !c.returned && step->kind == Step::Kind::Parent;
    play(std::move(*step), unanswered);
    for (auto& [router, lines] : m_after)
        for (Step& s : lines)
            play(std::move(s));
    m_after.clear();
    if (c.kind == Call::Kind::Create && c.returned && c.value)
        m_current->alive = true;
    if (c.kind == Call::Kind::Destroy)
        m_current->alive = false;
    if (!m_playback.delivered())
        note("the bench did not deliver " + c.describe(), at);
    if (!c.returned)
        note("the component never returned from " + c.describe() +
                 (unanswered ? ": its answer is not known, so the replay checks none" : ""),
             at);
    if (++m_steps % 256 == 0)
        m_runner.forgetRecords();
}

std::string Converter::run() {
    Step title;
    title.source = "# The session of the trace of " + m_trace.header.component +
                   ", converted by zeph-host trace scenario.";
    // The scenario runs to about half the trace's bytes: room for all of them, only what is
    // written of it resident.
    if (m_watch.recording)
        m_runner.recordTo(m_watch.recording);
    else
        m_runner.reserveRecording(m_trace.bytes());
    m_runner.play(title, m_file);
    if (m_watch.begin)
        m_watch.begin(m_runner);
    findInstances();
    const Calls& calls = m_trace.calls;
    // Every router the component talks to, declared to drop its revertives: the trace holds those
    // the component heard, and the crosspoints are kept for the revertives made inline.
    std::set<int> routers;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls.kind(i) != Call::Kind::Command)
            continue;
        // A routing command's mnemonic starts with R, in the trace's bytes as in its words.
        const zb_text& command = calls.message(i).u.call.data.text;
        if (!command.data || !command.size || command.data[0] != 'R')
            continue;
        if (const std::optional<int> r = Facility::routerOf(calls[i].describe()))
            routers.insert(*r);
    }
    for (int r : routers)
        play(make(Step::Kind::Router, {r}, {"drop", "all"}));
    for (size_t at = 0; at < calls.size() && !m_stop;) {
        size_t end = at + 1;
        while (end < calls.size() && calls.depth(end) > calls.depth(at) &&
               calls.thread(end) == calls.thread(at))
            ++end;
        if (m_skip > 0)
            --m_skip; // a diagnostic played with the call before it
        else if (calls.depth(at) == 0 && !calls.toHost(at))
            top(at, end);
        else
            note("a call outside any notification: " + calls[at].describe(), at);
        at = end;
    }
    reached(calls.size());
    m_done = true;
    return m_runner.takeRecording();
}
} // namespace

std::string playTrace(const Trace& t, std::vector<std::string>& notes, const PlayWatch& watch) {
    Converter c(t, notes, watch);
    return c.run();
}

std::string toScenario(const Trace& t, std::vector<std::string>& notes) {
    return playTrace(t, notes, PlayWatch{});
}

} // namespace zeph::bench::trace
