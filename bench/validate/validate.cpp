// The validate checks: each drives a component through the facility in a way that exposes one kind
// of breach of the host contract, in a forked child so that a crash or a hang is only a result.
#include "validate/validate.h"

#include "facility/facility.h"
#include "scenario/scenario.h"
#include "host_records.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <random>
#include <set>

#if defined(__SANITIZE_ADDRESS__)
#define ZEPH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEPH_ASAN 1
#endif
#endif
#if defined(ZEPH_ASAN)
// From the sanitizer runtime; declared here since not every compiler ships its header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

using Messages = std::vector<std::string>;

struct Outcome {
    bool passed = true;
    Messages messages;
    void failWith(std::string m) {
        passed = false;
        messages.push_back(std::move(m));
    }
};

// What the running check is doing, in memory shared with the parent, for crash reports.
char* g_progress = nullptr;
constexpr size_t kProgressSize = 4096;

void progress(const std::string& text) {
    if (!g_progress)
        return;
    const size_t n = std::min(text.size(), kProgressSize - 1);
    std::memcpy(g_progress, text.data(), n);
    g_progress[n] = '\0';
}

// Which host errors each check is about.
bool isReleaseError(const std::string& e) {
    return e.find("not released") != std::string::npos ||
           e.find("released twice") != std::string::npos ||
           e.find("never handed out") != std::string::npos ||
           e.find("release of a null") != std::string::npos;
}
bool isDetachError(const std::string& e) {
    return e.find("\"AS\"") != std::string::npos;
}
bool isTimerError(const std::string& e) {
    return e.find("timer left running") != std::string::npos;
}
bool isAnswerError(const std::string& e) {
    return e.find("answer") != std::string::npos || e.find("type 5") != std::string::npos;
}
bool isTypeError(const std::string& e) {
    return e.find("non-null pointer") != std::string::npos ||
           e.find("called the host with type") != std::string::npos ||
           e.find("null text") != std::string::npos;
}

const Scenario& workout() {
    static const Scenario s = [] {
        std::string error;
        return *parseScenario(builtinWorkout(), "workout", error);
    }();
    return s;
}

std::string stepName(const Step& s) {
    return "line " + std::to_string(s.line) + " (" + s.source + ")";
}

// Plays the workout's first `count` steps (all when -1), destroys the component, and returns every
// host error seen, each with the step it happened in.
struct Played {
    Messages errors;
    size_t repliesHandedOut = 0;
    std::vector<std::optional<std::string>> answers;
    bool loadFailed = false;
};

Played playWorkout(zeph_factory_fn factory, const std::string& basePath, int count = -1,
                   const std::function<void(Facility&)>& setup = nullptr,
                   const std::vector<std::string>& extraParents = {}) {
    Played played;
    std::string where;
    Runner runner(factory, RunOptions{basePath, false}, [&](const Event& e) {
        if (e.kind == Event::Kind::HostError)
            played.errors.push_back(where + ": " + e.text);
        else if (e.kind == Event::Kind::Answer)
            played.answers.push_back(e.reply);
    });
    if (setup)
        setup(runner.facility());
    const auto& steps = workout().steps;
    const size_t n = count < 0 ? steps.size() : std::min(steps.size(), size_t(count));
    for (size_t i = 0; i < n; ++i) {
        if (steps[i].kind == Step::Kind::Unload && !extraParents.empty()) {
            for (const std::string& text : extraParents) {
                where = "parent " + text;
                progress("workout: " + where);
                runner.facility().parent(0, text);
            }
        }
        where = stepName(steps[i]);
        progress("workout " + where);
        runner.play(steps[i], "workout");
    }
    where = n < steps.size() ? "destroyed after " + stepName(steps[n - 1]) : "destroy";
    progress("workout: " + where);
    runner.finish();
    played.repliesHandedOut = runner.facility().host(0).repliesHandedOut();
    played.loadFailed = runner.result().loadFailed;
    return played;
}

