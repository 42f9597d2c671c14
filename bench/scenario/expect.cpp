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

} // namespace zeph::bench
