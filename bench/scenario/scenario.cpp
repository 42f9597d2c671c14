// Parses scenario lines and plays them against a component through the simulated facility.
#include "scenario/scenario.h"

#include <fstream>
#include <sstream>

namespace zeph::bench {

namespace {

// ---- Built-in scenarios -----------------------------------------------------------------------

const char* const kTakeBody =
    R"(# The road of a take on the built-in facility: configure, arm, take source 7, clear.
name pkg/mon1 201 7
name sdi 5
db 201 1 7 40,Monitor 1
db 201 0 7 12,Camera 1
router 5
source 5 1 Black
source 5 12 Camera 1
route 5 1 40
control 1 Tarnel
control 1 StateIndicate
control 1 UMD

load
expect PS '1' 'MyMonitor.zeph_ui'
expect TP 'statesheet=' '1' 'StateIndicate'
parent offState=off
expect TP 'statesheet=off' '1' 'StateIndicate'
answer none
parent onState=on
expect-none
parent instance=pkg/mon1
expect SD 'pkg/mon1'
expect RN 201 1 7
parent sdiID=sdi
expect SD 'sdi'
expect RR 5 40 40
expect RP 5 40 40
expect ET 1 10000
# The state that RP asked for arrives once the parent command has returned.
expect TP 'text=Black' '1' 'UMD'
expect ET 1

press 1 Tarnel
expect TP 'statesheet=on' '1' 'StateIndicate'
expect HN 'clear=1'
expect-parent clear=1
parent sourceID=7
expect RN 201 0 7
expect RC 5 12 40 ',' 0
expect ET 2 250
expect TP 'text=Camera 1' '1' 'UMD'
answer none
advance 249
expect-none
advance 1
expect HN 'setindex=-1'
expect ET 2
expect-parent setindex=-1
parent clear=1
expect TP 'statesheet=off' '1' 'StateIndicate'
)";

const char* const kTakeEnd = R"(
unload
expect RU 5
expect AS
)";

// Everything else a selector is asked, so that every query and answer path runs at least once.
const char* const kWorkoutExtras = R"(
control 1 alm_1 value=1
control 1 alm_2 value=3
parent return=all
parent return=myInstance
parent return=offState
parent return=onState
parent return=other
parent _events
parent _commands
parent clear=0
press 1 ActionAll alarm=ack
press 1 ActionAll alarm=2
press 1 AckAll
press 2 Tarnel
revertive 5 41 Camera 9
revertive 5 40 Camera 9
dbchange 5 0 12 Camera One
dbchange 5 1 12 Other
parent instance=pkg/unknown
parent sdiID=sdi2
tick 7
advance 20000
raw 7
raw 99 x
raw -1
)";