void keep(Outcome& out, const Messages& errors, bool (*category)(const std::string&),
          size_t limit = 6) {
    size_t shown = 0, total = 0;
    for (const std::string& e : errors) {
        if (!category(e))
            continue;
        ++total;
        if (shown < limit) {
            out.failWith(e);
            ++shown;
        }
    }
    if (total > shown)
        out.messages.push_back("... and " + std::to_string(total - shown) + " more");
}

std::vector<char> record(int w0, int w1, int w2, int w3, const std::string& text) {
    std::vector<char> bytes(ZEPH_RECORD_SIZE(text.size()), 0);
    const int32_t words[4] = {w0, w1, w2, w3};
    std::memcpy(bytes.data(), words, sizeof words);
    std::memcpy(bytes.data() + 16, text.c_str(), text.size() + 1);
    return bytes;
}

// ---- The checks
// ----------------------------------------------------------------------------------

Outcome checkCreateDestroy(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    for (const std::string& path : {o.basePath, std::string("D:/panels"), std::string(300, 'p')}) {
        progress("create and destroy with base path \"" + path.substr(0, 40) + "\"");
        Messages errors;
        Facility f([&](const Event& e) {
            if (e.kind == Event::Kind::HostError)
                errors.push_back(e.text);
        });
        const int c = f.addEndpoint();
        if (!f.load(c, factory, path)) {
            out.failWith("the factory returned null with the bench host (base path \"" +
                         path.substr(0, 40) + "\")");
            continue;
        }
        f.unload(c);
        for (const std::string& e : errors)
            if (!isTimerError(e))
                out.failWith(e);
    }
    return out;
}

Outcome checkNullHost(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    progress("factory with a null host");
    zeph_client_callback* c = factory(nullptr, o.basePath.c_str());
    if (!c) {
        out.failWith("the factory returned null for a null host");
        return out;
    }
    const char* parents[] = {"instance=pkg/mon1", "sdiID=sdi", "sourceID=7",   "return=all",
                             "_commands",         "clear=1",   "offState=off", ""};
    for (const char* text : parents) {
        progress(std::string("null host: parent ") + text);
        std::string copy = text;
        char* answer = c->callback(copy.data(), ZEPH_PARENT);
        if (answer)
            c->callback(answer, ZEPH_RELEASE);
    }
    progress("null host: button press");
    for (const char* control : {"Tarnel", "ActionAll", "AckAll"}) {
        host::ButtonRecord b("1", control, "alarm=ack");
        c->callback(b.data(), ZEPH_BUTTON);
    }
    progress("null host: revertive, database change, ticks, spare");
    auto rev = record(5, 0, 40, 0, "Camera 1");
    c->callback(rev.data(), ZEPH_REVERTIVE);
    auto db = record(5, 0, 0, 12, "Camera 1");
    c->callback(db.data(), ZEPH_DATABASE);
    for (int id : {1, 2, 7})
        c->callback(reinterpret_cast<void*>(static_cast<intptr_t>(id)), ZEPH_TIMER);
    c->callback(rev.data(), ZEPH_SPARE);
    progress("null host: destroy");
    delete c;
    return out;
}

