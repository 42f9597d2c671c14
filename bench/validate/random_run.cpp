// The seeded random run: notifications and host replies drawn from the workout's own facility and
// words, mixed with odd texts and numbers, until the host sees a breach or the iterations run out.
// The same seed replays the same run.
#include "validate/check.h"
#include "validate/isolate.h"
#include "scenario/parser.h"

#include <algorithm>
#include <climits>
#include <random>

namespace zeph::bench {

namespace {

// Texts that trip parsers whatever the component: quotes, separators, placeholders.
const std::vector<std::string> kOddWords = {"", "=", "'", ",,", "a b", "%1", "x=", "'1' '2'"};
const std::vector<int> kOddNumbers = {0, 1, -1, 2, 999, 1000, INT_MAX, INT_MIN};

class Random {
public:
    Random(uint64_t seed, const Vocabulary& v) : m_rng(seed), m_v(v) {
        m_words = v.words;
        m_words.insert(m_words.end(), kOddWords.begin(), kOddWords.end());
        for (const std::string& p : v.parents)
            m_keys.push_back(p.substr(0, p.find('=')));
        m_keys.push_back("x");
    }
    // Plain modulo keeps the sequence the same on every standard library.
    uint64_t below(uint64_t n) { return n ? m_rng() % n : 0; }
    bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }
    template <class T> T pick(const std::vector<T>& list, const T& otherwise) {
        return list.empty() ? otherwise : list[below(list.size())];
    }
    int number() {
        if (chance(60))
            return static_cast<int>(below(50)) - 5;
        return chance(50) ? pick(m_v.numbers, 0) : pick(kOddNumbers, 0);
    }
    // One of the workout's numbers, or any number.
    int known(const std::vector<int>& list) { return chance(50) ? pick(list, 1) : number(); }
    std::string word() { return pick(m_words, std::string()); }
    std::string text() {
        switch (below(8)) {
        case 0:
            return "";
        case 1:
            return std::to_string(number());
        case 2:
            return std::to_string(number()) + "," + word();
        case 3: {
            std::string t;
            for (size_t i = 0, n = below(40); i < n; ++i)
                t += static_cast<char>(1 + below(255));
            return t;
        }
        case 4:
            return std::string(chance(50) ? 300 : 5000, static_cast<char>('a' + below(26)));
        case 5: {
            std::string t;
            for (int i = 0; i < 40; ++i)
                t += (i ? " " : "") + word();
            return t;
        }
        default:
            return word();
        }
    }
    std::string parentText() {
        const std::string key = pick(m_keys, std::string("x"));
        switch (below(7)) {
        case 0:
            return key;
        case 1:
            return key + "=" + text();
        case 2:
            return key + "=" + word();
        case 3:
            return key + "=" + std::to_string(number());
        case 4:
            return key + ".a.b=" + word();
        case 5:
            return pick(m_v.parents, key);
        default:
            return text();
        }
    }

private:
    std::mt19937_64 m_rng;
    const Vocabulary& m_v;
    std::vector<std::string> m_words;
    std::vector<std::string> m_keys;
};

// One random run: the facility of the workout, one component, and what happened lately.
struct Run {
    Run(const CheckContext& context)
        : c(context), v(context.vocabulary), r(context.options.seed, v), f([this](const Event& e) {
              const auto& kinds = c.check.kinds;
              if (e.kind == Event::Kind::HostError && e.error &&
                  std::find(kinds.begin(), kinds.end(), *e.error) != kinds.end())
                  found.push_back({*e.error, e.text});
          }) {
        for (const Step& line : v.facility)
            describe(f, line);
        f.setReplyOverride(
            [this](const std::string&,
                   const std::optional<std::string>& facility) -> std::optional<std::string> {
                if (!randomReplies)
                    return facility;
                if (r.chance(25))
                    return std::nullopt;
                return r.text();
            });
        f.setPanelShowOverride([this] { return r.chance(80); });
        endpoint = f.addEndpoint();
    }

    void step(const std::string& what) {
        const std::string line = "iteration " + std::to_string(iteration) + ": " + what;
        progress(line + " (seed " + std::to_string(c.options.seed) + ")");
        recent.push_back(line);
        if (recent.size() > 6)
            recent.erase(recent.begin());
    }

    // Each life starts configured as the take is, so that the run reaches the deep states.
    void create() {
        step("create and configure");
        randomReplies = false;
        if (!f.load(endpoint, c.factory, c.options.basePath))
            return;
        for (const std::string& text : v.configuration)
            f.parent(endpoint, text);
    }

