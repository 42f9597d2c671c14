// Reads a workout's scenarios for the facility, the configuration and the words they use.
#include "workout/vocabulary.h"

#include "scenario/parser.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>

namespace zeph::bench {

namespace {

template <class T> void addOnce(std::vector<T>& list, const T& item) {
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

std::optional<int> toInt(const std::string& text) {
    int n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (ec != std::errc() || ptr != end || text.empty())
        return std::nullopt;
    return n;
}

class Reader {
public:
    explicit Reader(Vocabulary& v) : m_v(v) {}

    void number(long long n) { addOnce(m_v.numbers, static_cast<int>(n)); }

    // The text itself, and for "key=value" its key and its value.
    void words(const std::string& text) {
        if (text.empty())
            return;
        addOnce(m_v.words, text);
        if (auto n = toInt(text))
            number(*n);
        const size_t eq = text.find('=');
        if (eq != std::string::npos) {
            words(text.substr(0, eq));
            words(text.substr(eq + 1));
        }
    }

    void step(const Step& s) {
        if (s.kind == Step::Kind::ExpectTimer) {
            // A timer of the component's; "running" and "stopped" are the language's words.
            addOnce(m_v.timers, static_cast<int>(s.numbers[0]));
            return;
        }
        for (long long n : s.numbers)
            number(n);
        for (const std::string& w : s.words)
            words(w);
        const std::string text = s.text.value_or("");
        const auto num = [&](size_t i) { return static_cast<int>(s.numbers[i]); };
        switch (s.kind) {
        case Step::Kind::Router:
            addOnce(m_v.routers, num(0));
            break;
        case Step::Kind::Parent:
            addOnce(m_v.parents, text);
            break;
        case Step::Kind::Press:
            addOnce(m_v.presses, Press{s.words[0], s.words[1], text});
            break;
        case Step::Kind::Revertive:
            addOnce(m_v.revertives, Record{num(0), 0, num(1), text});
            addOnce(m_v.destinations, num(1));
            break;
        case Step::Kind::DbChange:
            addOnce(m_v.databaseChanges, Record{num(0), num(1), num(2), text});
            break;
        case Step::Kind::Route:
            addOnce(m_v.destinations, num(2));
            break;
        case Step::Kind::Tick:
            addOnce(m_v.timers, num(0));
            break;
        case Step::Kind::Expect: {
            // The component's own commands name its timers and the texts it shows.
            const std::vector<std::string> fields = commandFields(text);
            if (mnemonic(text) == "ET" && !fields.empty())
                if (auto id = toInt(fields[0]))
                    addOnce(m_v.timers, *id);
            for (const std::string& f : fields)
                words(f);
            return;
        }
        default:
            break;
        }
        if (s.kind != Step::Kind::Comment)
            words(text);
    }

private:
    Vocabulary& m_v;
};

} // namespace

bool describesWorld(const Step& step) {
    return describesFacility(step.kind) || step.kind == Step::Kind::Route;
}

Vocabulary vocabularyOf(const Workout& workout) {
    Vocabulary v;
    Reader reader(v);
    std::set<std::string> described;
    for (const Scenario& scenario : workout.scenarios) {
        bool loaded = false;
        for (const Step& s : scenario.steps) {
            reader.step(s);
            loaded = loaded || s.kind == Step::Kind::Load;
            if (!describesWorld(s) || (loaded && s.kind == Step::Kind::Route))
                continue;
            Step line = s;
            if (line.kind == Step::Kind::Router) {
                // A scenario's delays and drops are its own business, not the facility's.
                line.words.clear();
                line.source = stepText(line);
            }
            if (described.insert(line.source).second)
                v.facility.push_back(std::move(line));
        }
    }
    const Scenario* take = workout.take();
    if (!take && !workout.scenarios.empty())
        take = &workout.scenarios.front();
    if (take) {
        bool loaded = false;
        for (const Step& s : take->steps) {
            if (!loaded) {
                loaded = s.kind == Step::Kind::Load;
            } else if (s.kind == Step::Kind::Parent) {
                v.configuration.push_back(s.text.value_or(""));
            } else if (s.kind != Step::Kind::Comment && !isExpectation(s.kind)) {
                break;
            }
        }
    }
    return v;
}

void describe(Facility& f, const Step& step) {
    if (step.kind == Step::Kind::Route)
        deliverStimulus(f, 0, step);
    else
        applyFacilityLine(f, step);
}

} // namespace zeph::bench
