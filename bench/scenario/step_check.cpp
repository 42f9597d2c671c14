// What a scenario step may hold, and what its kind says of it: the checks a parsed line must
// pass, the declarations of a load or control line, and whether a step reads back as written.
#include "scenario/parser.h"

#include "facility/text.h"
#include "scenario/grammar.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <iterator>
#include <set>
#include <sstream>

namespace zeph::bench {

using K = Step::Kind;

namespace {

// What a control line may declare a control to be, for whoever draws the panel.
const char* const kControlKinds[] = {"button", "text", "indicator", "alarm"};

bool isControlKind(const std::string& word) {
    for (const char* kind : kControlKinds)
        if (word == kind)
            return true;
    return false;
}

bool validRouterSetting(const std::vector<std::string>& words) {
    if (words.empty())
        return true;
    const std::string& mode = words[0];
    const size_t extra = words.size() - 1;
    if (mode == "delay")
        return extra == 1 && toNumber(words[1]).value_or(-1) >= 0;
    if (mode == "drop")
        return extra == 0 ||
               (extra == 1 && (words[1] == "all" || toInt(words[1]).value_or(-1) >= 0));
    return (mode == "normal" || mode == "inline") && extra == 0;
}

// The options a load line may give, each once.
const char* const kLoadOptions[] = {"module", "panel", "base", "host"};

std::string checkLoad(const Step& step) {
    std::set<std::string> given;
    bool bare = false;
    for (const std::string& w : step.words) {
        const size_t eq = w.find('=');
        std::string key = eq == std::string::npos ? "" : w.substr(0, eq);
        bool known = false;
        for (const char* k : kLoadOptions)
            known = known || key == k;
        if (!known) {
            if (bare)
                return "\"" + w + "\" is not module=, panel= or base=, and the base path is given";
            bare = true;
            key = "base";
        }
        if (!given.insert(key).second)
            return "the " + key + (key == "base" ? " path" : "") + " is given twice";
        const std::string value = eq == std::string::npos || !known ? w : w.substr(eq + 1);
        if (key == "host" && value != "null")
            return "host= takes null alone: the factory is called with a null host";
        if (key == "module" && (value.empty() || value.find('/') != std::string::npos))
            return "module= takes a module's name, without a folder (\"" + value + "\")";
        if (key == "panel") {
            std::istringstream list(value + ",");
            std::string panel;
            while (std::getline(list, panel, ','))
                if (panel.empty())
                    return "panel= takes panel ids separated by commas (\"" + value + "\")";
        }
    }
    return {};
}

// The arguments a step holds fit its grammar's codes as stepText writes them and readArguments
// reads them: each required one there, none left over, no text where none is read.
bool fitsGrammar(const Grammar& g, const Step& step) {
    size_t numbers = 0, words = 0;
    bool anyWords = false, text = false;
    for (const char* a = g.args; *a; ++a) {
        switch (*a) {
        case 'n':
            if (numbers++ >= step.numbers.size())
                return false;
            break;
        case 'N':
            numbers += numbers < step.numbers.size();
            break;
        case 'w':
            if (words++ >= step.words.size())
                return false;
            break;
        case 'W':
            words += words < step.words.size();
            break;
        case '*':
            anyWords = true;
            break;
        default:
            text = true;
            break;
        }
    }
    return numbers == step.numbers.size() && (anyWords || words == step.words.size()) &&
           (text || !step.text);
}

bool holdsNul(const std::string& s) {
    return s.find('\0') != std::string::npos;
}

} // namespace

std::vector<std::string> controlKinds() {
    return {std::begin(kControlKinds), std::end(kControlKinds)};
}

// What the shape of a line cannot tell: empty when the step is sound, else why not.
std::string checkStep(const Step& step) {
    if (step.kind == Step::Kind::Load)
        if (std::string why = checkLoad(step); !why.empty())
            return why;
    if (step.kind == Step::Kind::Router && !validRouterSetting(step.words))
        return "bad router setting";
    if (step.kind == Step::Kind::Control)
        for (size_t i = 2; i < step.words.size(); ++i)
            if (step.words[i].find('=') == std::string::npos &&
                (i != 2 || !isControlKind(step.words[i])))
                return "\"" + step.words[i] + "\" is not PROPERTY=VALUE" +
                       (i == 2 ? " nor a kind (button, text, indicator, alarm)" : "");
    if (step.kind == Step::Kind::ExpectTimer && step.words[0] != "running" &&
        step.words[0] != "stopped")
        return "\"" + step.words[0] + "\" is neither running nor stopped";
    if (step.kind == Step::Kind::Advance && step.numbers[0] < 0)
        return "time cannot go back";
    for (long long n : step.numbers)
        if (n < INT32_MIN || n > INT32_MAX)
            return std::to_string(n) + " is out of range";
    return {};
}

bool addressable(Step::Kind kind) {
    switch (kind) {
    case K::Load:
    case K::Unload:
    case K::Parent:
    case K::Press:
    case K::Revertive:
    case K::DbChange:
    case K::Tick:
    case K::Raw:
    case K::Answer:
    case K::Expect:
    case K::ExpectNone:
    case K::ExpectParent:
    case K::ExpectControl:
    case K::ExpectTimer:
    case K::ExpectDebug:
        return true;
    default:
        return false;
    }
}

LoadRequest loadRequest(const Step& step) {
    LoadRequest r;
    for (const std::string& w : step.words) {
        const size_t eq = w.find('=');
        const std::string key = eq == std::string::npos ? "" : w.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : w.substr(eq + 1);
        if (key == "module") {
            r.module = value;
        } else if (key == "panel") {
            std::istringstream list(value);
            for (std::string panel; std::getline(list, panel, ',');)
                r.panels.push_back(panel);
        } else if (key == "base" && value == "null") {
            r.nullBase = true;
        } else if (key == "base") {
            r.base = value;
        } else if (key == "host") {
            r.nullHost = true;
        } else {
            r.base = w;
        }
    }
    return r;
}

bool Scenario::namesInstances() const {
    for (const Step& step : steps)
        if (!step.instance.empty())
            return true;
    return false;
}

Step::Class classOf(Step::Kind kind) {
    const Grammar* g = grammarOf(kind);
    return g ? g->cls : Step::Class::None;
}

bool isStimulus(Step::Kind kind) {
    return classOf(kind) == Step::Class::Stimulus;
}

bool isExpectation(Step::Kind kind) {
    return classOf(kind) == Step::Class::Expectation;
}

bool describesFacility(Step::Kind kind) {
    return classOf(kind) == Step::Class::Facility;
}

bool needsComponent(Step::Kind kind) {
    const Grammar* g = grammarOf(kind);
    return g && g->toComponent;
}

ControlDeclaration controlDeclaration(const Step& step) {
    ControlDeclaration d;
    size_t i = 2;
    if (step.words.size() > i && isControlKind(step.words[i]))
        d.kind = step.words[i++];
    for (; i < step.words.size(); ++i) {
        const size_t eq = step.words[i].find('=');
        d.properties[step.words[i].substr(0, eq)] = step.words[i].substr(eq + 1);
    }
    return d;
}

// An instance's name: what a panel designer would call a panel's component ("mon2", "alarms").
bool validInstanceName(const std::string& name) {
    if (name.empty())
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
            return false;
    return true;
}

bool readsBack(const Step& step) {
    const Grammar* g = grammarOf(step.kind);
    if (!g || !fitsGrammar(*g, step))
        return false;
    if (!step.instance.empty() && (!validInstanceName(step.instance) || !addressable(step.kind)))
        return false;
    for (const std::string& w : step.words)
        if (holdsNul(w))
            return false;
    if (step.text && holdsNul(*step.text))
        return false;
    // A text the line always carries reads back empty where the step had none.
    if (!step.text && std::strpbrk(g->args, "tTc"))
        return false;
    return checkStep(step).empty();
}

} // namespace zeph::bench