Outcome checkTypeCodes(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    Messages errors;
    std::string where;
    Facility f([&](const Event& e) {
        if (e.kind == Event::Kind::HostError)
            errors.push_back(where + ": " + e.text);
    });
    const int c = f.addEndpoint();
    progress("type codes: create");
    if (!f.load(c, factory, o.basePath)) {
        out.failWith("the factory returned null with the bench host");
        return out;
    }
    auto at = [&](const std::string& w) {
        where = w;
        progress("type codes: " + w);
    };
    at("type 0");
    f.raw(c, ZEPH_COMMAND, std::string("HN 'x'"));
    at("type 1");
    f.revertive(c, 5, 40, "Camera 1");
    at("type 2");
    f.press(c, "1", "Tarnel", "");
    at("type 3");
    f.parent(c, "return=all");
    at("type 4");
    f.tick(c, 1);
    at("type 5 with null");
    f.raw(c, ZEPH_RELEASE, std::nullopt);
    at("type 6");
    f.database(c, 5, 0, 12, "Camera 1");
    at("type 7");
    f.raw(c, ZEPH_SPARE, std::string(64, 'x'));
    for (int type : {8, 9, 100, 255, 256, 65536, -1, -2, -7, INT_MIN, INT_MAX}) {
        at("type " + std::to_string(type) + " with null data");
        f.raw(c, type, std::nullopt);
        at("type " + std::to_string(type) + " with data");
        f.raw(c, type, std::string(64, 'x'));
    }
    at("destroy");
    f.unload(c);
    keep(out, errors, isTypeError);
    return out;
}

Outcome checkRepliesReleased(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    size_t handedOut = 0;
    const std::vector<std::pair<const char*, std::function<void(Facility&)>>> hosts = {
        {"facility replies", nullptr},
        {"empty replies",
         [](Facility& f) {
             f.setReplyOverride([](const std::string&, const std::optional<std::string>&) {
                 return std::optional<std::string>(std::string());
             });
         }},
        {"odd replies", [](Facility& f) {
             f.setReplyOverride(
                 [n = 0](const std::string&,
                         const std::optional<std::string>&) mutable -> std::optional<std::string> {
                     static const char* odd[] = {"'201' '7'", " 1",      "=",   "a,b,,c",
                                                 "x=",        "value=2", "12,", ","};
                     ++n;
                     return std::string(odd[n % 8]) + std::string(n % 3 == 0 ? 200 : 0, 'z');
                 });
         }}};
    for (const auto& [name, setup] : hosts) {
        Played p = playWorkout(factory, o.basePath, -1, setup);
        handedOut += p.repliesHandedOut;
        Messages mine;
        for (const std::string& e : p.errors)
            mine.push_back(std::string(name) + ", " + e);
        keep(out, mine, isReleaseError);
    }
    out.messages.push_back(std::to_string(handedOut) + " replies handed out");
    if (handedOut == 0)
        out.messages.push_back("the component made no query, so no reply was handed out");
    return out;
}

Outcome checkAnswers(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    Played first = playWorkout(factory, o.basePath);
    // The component's own list of commands, tried with a value and without one.
    std::vector<std::string> extra;
    for (const auto& a : first.answers) {
        if (!a || a->find("=[") == std::string::npos)
            continue;
        size_t start = 0;
        while (start <= a->size()) {
            const size_t end = std::min(a->find('\n', start), a->size());
            const std::string item = a->substr(start, end - start);
            const size_t eq = item.find('=');
            if (eq != std::string::npos && eq > 0) {
                extra.push_back(item.substr(0, eq) + "=1");
                extra.push_back(item.substr(0, eq) + "=");
            }
            start = end + 1;
        }
    }
    Played second = playWorkout(factory, o.basePath, -1, nullptr, extra);
    Messages errors = first.errors;
    errors.insert(errors.end(), second.errors.begin(), second.errors.end());
    keep(out, errors, isAnswerError);
    size_t answered = 0;
    for (const auto& a : second.answers)
        answered += a.has_value();
    out.messages.push_back(std::to_string(answered) + " answers handed back");
    return out;
}

// Destroys the component after every step of the workout in turn.
Outcome destroyEverywhere(zeph_factory_fn factory, const ValidateOptions& o,
                          bool (*category)(const std::string&)) {
    Outcome out;
    const int steps = static_cast<int>(workout().steps.size());
    Messages errors;
    for (int k = 1; k <= steps; ++k) {
        Played p = playWorkout(factory, o.basePath, k);
        if (p.loadFailed) {
            out.failWith("the factory returned null with the bench host");
            return out;
        }
        for (const std::string& e : p.errors)
            if (category(e))
                errors.push_back(e);
    }
    keep(out, errors, category, 4);
    return out;
}