bool isNumber(const std::string& w) {
    if (w.empty())
        return false;
    size_t i = (w[0] == '-' || w[0] == '+') ? 1 : 0;
    if (i == w.size() || w.size() - i > 18)
        return false;
    for (; i < w.size(); ++i)
        if (w[i] < '0' || w[i] > '9')
            return false;
    return true;
}

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
    // A bare word, or a double-quoted text with escapes.
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
    // The rest of the line as one text: unescaped when it is one double-quoted text.
    bool text(std::string& out, std::string& error) {
        skip();
        if (m_i < m_s.size() && m_s[m_i] == '"') {
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
        out.clear();
        for (size_t i = m_i + 1; i < m_s.size(); ++i) {
            const char c = m_s[i];
            if (c == '"') {
                m_i = i + 1;
                if (m_i < m_s.size() && m_s[m_i] != ' ' && m_s[m_i] != '\t') {
                    error = "text after the closing quote";
                    return false;
                }
                return true;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++i >= m_s.size())
                break;
            switch (m_s[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'x': {
                auto hex = [](char h) {
                    return (h >= '0' && h <= '9')   ? h - '0'
                           : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                           : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                    : -1;
                };
                const int hi = i + 1 < m_s.size() ? hex(m_s[i + 1]) : -1;
                const int lo = i + 2 < m_s.size() ? hex(m_s[i + 2]) : -1;
                if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
                    error = "\\x needs two hex digits, not 00";
                    return false;
                }
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                error = std::string("unknown escape \\") + m_s[i];
                return false;
            }
        }
        error = "missing closing quote";
        return false;
    }

    std::string m_s;
    size_t m_i = 0;
};

struct Grammar {
    const char* keyword;
    Step::Kind kind;
    const char* args; // n: number, w: word, t: text (rest), T: optional text, W: optional word,
                      // *: any further words
    const char* usage;
};

const Grammar kGrammar[] = {
    {"name", Step::Kind::Name, "wn?", "name NAME DEVICE [OFFSET]"},
    {"db", Step::Kind::Db, "nnnT", "db DEVICE DATABASE INDEX TEXT"},
    {"source", Step::Kind::Source, "nnT", "source ROUTER SOURCE NAME"},
    {"router", Step::Kind::Router, "n*", "router DEVICE [delay MS | drop [COUNT|all] | normal]"},
    {"control", Step::Kind::Control, "ww*", "control PANEL CONTROL [PROPERTY=VALUE ...]"},
    {"panel-file", Step::Kind::PanelFile, "w", "panel-file FILE"},
    {"load", Step::Kind::Load, "W", "load [BASE-PATH]"},
    {"unload", Step::Kind::Unload, "", "unload"},
    {"parent", Step::Kind::Parent, "t", "parent TEXT"},
    {"press", Step::Kind::Press, "wwT", "press PANEL CONTROL [EVENT]"},
    {"revertive", Step::Kind::Revertive, "nnT", "revertive DEVICE INDEX TEXT"},
    {"dbchange", Step::Kind::DbChange, "nnnT", "dbchange DEVICE DATABASE INDEX TEXT"},
    {"route", Step::Kind::Route, "nnn", "route DEVICE SOURCE DESTINATION"},
    {"tick", Step::Kind::Tick, "n", "tick ID"},
    {"advance", Step::Kind::Advance, "n", "advance MS"},
    {"raw", Step::Kind::Raw, "n?", "raw TYPE [TEXT]"},
    {"skip", Step::Kind::Skip, "", "skip"},
    {"answer", Step::Kind::Answer, "t", "answer \"TEXT\" | answer none"},
    {"expect", Step::Kind::Expect, "c", "expect COMMAND"},
    {"expect-none", Step::Kind::ExpectNone, "", "expect-none"},
    {"expect-parent", Step::Kind::ExpectParent, "t", "expect-parent TEXT"},
};

// Splits a command into its mnemonic and fields, keeping the apostrophes of quoted fields.
std::vector<std::string> rawFields(const std::string& command) {
    std::vector<std::string> out;
    const size_t first = command.find(' ');
    out.push_back(command.substr(0, first));
    if (first == std::string::npos)
        return out;
    for (const std::string& f : commandFields(command))
        out.push_back(f);
    // Restore the quotes that commandFields removed, by looking at the original text.
    size_t pos = first;
    for (size_t k = 1; k < out.size(); ++k) {
        while (pos < command.size() && command[pos] == ' ')
            ++pos;
        if (pos < command.size() && command[pos] == '\'') {
            pos += out[k].size() + 2;
            out[k] = "'" + out[k] + "'";
        } else {
            pos += out[k].size();
        }
    }
    return out;
}

} // namespace

