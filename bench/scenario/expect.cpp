// The runner's check stage: each expectation against what the component sent, heard or answered.
#include "scenario/runner.h"

#include "scenario/quote.h"

namespace zeph::bench {

namespace {
// A command's mnemonic and fields, quoted fields with their apostrophes, as a pattern writes them.
std::vector<std::string> writtenFields(const std::string& command) {
    std::vector<std::string> out{command.substr(0, command.find(' '))};
    for (const CommandField& f : splitCommand(command))
        out.push_back(f.quoted ? "'" + f.text + "'" : f.text);
    return out;
}
} // namespace

bool commandMatches(const std::string& pattern, const std::string& command) {
    if (pattern == command)
        return true;
    const std::vector<std::string> p = writtenFields(pattern);
    const std::vector<std::string> c = writtenFields(command);
    if (p.size() != c.size())
        return false;
    for (size_t i = 0; i < p.size(); ++i)
        if (p[i] != "*" && p[i] != c[i])
            return false;
    return true;
}

void Runner::check(const Step& step) {
    const std::string text = step.text.value_or("");
    switch (step.kind) {
    case Step::Kind::Expect:
        expectCommand(text);
        break;
    case Step::Kind::ExpectNone:
        expectNothing();
        break;
    case Step::Kind::ExpectParent:
        expectParent(text);
        break;
    case Step::Kind::Answer:
        expectAnswer(step);
        break;
    case Step::Kind::ExpectControl:
    case Step::Kind::ExpectRoute:
    case Step::Kind::ExpectTimer:
        expectState(step);
        break;
    default:
        break;
    }
}

std::string Runner::sentSinceMark() const {
    if (m_mark >= m_sent.size())
        return "nothing was sent";
    std::string out = "sent since the last expectation:";
    for (size_t i = m_mark; i < m_sent.size(); ++i)
        out += "\n    " + m_sent[i] + (i == m_cursor ? "   <- compared here" : "");
    return out;
}

void Runner::expectCommand(const std::string& pattern) {
    if (m_commandsLost)
        return;
    ++m_result.expectations;
    if (m_cursor < m_sent.size() && commandMatches(pattern, m_sent[m_cursor])) {
        m_mark = ++m_cursor;
        report(Event::Kind::Expect, "expect " + pattern);
        return;
    }
    fail("expected `" + pattern + "`; " + sentSinceMark());
    m_commandsLost = true;
}

void Runner::expectNothing() {
    if (m_commandsLost)
        return;
    ++m_result.expectations;
    if (m_cursor < m_sent.size()) {
        fail("expected nothing to be sent; " + sentSinceMark());
        m_commandsLost = true;
        return;
    }
    m_mark = m_cursor;
}

void Runner::expectParent(const std::string& text) {
    if (m_parentsLost)
        return;
    ++m_result.expectations;
    if (m_parentCursor < m_parents.size() && m_parents[m_parentCursor] == text) {
        ++m_parentCursor;
        return;
    }
    fail("expected the parent to hear \"" + text + "\"; " +
         (m_parentCursor < m_parents.size()
              ? "the next text the parent heard was \"" + m_parents[m_parentCursor] + "\""
              : std::string("the parent heard nothing more")));
    m_parentsLost = true;
}

void Runner::expectAnswer(const Step& step) {
    ++m_result.expectations;
    const std::string& text = *step.text;
    const std::optional<std::string> want =
        text == "none" && step.source.find('"') == std::string::npos
            ? std::nullopt
            : std::optional<std::string>(text);
    const auto show = [](const std::optional<std::string>& a) {
        return a ? quoteText(*a, true) : std::string("none");
    };
    if (!m_lastAnswer)
        fail("\"answer\" without a parent command before it");
    else if (*m_lastAnswer != want)
        fail("expected the answer " + show(want) + "; the component answered " +
             show(*m_lastAnswer));
}

namespace {
// What the facility shows against what the step expects: empty when they agree, else why not.
std::string stateMismatch(const Facility& f, int endpoint, const Step& step) {
    const auto& n = step.numbers;
    const auto& w = step.words;
    switch (step.kind) {
    case Step::Kind::ExpectControl: {
        if (!f.hasControl(w[0], w[1]))
            return "panel " + w[0] + " has no control \"" + w[1] + "\"";
        const std::string want = step.text.value_or("");
        const std::string is = f.property(w[0], w[1], w[2]);
        if (is == want)
            return {};
        return "expected " + w[2] + " of " + w[0] + " " + w[1] + " to be " + quoteText(want, true) +
               "; it is " + quoteText(is, true);
    }
    case Step::Kind::ExpectRoute: {
        const int device = static_cast<int>(n[0]);
        const std::optional<int> source = f.crosspoint(device, static_cast<int>(n[2]));
        if (source == n[1])
            return {};
        return "expected router " + std::to_string(n[0]) + " to route source " +
               std::to_string(n[1]) + " to destination " + std::to_string(n[2]) + "; " +
               (source ? "it routes source " + std::to_string(*source)
                       : std::string("nothing is routed there"));
    }
    case Step::Kind::ExpectTimer: {
        const bool running = f.loaded(endpoint) && f.timerRunning(endpoint, static_cast<int>(n[0]));
        if (running == (w[0] == "running"))
            return {};
        return "expected timer " + std::to_string(n[0]) + " to be " + w[0] + "; it is " +
               (running ? "running" : "stopped");
    }
    default:
        return {};
    }
}
} // namespace

void Runner::expectState(const Step& step) {
    ++m_result.expectations;
    const std::string why = stateMismatch(m_facility, m_endpoint, step);
    if (!why.empty()) {
        fail(why);
        return;
    }
    report(Event::Kind::Expect, step.source);
    // Nothing that was sent tells a recording what the panel showed: the line is kept as written.
    m_recording += step.source + "\n";
}

void Runner::checkDeclared(const std::string& command) {
    if (mnemonic(command) != "TP")
        return;
    const std::vector<std::string> fields = commandFields(command);
    // The facility adds an unknown control on its first TP, so each one is reported once.
    if (fields.size() < 3 || m_facility.hasControl(fields[1], fields[2]))
        return;
    const std::string message = "text put to control \"" + fields[2] + "\" of panel " + fields[1] +
                                ", which no `control` line declares";
    if (m_options.strict)
        fail(message);
    else
        warn(message);
}

void Runner::noExpectation() {
    if (!m_options.checkExpectations || !m_options.requireExpectations || m_sawExpectation)
        return;
    m_finishing = true;
    fail("the scenario has no expectation, so it passes whatever the component does (--record "
         "writes one with every expectation filled in)");
    m_finishing = false;
}

} // namespace zeph::bench
