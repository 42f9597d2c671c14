// The runner's check stage: each expectation against what the component sent, heard or answered.
#include "scenario/runner.h"

#include "scenario/parser.h"
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
    Instance& in = instance(step.instance);
    switch (step.kind) {
    case Step::Kind::Expect:
        expectCommand(in, text);
        break;
    case Step::Kind::ExpectNone:
        expectNothing(in);
        break;
    case Step::Kind::ExpectParent:
        expectParent(in, text);
        break;
    case Step::Kind::Answer:
        expectAnswer(in, step);
        break;
    case Step::Kind::ExpectDebug:
        expectDebug(in, text);
        break;
    case Step::Kind::ExpectControl:
    case Step::Kind::ExpectRoute:
    case Step::Kind::ExpectTimer:
        expectState(in, step);
        break;
    default:
        break;
    }
}

std::string Runner::sentSinceMark(const Instance& in) {
    if (in.mark >= in.sent.size())
        return "nothing was sent";
    std::string out = "sent since the last expectation:";
    for (size_t i = in.mark; i < in.sent.size(); ++i)
        out += "\n    " + in.sent[i] + (i == in.cursor ? "   <- compared here" : "");
    return out;
}

void Runner::expectCommand(Instance& in, const std::string& pattern) {
    if (in.commandsLost)
        return;
    ++m_result.expectations;
    if (in.cursor < in.sent.size() && commandMatches(pattern, in.sent[in.cursor])) {
        in.mark = ++in.cursor;
        report(Event::Kind::Expect, makeStep(Step::Kind::Expect, {}, {}, pattern).source, in.name);
        return;
    }
    fail(in, "expected `" + pattern + "`; " + sentSinceMark(in));
    in.commandsLost = true;
}

void Runner::expectNothing(Instance& in) {
    if (in.commandsLost)
        return;
    ++m_result.expectations;
    if (in.cursor < in.sent.size()) {
        fail(in, "expected nothing to be sent; " + sentSinceMark(in));
        in.commandsLost = true;
        return;
    }
    in.mark = in.cursor;
    // That another instance heard nothing of a step is what a facility's rows are for (a route
    // reached no other); nothing sent says it to a recording, so the line is kept. The step's own
    // instance has its expect-none from the recording already.
    if (in.name != m_stepInstance)
        appendLine(stepText(makeStep(Step::Kind::ExpectNone, {}, {}, {}, in.name)));
}

void Runner::expectParent(Instance& in, const std::string& text) {
    if (in.parentsLost)
        return;
    ++m_result.expectations;
    if (in.parentCursor < in.parents.size() && in.parents[in.parentCursor] == text) {
        ++in.parentCursor;
        return;
    }
    fail(in, "expected the parent to hear \"" + text + "\"; " +
                 (in.parentCursor < in.parents.size()
                      ? "the next text the parent heard was \"" + in.parents[in.parentCursor] + "\""
                      : std::string("the parent heard nothing more")));
    in.parentsLost = true;
}

// Each notification's diagnostics are one text, compared whole and in order.
void Runner::expectDebug(Instance& in, const std::string& text) {
    ++m_result.expectations;
    if (in.debugCursor < in.debugs.size() && in.debugs[in.debugCursor] == text) {
        ++in.debugCursor;
        return;
    }
    fail(in, "expected the component to write " + quoteText(text, true) + "; " +
                 (in.debugCursor < in.debugs.size()
                      ? "it wrote " + quoteText(in.debugs[in.debugCursor], true)
                      : std::string("it wrote nothing more")));
    in.debugCursor = in.debugs.size();
}

void Runner::expectAnswer(Instance& in, const Step& step) {
    ++m_result.expectations;
    const std::optional<std::string>& want = step.text; // none: "answer none"
    const auto show = [](const std::optional<std::string>& a) {
        return a ? quoteText(*a, true) : std::string("none");
    };
    if (!in.lastAnswer)
        fail(in, "\"answer\" without a parent command before it");
    else if (*in.lastAnswer != want)
        fail(in, "expected the answer " + show(want) + "; the component answered " +
                     show(*in.lastAnswer));
}

namespace {
// What the facility shows against what the step expects: empty when they agree, else why not.
std::string stateMismatch(const Facility& f, int endpoint, const Step& step) {
    const auto& n = step.numbers;
    const auto& w = step.words;
    switch (step.kind) {
    case Step::Kind::ExpectControl: {
        // Addressed, the panel is the instance's own id for it, as its TP names it.
        const std::string panel = step.instance.empty() ? w[0] : f.facilityPanel(endpoint, w[0]);
        const std::string shown = panel == w[0] ? panel : w[0] + " (facility panel " + panel + ")";
        if (!f.hasControl(panel, w[1]))
            return "panel " + shown + " has no control \"" + w[1] + "\"";
        const std::string want = step.text.value_or("");
        const std::string is = f.property(panel, w[1], w[2]);
        if (is == want)
            return {};
        return "expected " + w[2] + " of " + shown + " " + w[1] + " to be " +
               quoteText(want, true) + "; it is " + quoteText(is, true);
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

void Runner::expectState(Instance& in, const Step& step) {
    ++m_result.expectations;
    const std::string why = stateMismatch(m_facility, in.endpoint, step);
    if (!why.empty()) {
        fail(in, why);
        return;
    }
    report(Event::Kind::Expect, step.source, in.name);
    // Nothing that was sent tells a recording what the panel showed: the line is kept as written.
    appendLine(step.source);
}

void Runner::checkDeclared(const Instance& in, const std::string& command) {
    if (mnemonic(command) != "TP")
        return;
    const std::vector<std::string> fields = commandFields(command);
    // The facility adds an unknown control on its first TP, so each one is reported once.
    if (fields.size() < 3)
        return;
    const std::string panel = m_facility.facilityPanel(in.endpoint, fields[1]);
    if (m_facility.hasControl(panel, fields[2]))
        return;
    const bool apart = panel.compare(0, 1, "@") == 0; // a panel its load line did not give it
    const std::string message =
        (in.name.empty() ? "" : "@" + in.name + ": ") + "text put to control \"" + fields[2] +
        "\" of " + (apart ? "its panel " + fields[1] : "panel " + panel) + ", which " +
        (apart ? "its load line's panel= does not give it" : "no `control` line declares");
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