Outcome checkDetachLast(zeph_factory_fn factory, const ValidateOptions& o) {
    return destroyEverywhere(factory, o, isDetachError);
}

Outcome checkTimersStopped(zeph_factory_fn factory, const ValidateOptions& o) {
    return destroyEverywhere(factory, o, isTimerError);
}

Outcome checkHeapGrowth(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    // The allocator keeps some freed blocks in per-size caches that still count as in use, so one
    // stretch can show a little growth without a leak; a leak shows in every stretch.
    constexpr int kWarmUp = 20, kStretches = 3, kCycles = 100;
    constexpr long long kTolerance = 512;
    for (int i = 0; i < kWarmUp; ++i)
        playWorkout(factory, o.basePath);
    std::vector<long long> growth;
    size_t before = heapInUse();
    for (int s = 0; s < kStretches; ++s) {
        for (int i = 0; i < kCycles; ++i) {
            progress("heap growth: cycle " + std::to_string(s * kCycles + i + 1));
            playWorkout(factory, o.basePath);
        }
        const size_t after = heapInUse();
        growth.push_back(static_cast<long long>(after) - static_cast<long long>(before));
        before = after;
    }
    std::string figures;
    bool leaking = true;
    for (long long g : growth) {
        figures += (figures.empty() ? "" : ", ") + std::to_string(g);
        leaking = leaking && g > kTolerance;
    }
    figures = "heap change per " + std::to_string(kCycles) +
              " cycles of create, workout and destroy: " + figures + " bytes";
    if (leaking)
        out.failWith("the heap grew in every stretch (" + figures + "; about " +
                     std::to_string(growth.back() / kCycles) + " bytes a cycle)");
    else
        out.messages.push_back(figures);
    return out;
}

// ---- The seeded random run ---------------------------------------------------------------------

class Random {
public:
    explicit Random(uint64_t seed) : m_rng(seed) {}
    // Plain modulo keeps the sequence the same on every standard library.
    uint64_t below(uint64_t n) { return n ? m_rng() % n : 0; }
    bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }
    int number() {
        static const int special[] = {0, 1, 2, 5, 7, 12, 40, 201, 999, 1000, -1, INT_MAX, INT_MIN};
        return chance(60) ? static_cast<int>(below(50)) - 5
                          : special[below(sizeof special / sizeof *special)];
    }
    template <size_t N> const char* pick(const char* const (&list)[N]) { return list[below(N)]; }
    std::string text() {
        switch (below(8)) {
        case 0:
            return "";
        case 1:
            return std::to_string(number());
        case 2:
            return std::to_string(number()) + "," + pick(kWords);
        case 3: {
            std::string t;
            const size_t n = below(40);
            for (size_t i = 0; i < n; ++i)
                t += static_cast<char>(1 + below(255));
            return t;
        }
        case 4:
            return std::string(chance(50) ? 300 : 5000, static_cast<char>('a' + below(26)));
        case 5: {
            std::string t;
            for (int i = 0; i < 40; ++i)
                t += std::string(i ? " " : "") + pick(kWords);
            return t;
        }
        default:
            return pick(kWords);
        }
    }
    std::string parentText() {
        static const char* const keys[] = {"sourceID", "clear",   "return",  "instance",  "sdiID",
                                           "offState", "onState", "_events", "_commands", "x"};
        static const char* const values[] = {"all",      "myInstance", "offState", "onState",
                                             "pkg/mon1", "sdi",        "1",        "0"};
        switch (below(6)) {
        case 0:
            return pick(keys);
        case 1:
            return std::string(pick(keys)) + "=" + text();
        case 2:
            return std::string(pick(keys)) + "=" + pick(values);
        case 3:
            return std::string(pick(keys)) + "=" + std::to_string(number());
        case 4:
            return std::string(pick(keys)) + ".a.b=" + pick(values);
        default:
            return text();
        }
    }

    static constexpr const char* kWords[] = {"Camera 1", "sdi",     "pkg/mon1",      "'201' '7'",
                                             "201 7",    "value=2", "alm_1,alm_2",   "=",
                                             "'",        "a b",     "statesheet=on", ",,"};