bool isExpectation(Step::Kind kind) {
    return kind == Step::Kind::Answer || kind == Step::Kind::Expect ||
           kind == Step::Kind::ExpectNone || kind == Step::Kind::ExpectParent;
}

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
    const Grammar* g = nullptr;
    for (const Grammar& candidate : kGrammar)
        if (keyword == candidate.keyword)
            g = &candidate;
    if (!g) {
        error = "unknown keyword \"" + keyword + "\"";
        return std::nullopt;
    }
    step.kind = g->kind;
    const auto usage = [&](const std::string& why) {
        error = why + " (usage: " + g->usage + ")";
        return std::nullopt;
    };
    for (const char* a = g->args; *a; ++a) {
        std::string w;
        switch (*a) {
        case 'n':
            if (!cur.word(w, error))
                return error.empty() ? usage("missing number") : std::nullopt;
            if (!isNumber(w))
                return usage("\"" + w + "\" is not a number");
            step.numbers.push_back(std::stoll(w));
            break;
        case '?':
            if (cur.atEnd())
                break;
            if (g->kind == Step::Kind::Name) {
                if (!cur.word(w, error))
                    return std::nullopt;
                if (!isNumber(w))
                    return usage("\"" + w + "\" is not a number");
                step.numbers.push_back(std::stoll(w));
            } else {
                std::string t;
                if (!cur.text(t, error))
                    return std::nullopt;
                step.text = t;
            }
            break;
        case 'w':
            if (!cur.word(w, error))
                return error.empty() ? usage("missing argument") : std::nullopt;
            step.words.push_back(w);
            break;
        case 'W':
            if (!cur.atEnd()) {
                if (!cur.word(w, error))
                    return std::nullopt;
                step.words.push_back(w);
            }
            break;
        case '*':
            while (!cur.atEnd()) {
                if (!cur.word(w, error))
                    return std::nullopt;
                step.words.push_back(w);
            }
            break;
        case 't':
        case 'T': {
            if (*a == 't' && cur.atEnd())
                return usage("missing text");
            std::string t;
            if (!cur.text(t, error))
                return std::nullopt;
            step.text = t;
            break;
        }
        case 'c':
            if (cur.atEnd())
                return usage("missing command");
            step.text = cur.rawRest();
            break;
        }
    }
    if (!cur.atEnd())
        return usage("unexpected \"" + cur.rawRest() + "\"");

    // Checks that need more than the shape of the line.
    if (step.kind == Step::Kind::Router && !step.words.empty()) {
        const std::string& mode = step.words[0];
        const size_t extra = step.words.size() - 1;
        const bool ok =
            (mode == "delay" && extra == 1 && isNumber(step.words[1]) &&
             std::stoll(step.words[1]) >= 0) ||
            (mode == "drop" &&
             (extra == 0 || (extra == 1 && (step.words[1] == "all" || isNumber(step.words[1]))))) ||
            (mode == "normal" && extra == 0);
        if (!ok)
            return usage("bad router setting");
    }
    if (step.kind == Step::Kind::Control)
        for (size_t i = 2; i < step.words.size(); ++i)
            if (step.words[i].find('=') == std::string::npos)
                return usage("\"" + step.words[i] + "\" is not PROPERTY=VALUE");
    if (step.kind == Step::Kind::Advance && step.numbers[0] < 0)
        return usage("time cannot go back");
    if (step.kind == Step::Kind::Answer && *step.text != "none" &&
        step.source.find('"') == std::string::npos)
        return usage("the answer must be in double quotes");
    for (long long n : step.numbers)
        if (n < INT32_MIN || n > INT32_MAX)
            return usage(std::to_string(n) + " is out of range");
    return step;
}

