// Parses scenario lines: each keyword has one grammar entry, its arguments read by their codes.
#include "scenario/parser.h"

#include "facility/text.h"
#include "scenario/grammar.h"
#include "scenario/quote.h"

#include <fstream>
#include <sstream>

namespace zeph::bench {

namespace {

// Reads the words and texts of one scenario line.
class Cursor {
public:
    explicit Cursor(const std::string& line) : m_s(line) {
        while (!m_s.empty() && (m_s.back() == ' ' || m_s.back() == '\t' || m_s.back() == '\r'))
            m_s.pop_back();
    }
    bool atEnd() {
        skip();
        return m_i >= m_s.size();
    }
    // A bare word, or a double-quoted text with escapes. False at the end of the line, or with
    // error set when a quoted text is malformed.
    bool word(std::string& out, std::string& error) {
        skip();
        if (m_i >= m_s.size())
            return false;
        if (m_s[m_i] == '"')
            return quoted(out, error);
        const size_t j = m_s.find_first_of(" \t", m_i);
        out = m_s.substr(m_i, j == std::string::npos ? std::string::npos : j - m_i);
        m_i = j == std::string::npos ? m_s.size() : j;
        return true;
    }
    // The rest of the line as one text: unescaped when it is one double-quoted text (wasQuoted
    // then says so).
    bool text(std::string& out, std::string& error, bool* wasQuoted = nullptr) {
        skip();
        const bool inQuotes = m_i < m_s.size() && m_s[m_i] == '"';
        if (wasQuoted)
            *wasQuoted = inQuotes;
        if (inQuotes) {
            if (!quoted(out, error))
                return false;
            if (!atEnd()) {
                error = "text after the closing quote";
                return false;
            }
            return true;
        }
        out = rawRest();
        return true;
    }
    std::string rawRest() {
        skip();
        std::string r = m_s.substr(std::min(m_i, m_s.size()));
        m_i = m_s.size();
        return r;
    }

private:
    void skip() {
        while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\t'))
            ++m_i;
    }
    bool quoted(std::string& out, std::string& error) {
        size_t end = 0;
        auto text = readQuoted(m_s, m_i, end, error);
        if (!text)
            return false;
        m_i = end;
        if (m_i < m_s.size() && m_s[m_i] != ' ' && m_s[m_i] != '\t') {
            error = "text after the closing quote";
            return false;
        }
        out = std::move(*text);
        return true;
    }