private:
    std::mt19937_64 m_rng;
};

Outcome checkRandom(zeph_factory_fn factory, const ValidateOptions& o) {
    Outcome out;
    Random r(o.seed);
    Messages errors;
    Facility f([&](const Event& e) {
        if (e.kind == Event::Kind::HostError && !isTimerError(e.text))
            errors.push_back(e.text);
    });
    // The built-in facility, so that configured paths are reached as well as rejected ones.
    f.setName("pkg/mon1", 201, 7);
    f.setName("sdi", 5, std::nullopt);
    f.setDatabase(201, 1, 7, "40,Monitor 1");
    f.setDatabase(201, 0, 7, "12,Camera 1");
    f.addRouter(5);
    f.setDatabase(5, 0, 12, "Camera 1");
    f.addControl("1", "alm_1", {{"value", "1"}});
    f.addControl("1", "alm_2", {{"value", "7"}});
    bool randomReplies = false;
    f.setReplyOverride(
        [&](const std::string&,
            const std::optional<std::string>& facility) -> std::optional<std::string> {
            if (!randomReplies)
                return facility;
            if (r.chance(25))
                return std::nullopt;
            return r.text();
        });
    f.setPanelShowOverride([&] { return r.chance(80); });
    const int c = f.addEndpoint();
    std::vector<std::string> recent;
    auto step = [&](int i, const std::string& what) {
        const std::string line = "iteration " + std::to_string(i) + ": " + what;
        progress(line + " (seed " + std::to_string(o.seed) + ")");
        recent.push_back(line);
        if (recent.size() > 6)
            recent.erase(recent.begin());
    };
    // Each life starts configured as in the take, so that the random run reaches the deep states.
    auto create = [&](int i) {
        step(i, "create and configure");
        randomReplies = false;
        if (!f.load(c, factory, o.basePath))
            return;
        for (const char* text : {"offState=off", "onState=on", "instance=pkg/mon1", "sdiID=sdi"})
            f.parent(c, text);
    };
    create(0);
    for (int i = 1; i <= o.iterations && errors.empty(); ++i) {
        randomReplies = r.chance(70);
        switch (r.below(20)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4: {
            const std::string t = r.parentText();
            step(i, "parent " + t.substr(0, 60));
            f.parent(c, t);
            break;
        }
        case 5:
        case 6:
        case 7: {
            static const char* const panels[] = {"1", "2", "", "01"};
            static const char* const controls[] = {"Tarnel", "ActionAll", "AckAll", "UMD", "x"};
            static const char* const events[] = {"",      "alarm=ack", "alarm=2",  "alarm=12",
                                                 "reset", "alarm=",    "alarm=-1", "alarm=4"};
            const std::string p = r.pick(panels), ctl = r.pick(controls), ev = r.pick(events);
            step(i, "press " + p + " " + ctl + " " + ev);
            f.press(c, p, ctl, ev);
            break;
        }
        case 8:
        case 9:
        case 10: {
            const int dev = r.chance(50) ? 5 : r.number(), idx = r.chance(50) ? 40 : r.number();
            const std::string t = r.text();
            step(i, "revertive " + std::to_string(dev) + " " + std::to_string(idx));
            f.revertive(c, dev, idx, t);
            break;
        }
        case 11:
        case 12: {
            const int dev = r.chance(50) ? 5 : r.number(), db = static_cast<int>(r.below(3));
            const int idx = r.chance(50) ? 12 : r.number();
            step(i, "database change " + std::to_string(dev) + " " + std::to_string(db) + " " +
                        std::to_string(idx));
            f.databaseChange(dev, db, idx, r.text());
            break;
        }
        case 13:
        case 14: {
            const int id = r.chance(60) ? 1 + static_cast<int>(r.below(2)) : r.number();
            step(i, "tick " + std::to_string(id));
            f.tick(c, id);
            break;
        }
        case 15: {
            const int64_t ms = static_cast<int64_t>(r.below(12000));
            step(i, "advance " + std::to_string(ms));
            f.advance(ms);
            break;
        }
        case 16: {
            const int src = r.chance(50) ? 12 : r.number();
            step(i, "route 5 " + std::to_string(src) + " 40");
            f.route(5, src, 40);
            break;
        }
        case 17: {
            // Type 5 only ever carries a component's own answer back, so here it carries null.
            static const int types[] = {0, 5, 7, 8, -1, 99, INT_MIN};
            const int type = types[r.below(7)];
            step(i, "type " + std::to_string(type));
            const bool data = type != ZEPH_RELEASE && r.chance(50);
            f.raw(c, type, data ? std::optional<std::string>(r.text()) : std::nullopt);
            break;
        }
        case 18: {
            const int64_t delay = static_cast<int64_t>(r.below(3)) * 500;
            step(i, "router 5 delay " + std::to_string(delay));
            f.setRouterDelay(5, delay);
            f.setRouterDrop(5, r.chance(20) ? 1 : 0);
            break;
        }
        default:
            step(i, "destroy and create again");
            f.unload(c);
            if (errors.empty())
                create(i);
            break;
        }
    }
    if (errors.empty()) {
        step(o.iterations + 1, "destroy");
        f.unload(c);
    }
    if (!errors.empty()) {
        out.failWith(errors.front());
        for (const std::string& line : recent)
            out.messages.push_back("  " + line);
    }
    out.messages.push_back("seed " + std::to_string(o.seed) + ", " + std::to_string(o.iterations) +
                           " iterations, " + std::to_string(f.notificationsDelivered()) +
                           " notifications delivered, " +
                           std::to_string(f.host(c).totalCommands()) + " commands answered");
    return out;
}