    const CheckContext& c;
    const Vocabulary& v;
    Random r;
    Breaches found;
    Facility f;
    int endpoint = 0;
    int iteration = 0;
    bool randomReplies = false;
    std::vector<std::string> recent;
};

struct Action {
    const char* name;
    int weight;
    void (*run)(Run& x);
};

// What one iteration does, by weight.
const Action kActions[] = {
    {"parent", 5,
     [](Run& x) {
         const std::string t = x.r.parentText();
         x.step(stepText(makeStep(Step::Kind::Parent, {}, {}, t.substr(0, 60))));
         x.f.parent(x.endpoint, t);
     }},
    {"press", 3,
     [](Run& x) {
         const Press known = x.r.pick(x.v.presses, Press{"1", "x", ""});
         const std::string panel = x.r.chance(70) ? known.panel : x.r.word();
         const std::string control = x.r.chance(70) ? known.control : x.r.word();
         const std::string event = x.r.chance(50) ? known.event : x.r.parentText();
         x.step(stepText(makeStep(Step::Kind::Press, {}, {panel, control}, event.substr(0, 60))));
         x.f.press(x.endpoint, panel, control, event);
     }},
    {"revertive", 3,
     [](Run& x) {
         const int device = x.r.known(x.v.routers), index = x.r.known(x.v.destinations);
         const std::string text = x.r.text();
         x.step(stepText(makeStep(Step::Kind::Revertive, {device, index}, {}, text)));
         x.f.revertive(x.endpoint, device, index, text);
     }},
    {"database change", 2,
     [](Run& x) {
         const Record known = x.r.pick(x.v.databaseChanges, Record{});
         const int device = x.r.chance(50) ? known.device : x.r.known(x.v.routers);
         const int db = static_cast<int>(x.r.below(3));
         const int index = x.r.chance(50) ? known.index : x.r.number();
         const std::string text = x.r.text();
         x.step(stepText(makeStep(Step::Kind::DbChange, {device, db, index}, {}, text)));
         x.f.databaseChange(device, db, index, text);
     }},
    {"tick", 2,
     [](Run& x) {
         const int id = x.r.chance(60) ? x.r.pick(x.v.timers, 1) : x.r.number();
         x.step(stepText(makeStep(Step::Kind::Tick, {id})));
         x.f.tick(x.endpoint, id);
     }},
    {"advance", 1,
     [](Run& x) {
         const int64_t ms = static_cast<int64_t>(x.r.below(12000));
         x.step(stepText(makeStep(Step::Kind::Advance, {ms})));
         x.f.advance(ms);
     }},
    {"route", 1,
     [](Run& x) {
         const int device = x.r.pick(x.v.routers, 1), source = x.r.known(x.v.numbers);
         const int destination = x.r.pick(x.v.destinations, 1);
         x.step(stepText(makeStep(Step::Kind::Route, {device, source, destination})));
         x.f.route(device, source, destination);
     }},
    {"raw", 1,
     [](Run& x) {
         // Type 5 only ever carries a component's own answer back, so here it carries null.
         static const std::vector<int> types = {0, 5, 7, 8, -1, 99, INT_MIN};
         const int type = x.r.pick(types, 7);
         const bool data = type != ZEPH_RELEASE && x.r.chance(50);
         const std::optional<std::string> text =
             data ? std::optional<std::string>(x.r.text()) : std::nullopt;
         x.step(stepText(makeStep(Step::Kind::Raw, {type}, {}, text)));
         x.f.raw(x.endpoint, type, text);
     }},
    {"router settings", 1,
     [](Run& x) {
         const int device = x.r.pick(x.v.routers, 1);
         const int64_t delay = static_cast<int64_t>(x.r.below(3)) * 500;
         x.step(stepText(makeStep(Step::Kind::Router, {device}, {"delay", std::to_string(delay)})));
         x.f.setRouterDelay(device, delay);
         x.f.setRouterDrop(device, x.r.chance(20) ? 1 : 0);
     }},
    {"destroy and create again", 1,
     [](Run& x) {
         x.step("destroy and create again");
         x.f.unload(x.endpoint);
         if (x.found.empty())
             x.create();
     }},
};

const Action& draw(Random& r) {
    int total = 0;
    for (const Action& a : kActions)
        total += a.weight;
    int n = static_cast<int>(r.below(static_cast<uint64_t>(total)));
    for (const Action& a : kActions) {
        if (n < a.weight)
            return a;
        n -= a.weight;
    }
    return kActions[0];
}

} // namespace

CheckResult checkRandom(const CheckContext& c) {
    CheckResult out;
    Run x(c);
    x.create();
    for (x.iteration = 1; x.iteration <= c.options.iterations && x.found.empty(); ++x.iteration) {
        x.randomReplies = x.r.chance(70);
        draw(x.r).run(x);
    }
    if (x.found.empty()) {
        x.step("destroy");
        x.f.unload(x.endpoint);
    }
    if (!x.found.empty()) {
        fail(out, x.found.front().text);
        for (const std::string& line : x.recent)
            out.messages.push_back("  " + line);
    }
    out.messages.push_back(
        "seed " + std::to_string(c.options.seed) + ", " + std::to_string(c.options.iterations) +
        " iterations, " + std::to_string(x.f.notificationsDelivered()) +
        " notifications delivered, " + std::to_string(x.f.host(x.endpoint).totalCommands()) +
        " commands answered");
    return out;
}

} // namespace zeph::bench