    std::string m_s;
    size_t m_i = 0;
};

using K = Step::Kind;
using C = Step::Class;
const Grammar kGrammar[] = {
    {"name", K::Name, C::Facility, false, "wnN", "name NAME DEVICE [OFFSET]"},
    {"db", K::Db, C::Facility, false, "nnnT", "db DEVICE DATABASE INDEX TEXT"},
    {"source", K::Source, C::Facility, false, "nnT", "source ROUTER SOURCE NAME"},
    {"router", K::Router, C::Facility, false, "n*",
     "router DEVICE [delay MS | drop [COUNT|all] | inline | normal]"},
    {"control", K::Control, C::Facility, false, "ww*",
     "control PANEL CONTROL [KIND] [PROPERTY=VALUE ...]"},
    {"panel-file", K::PanelFile, C::Facility, false, "w", "panel-file FILE"},
    {"load", K::Load, C::Lifecycle, false, "*",
     "[@NAME] load [BASE-PATH] [module=MODULE] [panel=P[,P...]] [base=PATH|null] [host=null]"},
    {"unload", K::Unload, C::Lifecycle, true, "", "unload"},
    {"skip", K::Skip, C::Lifecycle, false, "", "skip"},
    {"parent", K::Parent, C::Stimulus, true, "t", "parent TEXT"},
    {"press", K::Press, C::Stimulus, true, "wwT", "press PANEL CONTROL [EVENT]"},
    {"revertive", K::Revertive, C::Stimulus, true, "nnT", "revertive DEVICE INDEX TEXT"},
    {"dbchange", K::DbChange, C::Stimulus, false, "nnnT", "dbchange DEVICE DATABASE INDEX TEXT"},
    {"route", K::Route, C::Stimulus, false, "nnn", "route DEVICE SOURCE DESTINATION"},
    {"tick", K::Tick, C::Stimulus, true, "n", "tick ID"},
    {"raw", K::Raw, C::Stimulus, true, "n?", "raw TYPE [TEXT]"},
    {"advance", K::Advance, C::Time, false, "n", "advance MS"},
    {"answer", K::Answer, C::Expectation, false, "a", "answer \"TEXT\" | answer none"},
    {"expect", K::Expect, C::Expectation, false, "c", "expect COMMAND"},
    {"expect-none", K::ExpectNone, C::Expectation, false, "", "expect-none"},
    {"expect-parent", K::ExpectParent, C::Expectation, false, "t", "expect-parent TEXT"},
    {"expect-control", K::ExpectControl, C::Expectation, false, "wwwT",
     "expect-control PANEL CONTROL PROPERTY VALUE"},
    {"expect-route", K::ExpectRoute, C::Expectation, false, "nnn",
     "expect-route DEVICE SOURCE DESTINATION"},
    {"expect-timer", K::ExpectTimer, C::Expectation, false, "nw",
     "expect-timer ID running|stopped"},
    {"expect-debug", K::ExpectDebug, C::Expectation, false, "t", "expect-debug TEXT"},
};

// Reads the arguments of a line by its grammar. False with error set when they do not fit.
bool readArguments(Cursor& cur, const Grammar& g, Step& step, std::string& error) {
    const auto usage = [&](const std::string& why) {
        error = why + " (usage: " + g.usage + ")";
        return false;
    };
    for (const char* a = g.args; *a; ++a) {
        const bool optional = *a == 'N' || *a == 'W' || *a == '?' || *a == '*';
        if (optional && cur.atEnd())
            continue;
        std::string w;
        switch (*a) {
        case 'n':
        case 'N':
            if (!cur.word(w, error))
                return error.empty() ? usage("missing number") : false;
            if (!isNumber(w))
                return usage("\"" + w + "\" is not a number");
            step.numbers.push_back(*toNumber(w));
            break;
        case 'w':
        case 'W':
            if (!cur.word(w, error))
                return error.empty() ? usage("missing argument") : false;
            step.words.push_back(w);
            break;
        case '*':
            while (!cur.atEnd()) {
                if (!cur.word(w, error))
                    return false;
                step.words.push_back(w);
            }
            break;
        case 't':
        case 'T':
        case '?':
            if (*a == 't' && cur.atEnd())
                return usage("missing text");
            if (!cur.text(w, error))
                return false;
            step.text = w;
            break;
        case 'c':
            // As written, or quoted when the command holds what a line cannot (a newline).
            if (cur.atEnd())
                return usage("missing command");
            if (!cur.text(w, error))
                return false;
            step.text = w;
            break;
        case 'a': {
            // Only the quotes tell an answer "none" from none at all.
            bool quoted = false;
            if (cur.atEnd())
                return usage("missing text");
            if (!cur.text(w, error, &quoted))
                return false;
            if (quoted)
                step.text = w;
            else if (w != "none")
                return usage("the answer must be in double quotes");
            break;
        }
        }
    }
    if (!cur.atEnd())
        return usage("unexpected \"" + cur.rawRest() + "\"");
    return true;
}

} // namespace

const Grammar* grammarOf(Step::Kind kind) {
    for (const Grammar& g : kGrammar)
        if (g.kind == kind)
            return &g;
    return nullptr;
}

std::vector<std::string> usagesOf(Step::Class c) {
    std::vector<std::string> out;
    for (const Grammar& g : kGrammar)
        if (g.cls == c)
            out.push_back(g.usage);
    return out;
}

namespace {

std::string where(const std::string& file, int line) {
    return file + ":" + std::to_string(line) + ": ";
}

std::string called(const std::string& instance) {
    return instance.empty() ? std::string("the component") : "instance \"" + instance + "\"";
}

} // namespace

std::optional<Step> parseLine(const std::string& line, int number, std::string& error) {
    error.clear();
    Step step;
    step.line = number;
    step.source = line;
    while (!step.source.empty() && (step.source.back() == '\r' || step.source.back() == '\n'))
        step.source.pop_back();
    Cursor cur(step.source);
    std::string keyword;
    if (cur.atEnd() || (cur.word(keyword, error) && keyword[0] == '#'))
        return step;
    if (!error.empty())
        return std::nullopt;
    // Texts reach the component as C strings, which end at a NUL: none can hold one, bare or
    // quoted ("\x00" is refused alike).
    if (step.source.find('\0') != std::string::npos) {
        error = "a NUL byte, which no text can hold";
        return std::nullopt;
    }
    if (keyword[0] == '@') {
        step.instance = keyword.substr(1);
        if (!validInstanceName(step.instance)) {
            error = "\"" + keyword + "\" is no instance's name (letters, digits, '_', '-', '.')";
            return std::nullopt;
        }
        if (!cur.word(keyword, error)) {
            if (error.empty())
                error = "\"" + keyword + "\" addresses no step";
            return std::nullopt;
        }
    }
    const Grammar* g = nullptr;
    for (const Grammar& candidate : kGrammar)
        if (keyword == candidate.keyword)
            g = &candidate;
    if (!g) {
        error = "unknown keyword \"" + keyword + "\"";
        return std::nullopt;
    }
    step.kind = g->kind;
    if (!step.instance.empty() && !addressable(step.kind)) {
        error = "\"" + keyword + "\" is the facility's, not an instance's: it takes no @" +
                step.instance;
        return std::nullopt;
    }
    if (!readArguments(cur, *g, step, error))
        return std::nullopt;
    if (std::string why = checkStep(step); !why.empty()) {
        error = why + " (usage: " + g->usage + ")";
        return std::nullopt;
    }
    return step;
}

bool LineOrder::loadsAgain(const Step& step) const {
    const auto known = m_loadedAt.find(step.instance);
    return step.kind == Step::Kind::Load && known != m_loadedAt.end() && known->second;
}

std::string LineOrder::refusal(const Step& step) const {
    if (step.kind == Step::Kind::Answer && m_afterParent != step.instance) {
        const std::string at = step.instance.empty() ? "" : "@" + step.instance + " ";
        return "\"" + at + "answer\" must follow a \"" + at +
               "parent\" line (only expectations between)";
    }
    // Loading again would destroy what is loaded, and every expectation after it would be checked
    // against the new one: two panels meant, one played.
    if (loadsAgain(step))
        return called(step.instance) + " is loaded already (line " +
               std::to_string(m_loadedAt.at(step.instance)) +
               "): unload it first, or load another instance with @NAME load";
    if (step.kind != Step::Kind::Load && !step.instance.empty() && !m_loadedAt.count(step.instance))
        return "no instance \"" + step.instance + "\" is loaded before this line (@" +
               step.instance + " load ...)";
    return {};
}

void LineOrder::take(const Step& step) {
    if (step.kind == Step::Kind::Load)
        m_loadedAt[step.instance] = step.line;
    else if (step.kind == Step::Kind::Unload && m_loadedAt.count(step.instance))
        m_loadedAt[step.instance] = 0;
    if (step.kind == Step::Kind::Parent)
        m_afterParent = step.instance;
    else if (!isExpectation(step.kind) && step.kind != Step::Kind::Comment)
        m_afterParent.reset();
}

std::optional<Scenario> parseScenario(const std::string& text, const std::string& file,
                                      std::string& error) {
    Scenario s;
    s.file = file;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    LineOrder order;
    while (std::getline(in, line)) {
        ++number;
        std::string why;
        auto step = parseLine(line, number, why);
        if (!step) {
            error = where(file, number) + why;
            return std::nullopt;
        }
        if (why = order.refusal(*step); !why.empty()) {
            error = where(file, number) + why;
            return std::nullopt;
        }
        order.take(*step);
        s.steps.push_back(std::move(*step));
    }
    return s;
}

std::optional<Scenario> loadScenario(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the file";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parseScenario(text.str(), path, error);
}

} // namespace zeph::bench