using CheckFn = Outcome (*)(zeph_factory_fn, const ValidateOptions&);
const std::map<std::string, CheckFn>& checkFunctions() {
    static const std::map<std::string, CheckFn> fns = {{"create-destroy", checkCreateDestroy},
                                                       {"null-host", checkNullHost},
                                                       {"type-codes", checkTypeCodes},
                                                       {"replies-released", checkRepliesReleased},
                                                       {"answers", checkAnswers},
                                                       {"detach-last", checkDetachLast},
                                                       {"timers-stopped", checkTimersStopped},
                                                       {"heap-growth", checkHeapGrowth},
                                                       {"random", checkRandom}};
    return fns;
}

void writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

CheckResult runIsolated(const std::string& name, CheckFn fn, zeph_factory_fn factory,
                        const ValidateOptions& o) {
    CheckResult result;
    result.name = name;
    int fds[2];
    if (pipe(fds) != 0) {
        result.status = CheckResult::Status::Crashed;
        result.messages.push_back("cannot create a pipe");
        return result;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Outcome out = fn(factory, o);
        std::string data;
        for (const std::string& m : out.messages)
            data += m + '\0';
        writeAll(fds[1], data);
        close(fds[1]);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(out.passed ? 0 : 3);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        result.status = CheckResult::Status::Crashed;
        result.messages.push_back("cannot fork");
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto deadline =
        start + std::chrono::milliseconds(static_cast<long long>(o.timeoutSeconds * 1000));
    std::string data;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (ready > 0) {
            char buf[4096];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            data.append(buf, static_cast<size_t>(n));
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (size_t i = 0; i < data.size();) {
        const size_t end = data.find('\0', i);
        result.messages.push_back(data.substr(i, end - i));
        i = end == std::string::npos ? data.size() : end + 1;
    }
    const std::string last = g_progress && g_progress[0] ? g_progress : "(not started)";
    if (timedOut) {
        result.status = CheckResult::Status::Crashed;
        result.messages.push_back("timed out after " + std::to_string(o.timeoutSeconds) +
                                  " s; last step: " + last);
    } else if (WIFSIGNALED(status)) {
        result.status = CheckResult::Status::Crashed;
        result.messages.push_back("signal " + std::to_string(WTERMSIG(status)) + " (" +
                                  strsignal(WTERMSIG(status)) + "); last step: " + last);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        result.status = CheckResult::Status::Passed;
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        result.status = CheckResult::Status::Failed;
    } else {
        result.status = CheckResult::Status::Crashed;
        result.messages.push_back("exit code " + std::to_string(WEXITSTATUS(status)) +
                                  "; last step: " + last);
    }
    return result;
}

CheckResult runInProcess(const std::string& name, CheckFn fn, zeph_factory_fn factory,
                         const ValidateOptions& o) {
    CheckResult result;
    result.name = name;
    const auto start = std::chrono::steady_clock::now();
    Outcome out = fn(factory, o);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = out.passed ? CheckResult::Status::Passed : CheckResult::Status::Failed;
    result.messages = std::move(out.messages);
    return result;
}

} // namespace

const std::vector<CheckInfo>& validateChecks() {
    static const std::vector<CheckInfo> checks = {
        {"create-destroy", "created and destroyed with the bench host, under three base paths"},
        {"null-host", "created with a null host, every notification, destroyed"},
        {"type-codes", "every type code, unknown and negative ones included; only 3 answers"},
        {"replies-released",
         "every SD/XI/RN/TG reply released exactly once before the notification returns"},
        {"answers", "every type-3 answer NUL-terminated and accepted back with type 5"},
        {"detach-last", "\"AS\" sent last and nothing after it, destroyed after every step"},
        {"timers-stopped", "no timer left running after destruction, destroyed after every step"},
        {"heap-growth", "no heap growth over 3 x 100 cycles of create, workout and destroy"},
        {"random", "seeded random notifications and host replies (--seed, --iterations)"},
    };
    return checks;
}

const char* statusName(CheckResult::Status status) {
    switch (status) {
    case CheckResult::Status::Passed:
        return "PASSED";
    case CheckResult::Status::Failed:
        return "FAILED";
    case CheckResult::Status::Crashed:
        return "CRASHED";
    }
    return "?";
}

size_t heapInUse() {
#if defined(ZEPH_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

std::vector<CheckResult> validate(zeph_factory_fn factory, const ValidateOptions& options,
                                  const std::function<void(const CheckResult&)>& onResult,
                                  std::string& error) {
    std::set<std::string> known;
    for (const CheckInfo& c : validateChecks())
        known.insert(c.name);
    for (const auto* list : {&options.only, &options.skip})
        for (const std::string& name : *list)
            if (!known.count(name)) {
                error = "unknown check \"" + name + "\" (zeph-host validate --list names them)";
                return {};
            }
    if (!g_progress) {
        void* shared =
            mmap(nullptr, kProgressSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared != MAP_FAILED)
            g_progress = static_cast<char*>(shared);
    }
    std::vector<CheckResult> results;
    for (const CheckInfo& c : validateChecks()) {
        const std::string name = c.name;
        auto listed = [&](const std::vector<std::string>& l) {
            return std::find(l.begin(), l.end(), name) != l.end();
        };
        if ((!options.only.empty() && !listed(options.only)) || listed(options.skip))
            continue;
        if (g_progress)
            g_progress[0] = '\0';
        CheckFn fn = checkFunctions().at(name);
        results.push_back(options.isolate ? runIsolated(name, fn, factory, options)
                                          : runInProcess(name, fn, factory, options));
        if (onResult)
            onResult(results.back());
    }
    return results;
}

} // namespace zeph::bench
