// The runner's life and its one loop: each step checked, applied or delivered, then recorded.
#include "scenario/runner.h"

#include "scenario/parser.h"

#include <algorithm>
#include <utility>

namespace zeph::bench {

Runner::Runner(host::ComponentSource factory, RunOptions options, EventSink sink)
    : m_factory(factory), m_options(std::move(options)), m_sink(std::move(sink)),
      m_facility([this](const Event& e) { onEvent(e); }) {
    m_instances.push_back(Instance{});
    m_instances[0].endpoint = m_facility.addEndpoint();
    // What the runner keeps of each instance is told whatever the sink hears.
    using K = Event::Kind;
    for (int k = 0; k <= int(K::Debug); ++k)
        if (!m_options.sinkHears.empty() && !hears(K(k)) && K(k) != K::Command &&
            K(k) != K::Parent && K(k) != K::Debug && K(k) != K::HostError)
            m_facility.setUntold(K(k));
}

Runner::Instance& Runner::instance(const std::string& name) {
    for (Instance& in : m_instances)
        if (in.name == name)
            return in;
    Instance in;
    in.name = name;
    in.endpoint = m_facility.addEndpoint();
    m_instances.push_back(std::move(in));
    return m_instances.back();
}

Runner::Instance* Runner::byEndpoint(int endpoint) {
    for (Instance& in : m_instances)
        if (in.endpoint == endpoint)
            return &in;
    return nullptr;
}

std::vector<Runner::InstanceView> Runner::instances() const {
    std::vector<InstanceView> out;
    for (const Instance& in : m_instances)
        out.push_back(InstanceView{in.name, in.endpoint, in.faulted});
    return out;
}

std::optional<int> Runner::endpointOf(const std::string& name) const {
    for (const Instance& in : m_instances)
        if (in.name == name)
            return in.endpoint;
    return std::nullopt;
}

Runner::~Runner() {
    finish();
}

RunResult Runner::run(const Scenario& scenario) {
    for (const Step& step : scenario.steps)
        play(step, scenario.file);
    conclude(scenario.file);
    return m_result;
}

void Runner::conclude(const std::string& file) {
    m_file = file;
    finish();
    noExpectation();
}

void Runner::play(const Step& step, const std::string& file) {
    m_file = file;
    m_line = step.line;
    if (isExpectation(step.kind)) {
        m_sawExpectation = true;
        if (m_options.checkExpectations)
            check(step);
        return;
    }
    // A comment is no step: an answer may still follow it; it is recorded as it is.
    if (step.kind == Step::Kind::Comment) {
        appendLine(step.source);
        return;
    }
    m_stepInstance = step.instance;
    // This step's alone: the facility lines a converter plays inside it leave it be.
    const bool answerUnrecorded = std::exchange(m_answerUnrecorded, false);
    resynchronise();
    for (Instance& in : m_instances)
        in.lastAnswer.reset();
    // Where each instance's records stood before the step (a step may add an instance).
    std::vector<Mark> before;
    for (const Instance& in : m_instances)
        before.push_back(Mark{in.sent.size(), in.parents.size(), in.debugs.size()});
    m_refused = false;
    if (describesFacility(step.kind))
        apply(step);
    else
        deliver(step);
    // A step refused before it did anything (a second load) stays out of the recording, which
    // would not read back with it.
    m_answerUnrecorded = answerUnrecorded;
    if (!m_refused)
        record(step, before);
    m_answerUnrecorded = false;
}

void Runner::appendLine(const std::string& line) {
    if (m_recordSink) {
        m_recordSink(line);
        return;
    }
    m_recording += line;
    m_recording += '\n';
}

void Runner::record(const Step& step, const std::vector<Mark>& before) {
    appendLine(step.source);
    if (step.kind == Step::Kind::Skip || describesFacility(step.kind))
        return;
    // What each instance sent and raised, in the order the instances came; the step's own says
    // expect-none when it sent nothing, and its answer.
    Step expectation;
    const auto line = [&](Step::Kind kind, const std::string& instance,
                          const std::optional<std::string>& text) {
        expectation.kind = kind;
        expectation.instance = instance;
        expectation.text = text;
        appendLine(stepText(expectation));
    };
    for (size_t k = 0; k < m_instances.size(); ++k) {
        const Instance& in = m_instances[k];
        const Mark from = k < before.size() ? before[k] : Mark{};
        const size_t sentBefore = from.sent, parentsBefore = from.parents;
        for (size_t i = sentBefore; i < in.sent.size(); ++i)
            line(Step::Kind::Expect, in.name, in.sent[i]);
        // A facility of named instances only has no unnamed one to say nothing of.
        const bool speaks = !in.name.empty() || in.everLoaded || m_instances.size() == 1;
        if (sentBefore == in.sent.size() && in.name == step.instance && speaks)
            line(Step::Kind::ExpectNone, in.name, std::nullopt);
        for (size_t i = parentsBefore; i < in.parents.size(); ++i)
            line(Step::Kind::ExpectParent, in.name, in.parents[i]);
        for (size_t i = from.debugs; i < in.debugs.size(); ++i)
            line(Step::Kind::ExpectDebug, in.name, in.debugs[i]);
        if (step.kind == Step::Kind::Parent && in.name == step.instance && in.lastAnswer &&
            !m_answerUnrecorded)
            line(Step::Kind::Answer, in.name, *in.lastAnswer);
    }
}

void Runner::resynchronise() {
    for (Instance& in : m_instances) {
        if (in.commandsLost) {
            in.cursor = in.mark = in.sent.size();
            in.commandsLost = false;
        }
        if (in.parentsLost) {
            in.parentCursor = in.parents.size();
            in.parentsLost = false;
        }
    }
}

void Runner::forgetSent() {
    for (Instance& in : m_instances) {
        in.cursor = in.mark = in.sent.size();
        in.parentCursor = in.parents.size();
    }
}

void Runner::forgetRecords() {
    // Their room is kept: the next steps fill as much again, and growing it anew cost a copy.
    for (Instance& in : m_instances) {
        in.sent.clear();
        in.parents.clear();
        in.debugs.clear();
        in.cursor = in.mark = in.parentCursor = in.debugCursor = 0;
        m_facility.forgetRecords(in.endpoint, true);
    }
}

void Runner::finish() {
    m_finishing = true;
    for (const Instance& in : m_instances)
        if (m_facility.loaded(in.endpoint))
            m_facility.unload(in.endpoint);
    m_finishing = false;
}

bool Runner::hears(Event::Kind kind) const {
    const std::vector<Event::Kind>& kinds = m_options.sinkHears;
    return m_sink && (kinds.empty() || std::find(kinds.begin(), kinds.end(), kind) != kinds.end());
}

void Runner::onEvent(const Event& event) {
    Instance* in = byEndpoint(event.component);
    // A faulted component breaks the host contract by being dead (no AS, timers left): no news.
    if (in && in->faulted && event.kind == Event::Kind::HostError)
        return;
    if (in && event.kind == Event::Kind::Command)
        in->sent.push_back(event.text);
    else if (in && event.kind == Event::Kind::Parent)
        in->parents.push_back(event.text);
    else if (in && event.kind == Event::Kind::Debug)
        in->debugs.push_back(event.text);
    if (hears(event.kind)) {
        Event e = event;
        e.file = m_file;
        e.line = m_line;
        if (in)
            e.instance = in->name;
        m_sink(e);
    }
    if (event.kind == Event::Kind::HostError)
        in ? fail(*in, "host contract: " + event.text) : fail("host contract: " + event.text);
    if (in && event.kind == Event::Kind::Command && m_options.checkExpectations)
        checkDeclared(*in, event.text);
}

void Runner::fail(const Instance& in, const std::string& message) {
    fail(in.name.empty() ? message : "@" + in.name + ": " + message);
}

void Runner::fail(const std::string& message) {
    std::string where = m_file + ":" + (m_finishing ? "end" : std::to_string(m_line));
    m_result.failures.push_back(where + ": " + message);
    report(Event::Kind::Failure, message);
}

void Runner::warn(const std::string& message) {
    m_result.warnings.push_back(m_file + ":" + std::to_string(m_line) + ": " + message);
    report(Event::Kind::Warning, message);
}

void Runner::report(Event::Kind kind, const std::string& text, const std::string& instance) {
    if (!hears(kind))
        return;
    Event e;
    e.kind = kind;
    e.instance = instance;
    e.time = m_facility.now();
    e.text = text;
    e.file = m_file;
    e.line = m_line;
    m_sink(e);
}

} // namespace zeph::bench
