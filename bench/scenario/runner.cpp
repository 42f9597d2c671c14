// The runner's life and its one loop: each step checked, applied or delivered, then recorded.
#include "scenario/runner.h"

#include "scenario/quote.h"

namespace zeph::bench {

Runner::Runner(host::ComponentSource factory, RunOptions options, EventSink sink)
    : m_factory(factory), m_options(std::move(options)), m_sink(std::move(sink)),
      m_facility([this](const Event& e) { onEvent(e); }) {
    m_endpoint = m_facility.addEndpoint();
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
    // A comment is no step: an answer may still follow it.
    if (step.kind != Step::Kind::Comment) {
        resynchronise();
        m_lastAnswer.reset();
    }
    const size_t sentBefore = m_sent.size();
    const size_t parentsBefore = m_parents.size();
    if (describesFacility(step.kind))
        apply(step);
    else if (step.kind != Step::Kind::Comment)
        deliver(step);
    record(step, sentBefore, parentsBefore);
}

void Runner::record(const Step& step, size_t sentBefore, size_t parentsBefore) {
    m_recording += step.source + "\n";
    if (step.kind == Step::Kind::Comment || step.kind == Step::Kind::Skip ||
        describesFacility(step.kind))
        return;
    for (size_t i = sentBefore; i < m_sent.size(); ++i)
        m_recording += "expect " + quoteText(m_sent[i]) + "\n";
    if (sentBefore == m_sent.size())
        m_recording += "expect-none\n";
    for (size_t i = parentsBefore; i < m_parents.size(); ++i)
        m_recording += "expect-parent " + quoteText(m_parents[i]) + "\n";
    if (step.kind == Step::Kind::Parent) {
        const auto& a = *m_lastAnswer;
        m_recording += "answer " + (a ? quoteText(*a, true) : std::string("none")) + "\n";
    }
}

void Runner::resynchronise() {
    if (m_commandsLost) {
        m_cursor = m_mark = m_sent.size();
        m_commandsLost = false;
    }
    if (m_parentsLost) {
        m_parentCursor = m_parents.size();
        m_parentsLost = false;
    }
}

void Runner::forgetSent() {
    m_cursor = m_mark = m_sent.size();
    m_parentCursor = m_parents.size();
}

void Runner::finish() {
    if (m_facility.loaded(m_endpoint)) {
        m_finishing = true;
        m_facility.unload(m_endpoint);
        m_finishing = false;
    }
}

void Runner::onEvent(Event e) {
    e.file = m_file;
    e.line = m_line;
    if (e.kind == Event::Kind::Command)
        m_sent.push_back(e.text);
    else if (e.kind == Event::Kind::Parent)
        m_parents.push_back(e.text);
    if (m_sink)
        m_sink(e);
    if (e.kind == Event::Kind::HostError)
        fail("host contract: " + e.text);
    if (e.kind == Event::Kind::Command && m_options.checkExpectations)
        checkDeclared(e.text);
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

void Runner::report(Event::Kind kind, const std::string& text) {
    if (!m_sink)
        return;
    Event e;
    e.kind = kind;
    e.time = m_facility.now();
    e.text = text;
    e.file = m_file;
    e.line = m_line;
    m_sink(e);
}

} // namespace zeph::bench
