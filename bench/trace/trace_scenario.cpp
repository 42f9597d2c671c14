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
#include "trace/trace_converter.h"

#include "scenario/parser.h"
#include "scenario/quote.h"
#include "zeph_records.h"

#include "host_records.h"

#include <cstdio>

namespace zeph::bench::trace {

namespace conversion {

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

Step make(Step::Kind kind, std::vector<long long> numbers, std::vector<std::string> words,
          std::optional<std::string> text) {
    Step step;
    step.kind = kind;
    step.numbers = std::move(numbers);
    step.words = std::move(words);
    step.text = std::move(text);
    return step;
}

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
} // namespace conversion

std::string playTrace(const Trace& t, std::vector<std::string>& notes, const PlayWatch& watch) {
    conversion::Converter c(t, notes, watch);
    return c.run();
}

std::string toScenario(const Trace& t, std::vector<std::string>& notes) {
    return playTrace(t, notes, PlayWatch{});
}

} // namespace zeph::bench::trace