std::optional<Scenario> parseScenario(const std::string& text, const std::string& file,
                                      std::string& error) {
    Scenario s;
    s.file = file;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool afterParent = false;
    while (std::getline(in, line)) {
        ++number;
        std::string why;
        auto step = parseLine(line, number, why);
        if (!step) {
            error = file + ":" + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
        if (step->kind == Step::Kind::Answer && !afterParent) {
            error = file + ":" + std::to_string(number) +
                    ": \"answer\" must follow a \"parent\" line (only expectations between)";
            return std::nullopt;
        }
        if (step->kind == Step::Kind::Parent)
            afterParent = true;
        else if (!isExpectation(step->kind) && step->kind != Step::Kind::Comment)
            afterParent = false;
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

const std::string& builtinTakeScenario() {
    static const std::string text = std::string(kTakeBody) + kTakeEnd;
    return text;
}

const std::string& builtinWorkout() {
    static const std::string text = std::string(kTakeBody) + kWorkoutExtras + kTakeEnd;
    return text;
}

bool commandMatches(const std::string& pattern, const std::string& command) {
    if (pattern == command)
        return true;
    const std::vector<std::string> p = rawFields(pattern);
    const std::vector<std::string> c = rawFields(command);
    if (p.size() != c.size())
        return false;
    for (size_t i = 0; i < p.size(); ++i)
        if (p[i] != "*" && p[i] != c[i])
            return false;
    return true;
}

std::string quoteText(const std::string& text, bool always) {
    bool plain = !always && !text.empty() && text.front() != '"' && text.front() != ' ' &&
                 text.back() != ' ' && text.front() != '#';
    for (char c : text)
        if (c == '\n' || c == '\r' || c == '\t' || static_cast<unsigned char>(c) < 0x20)
            plain = false;
    if (plain)
        return text;
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char* hex = "0123456789abcdef";
                out += "\\x";
                out += hex[(c >> 4) & 15];
                out += hex[c & 15];
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// ---- Runner
// ---------------------------------------------------------------------------------------

Runner::Runner(zeph_factory_fn factory, RunOptions options, EventSink sink)
    : m_factory(factory), m_options(std::move(options)), m_sink(std::move(sink)),
      m_facility([this](const Event& e) { onEvent(e); }) {
    m_endpoint = m_facility.addEndpoint();
}

Runner::~Runner() {
    finish();
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
}

void Runner::fail(const std::string& message) {
    std::string where = m_file + ":" + (m_finishing ? "end" : std::to_string(m_line));
    m_result.failures.push_back(where + ": " + message);
    if (m_sink) {
        Event e;
        e.kind = Event::Kind::Failure;
        e.time = m_facility.now();
        e.text = message;
        e.file = m_file;
        e.line = m_line;
        m_sink(e);
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
    ++m_result.expectations;
    if (m_cursor < m_sent.size() && commandMatches(pattern, m_sent[m_cursor])) {
        ++m_cursor;
        if (m_sink) {
            Event e;
            e.kind = Event::Kind::Expect;
            e.time = m_facility.now();
            e.text = "expect " + pattern;
            e.file = m_file;
            e.line = m_line;
            m_sink(e);
        }
    } else {
        fail("expected `" + pattern + "`; " + sentSinceMark());
        if (m_cursor < m_sent.size())
            ++m_cursor;
    }
    m_mark = m_cursor;
}

void Runner::play(const Step& step, const std::string& file) {
    m_file = file;
    m_line = step.line;
    const auto& n = step.numbers;
    const auto& w = step.words;
    const std::string text = step.text.value_or("");
    const size_t sentBefore = m_sent.size();
    const size_t parentsBefore = m_parents.size();

    if (isExpectation(step.kind)) {
        if (!m_options.checkExpectations)
            return;
        switch (step.kind) {
        case Step::Kind::Expect:
            expectCommand(text);
            break;
        case Step::Kind::ExpectNone:
            ++m_result.expectations;
            if (m_cursor < m_sent.size()) {
                fail("expected nothing to be sent; " + sentSinceMark());
                m_cursor = m_sent.size();
            }
            m_mark = m_cursor;
            break;
        case Step::Kind::ExpectParent:
            ++m_result.expectations;
            if (m_parentCursor < m_parents.size() && m_parents[m_parentCursor] == text) {
                ++m_parentCursor;
            } else {
                std::string heard =
                    m_parentCursor < m_parents.size()
                        ? "the next text the parent heard was \"" + m_parents[m_parentCursor] + "\""
                        : "the parent heard nothing more";
                fail("expected the parent to hear \"" + text + "\"; " + heard);
                if (m_parentCursor < m_parents.size())
                    ++m_parentCursor;
            }
            break;
        case Step::Kind::Answer: {
            ++m_result.expectations;
            const std::optional<std::string> want =
                text == "none" && step.source.find('"') == std::string::npos
                    ? std::nullopt
                    : std::optional<std::string>(text);
            if (!m_lastAnswer) {
                fail("\"answer\" without a parent command before it");
            } else if (*m_lastAnswer != want) {
                auto show = [](const std::optional<std::string>& a) {
                    return a ? quoteText(*a, true) : std::string("none");
                };
                fail("expected the answer " + show(want) + "; the component answered " +
                     show(*m_lastAnswer));
            }
            break;
        }
        default:
            break;
        }
        return;
    }

    const bool describes = step.kind >= Step::Kind::Name && step.kind <= Step::Kind::PanelFile;
    if (m_sink && step.kind != Step::Kind::Comment && !describes) {
        Event e;
        e.kind = Event::Kind::Step;
        e.time = m_facility.now();
        e.text = step.source;
        e.file = file;
        e.line = step.line;
        m_sink(e);
    }

    Facility& f = m_facility;
    const int c = m_endpoint;
    bool notification = true;
    switch (step.kind) {
    case Step::Kind::Comment:
        notification = false;
        break;
    case Step::Kind::Name:
        f.setName(w[0], static_cast<int>(n[0]),
                  n.size() > 1 ? std::optional<int>(static_cast<int>(n[1])) : std::nullopt);
        notification = false;
        break;
    case Step::Kind::Db:
        f.setDatabase(static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2]), text);
        notification = false;
        break;
    case Step::Kind::Source:
        f.addRouter(static_cast<int>(n[0]));
        f.setDatabase(static_cast<int>(n[0]), 0, static_cast<int>(n[1]), text);
        notification = false;
        break;
    case Step::Kind::Router: {
        const int dev = static_cast<int>(n[0]);
        f.addRouter(dev);
        if (!w.empty() && w[0] == "delay") {
            f.setRouterDelay(dev, std::stoll(w[1]));
        } else if (!w.empty() && w[0] == "drop") {
            f.setRouterDrop(dev, w.size() < 2 || w[1] == "all" ? -1 : std::stoi(w[1]));
        } else if (!w.empty() && w[0] == "normal") {
            f.setRouterDelay(dev, 0);
            f.setRouterDrop(dev, 0);
        }
        notification = false;
        break;
    }
    case Step::Kind::Control: {
        std::map<std::string, std::string> props;
        for (size_t i = 2; i < w.size(); ++i) {
            const size_t eq = w[i].find('=');
            props[w[i].substr(0, eq)] = w[i].substr(eq + 1);
        }
        f.addControl(w[0], w[1], props);
        notification = false;
        break;
    }
    case Step::Kind::PanelFile:
        f.acceptPanelFile(w[0]);
        notification = false;
        break;
    case Step::Kind::Load:
        if (!f.load(c, m_factory, w.empty() ? m_options.basePath : w[0])) {
            m_result.loadFailed = true;
            fail("the factory returned null");
        }
        break;
    case Step::Kind::Unload:
        f.unload(c);
        break;
    case Step::Kind::Parent:
        m_lastAnswer = f.parent(c, text);
        break;
    case Step::Kind::Press:
        f.press(c, w[0], w[1], text);
        break;
    case Step::Kind::Revertive:
        f.revertive(c, static_cast<int>(n[0]), static_cast<int>(n[1]), text);
        break;
    case Step::Kind::DbChange:
        f.databaseChange(static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2]),
                         text);
        break;
    case Step::Kind::Route:
        f.route(static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2]));
        break;
    case Step::Kind::Tick:
        f.tick(c, static_cast<int>(n[0]));
        break;
    case Step::Kind::Advance:
        f.advance(n[0]);
        break;
    case Step::Kind::Raw:
        f.raw(c, static_cast<int>(n[0]), step.text);
        break;
    case Step::Kind::Skip:
        forgetSent();
        notification = false;
        break;
    default:
        break;
    }
    if (step.kind != Step::Kind::Parent)
        m_lastAnswer.reset();

    m_recording += step.source + "\n";
    if (!notification)
        return;
    for (size_t i = sentBefore; i < m_sent.size(); ++i)
        m_recording += "expect " + m_sent[i] + "\n";
    if (sentBefore == m_sent.size())
        m_recording += "expect-none\n";
    for (size_t i = parentsBefore; i < m_parents.size(); ++i)
        m_recording += "expect-parent " + quoteText(m_parents[i]) + "\n";
    if (step.kind == Step::Kind::Parent) {
        const auto& a = *m_lastAnswer;
        m_recording += "answer " + (a ? quoteText(*a, true) : std::string("none")) + "\n";
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

RunResult Runner::run(const Scenario& scenario) {
    for (const Step& step : scenario.steps)
        play(step, scenario.file);
    m_file = scenario.file;
    finish();
    return m_result;
}

} // namespace zeph::bench
