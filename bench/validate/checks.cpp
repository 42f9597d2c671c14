// The validate checks: each drives a component in a way that exposes one kind of breach of the
// host contract, and the table that names them.
#include "host_records.h"
#include "isolate/sanitizer.h"
#include "zeph_commands.h"
#include "validate/check.h"
#include "validate/isolate.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <thread>

namespace zeph::bench {

namespace {

using K = host::ErrorKind;

std::vector<K> everyKindBut(K left) {
    std::vector<K> kinds;
    for (K k : host::allErrorKinds())
        if (k != left)
            kinds.push_back(k);
    return kinds;
}

// Creates the component on a fresh facility and destroys it; false when the factory gave null.
bool createAndDestroy(const CheckContext& c, const std::string& basePath, Breaches& found) {
    Facility f(collectBreaches(found, nullptr));
    const int e = f.addEndpoint();
    if (!f.load(e, c.factory, basePath))
        return false;
    f.unload(e);
    return true;
}

template <class T> std::vector<T> plus(std::vector<T> list, const T& item) {
    list.push_back(item);
    return list;
}

// ---- Checks that need no workout ----------------------------------------------------------------

CheckResult checkCreateDestroy(const CheckContext& c) {
    CheckResult out;
    for (const std::string& path :
         {c.options.basePath, std::string("D:/panels"), std::string(300, 'p')}) {
        progress("create and destroy with base path \"" + path.substr(0, 40) + "\"");
        Breaches found;
        if (!createAndDestroy(c, path, found))
            fail(out, "the factory returned null with the recording host (base path \"" +
                          path.substr(0, 40) + "\")");
        keep(out, found, c.check.kinds);
    }
    return out;
}

// Only a crash fails it: with no host there is nobody to breach the contract with.
CheckResult checkNullHost(const CheckContext& c) {
    CheckResult out;
    progress("factory with a null host");
    zeph_client_callback* component = c.factory.create(nullptr, c.options.basePath.c_str());
    if (!component) {
        fail(out, "the factory returned null for a null host");
        return out;
    }
    const Vocabulary& v = c.vocabulary;
    for (const std::string& text : plus(v.parents, std::string())) {
        progress("null host: parent " + text.substr(0, 60));
        std::vector<char> copy(text.begin(), text.end());
        copy.push_back('\0');
        if (char* answer = component->callback(copy.data(), ZEPH_PARENT))
            component->callback(answer, ZEPH_RELEASE);
    }
    for (const Press& p : plus(v.presses, Press{})) {
        progress("null host: press " + p.panel + " " + p.control + " " + p.event);
        host::ButtonRecord record(p.panel, p.control, p.event);
        component->callback(record.data(), ZEPH_BUTTON);
    }
    for (const Record& r : plus(v.revertives, Record{})) {
        progress("null host: revertive " + std::to_string(r.device) + " " +
                 std::to_string(r.index));
        std::vector<char> record = host::revertiveRecord(r.device, r.index, r.text);
        component->callback(record.data(), ZEPH_REVERTIVE);
        component->callback(record.data(), ZEPH_SPARE);
    }
    for (const Record& r : plus(v.databaseChanges, Record{})) {
        progress("null host: database change " + std::to_string(r.device));
        std::vector<char> record = host::databaseRecord(r.device, r.database, r.index, r.text);
        component->callback(record.data(), ZEPH_DATABASE);
    }
    for (int id : plus(v.timers, 1)) {
        progress("null host: tick " + std::to_string(id));
        component->callback(reinterpret_cast<void*>(static_cast<intptr_t>(id)), ZEPH_TIMER);
    }
    progress("null host: destroy");
    delete component;
    return out;
}

CheckResult checkTypeCodes(const CheckContext& c) {
    CheckResult out;
    Breaches found;
    std::string where;
    Facility f(collectBreaches(found, &where));
    const int e = f.addEndpoint();
    progress("type codes: create");
    if (!f.load(e, c.factory, c.options.basePath)) {
        fail(out, "the factory returned null with the recording host");
        return out;
    }
    const auto at = [&](const std::string& w) {
        where = w;
        progress("type codes: " + w);
    };
    // The workout's own notifications where it has them, so that each type reaches its handler.
    const Vocabulary& v = c.vocabulary;
    const Record rev = v.revertives.empty() ? Record{1, 0, 1, "x"} : v.revertives.front();
    const Record db = v.databaseChanges.empty() ? Record{1, 0, 1, "x"} : v.databaseChanges.front();
    const Press press = v.presses.empty() ? Press{"1", "x", ""} : v.presses.front();
    at("type 0");
    f.raw(e, ZEPH_COMMAND, std::string("HN 'x'"));
    at("type 1");
    f.revertive(e, rev.device, rev.index, rev.text);
    at("type 2");
    f.press(e, press.panel, press.control, press.event);
    at("type 3");
    f.parent(e, v.parents.empty() ? "x" : v.parents.back());
    at("type 4");
    f.tick(e, v.timers.empty() ? 1 : v.timers.front());
    at("type 5 with null");
    f.raw(e, ZEPH_RELEASE, std::nullopt);
    at("type 6");
    f.database(e, db.device, db.database, db.index, db.text);
    at("type 7");
    f.raw(e, ZEPH_SPARE, std::string(64, 'x'));
    for (int type : {8, 9, 100, 255, 256, 65536, -1, -2, -7, INT_MIN, INT_MAX}) {
        at("type " + std::to_string(type) + " with null data");
        f.raw(e, type, std::nullopt);
        at("type " + std::to_string(type) + " with data");
        f.raw(e, type, std::string(64, 'x'));
    }
    at("destroy");
    f.unload(e);
    keep(out, found, c.check.kinds);
    return out;
}

// ---- Checks that play the workout --------------------------------------------------------------

CheckResult checkRepliesReleased(const CheckContext& c) {
    CheckResult out;
    size_t handedOut = 0;
    static const char* const odd[] = {"'1' '2'", " 1", "=", "a,b,,c", "x=", "value=2", "12,", ","};
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
                     ++n;
                     return std::string(odd[n % 8]) + std::string(n % 3 == 0 ? 200 : 0, 'z');
                 });
         }}};
    for (const auto& [name, setup] : hosts) {
        PlayOptions o;
        o.setup = setup;
        Played p = playWorkout(c, o);
        handedOut += p.repliesHandedOut;
        for (Breach& b : p.breaches)
            b.text = std::string(name) + ", " + b.text;
        keep(out, p.breaches, c.check.kinds);
    }
    out.messages.push_back(std::to_string(handedOut) + " replies handed out");
    if (handedOut == 0)
        out.messages.push_back("the component made no query, so no reply was handed out");
    return out;
}

// The component's own list of commands ("name=[value]" lines in any answer), each tried with a
// value and without one.
std::vector<std::string> commandsListed(const Played& played) {
    std::vector<std::string> out;
    for (const auto& a : played.answers) {
        if (!a || a->find("=[") == std::string::npos)
            continue;
        for (size_t start = 0; start <= a->size();) {
            const size_t end = std::min(a->find('\n', start), a->size());
            const std::string item = a->substr(start, end - start);
            const size_t eq = item.find('=');
            if (eq != std::string::npos && eq > 0) {
                out.push_back(item.substr(0, eq) + "=1");
                out.push_back(item.substr(0, eq) + "=");
            }
            start = end + 1;
        }
    }
    return out;
}

CheckResult checkAnswers(const CheckContext& c) {
    CheckResult out;
    const Played first = playWorkout(c);
    PlayOptions o;
    o.extraParents = commandsListed(first);
    const Played second = playWorkout(c, o);
    keep(out, first.breaches, c.check.kinds);
    keep(out, second.breaches, c.check.kinds);
    size_t answered = 0;
    for (const auto& a : second.answers)
        answered += a.has_value();
    out.messages.push_back(std::to_string(answered) + " answers handed back");
    return out;
}

// Destroys the component after every step of every scenario in turn (right after creation only
// when there is no workout).
CheckResult destroyEverywhere(const CheckContext& c) {
    CheckResult out;
    Breaches found;
    if (!c.workout) {
        progress("created and destroyed");
        if (!createAndDestroy(c, c.options.basePath, found))
            fail(out, "the factory returned null with the recording host");
        keep(out, found, c.check.kinds, 4);
        out.messages.push_back("no workout: destroyed right after creation only");
        return out;
    }
    for (const Scenario& s : c.workout->scenarios) {
        size_t actions = 0;
        for (const Step& step : s.steps)
            actions += isAction(step);
        for (size_t k = 1; k <= actions; ++k) {
            PlayOptions o;
            o.stopAfter = k;
            Played p = play(c, s, o);
            if (p.loadFailed) {
                fail(out, "the factory returned null with the recording host");
                return out;
            }
            found.insert(found.end(), p.breaches.begin(), p.breaches.end());
        }
    }
    keep(out, found, c.check.kinds, 4);
    return out;
}

CheckResult checkHeapGrowth(const CheckContext& c) {
    CheckResult out;
    // A leak shows in every stretch; the tolerance covers the allocator's own bookkeeping.
    const size_t scenarios = c.workout ? c.workout->scenarios.size() : 1;
    const size_t cycles = (100 + scenarios - 1) / scenarios * scenarios;
    constexpr int kWarmUp = 20, kStretches = 3;
    constexpr long long kTolerance = 512;
    size_t next = 0;
    const auto cycle = [&] {
        Breaches ignored;
        if (c.workout)
            play(c, c.workout->scenarios[next++ % scenarios]);
        else
            createAndDestroy(c, c.options.basePath, ignored);
    };
    // A DLL run through the Wine bridge keeps its heap in the bridge: measure it there, since this
    // process's heap says nothing about it.
    const bool bridged = c.factory.remoteHeap();
    const auto measure = [&]() -> std::optional<size_t> {
        return bridged ? c.factory.remoteHeapInUse() : heapInUse();
    };
    // A thread's allocator cache keeps freed blocks counted as in use, and it fills a little more
    // with every stretch; each stretch runs on a thread of its own, whose exit hands the cache
    // back, so that only what the component keeps is counted. The bridge measures its own heap.
    const auto onItsOwnThread = [&](const std::function<void()>& work) {
        if (bridged)
            work();
        else
            std::thread(work).join();
    };
    onItsOwnThread([&] {
        for (int i = 0; i < kWarmUp; ++i)
            cycle();
    });
    std::vector<long long> growth;
    std::optional<size_t> start = measure();
    for (int s = 0; start && s < kStretches; ++s) {
        onItsOwnThread([&] {
            for (size_t i = 0; i < cycles; ++i) {
                progress("heap growth: cycle " + std::to_string(s * cycles + i + 1));
                cycle();
            }
        });
        const std::optional<size_t> end = measure();
        if (!end) {
            start.reset();
            break;
        }
        const size_t before = *start, after = *end;
        growth.push_back(static_cast<long long>(after) - static_cast<long long>(before));
        start = end;
    }
    if (!start) {
        out.status = CheckResult::Status::Skipped;
        out.messages.push_back("the DLL's heap is in the Wine bridge, which could not measure it");
        return out;
    }
    std::string figures;
    bool leaking = true;
    for (long long g : growth) {
        figures += (figures.empty() ? "" : ", ") + std::to_string(g);
        leaking = leaking && g > kTolerance;
    }
    figures = "heap change per " + std::to_string(cycles) + " cycles of create, " +
              (c.workout ? "a workout scenario" : "nothing (no workout)") +
              " and destroy: " + figures + " bytes" +
              (bridged ? " (the DLL's heap, in the bridge)" : "");
    if (leaking)
        fail(out, "the heap grew in every stretch (" + figures + "; about " +
                      std::to_string(growth.back() / static_cast<long long>(cycles)) +
                      " bytes a cycle)");
    else
        out.messages.push_back(figures);
    return out;
}

} // namespace

const std::vector<Check>& validateChecks() {
    // The queries named as the command table lists them, so that a new one shows here too.
    static const std::string repliesReleased = [] {
        std::string queries;
        for (const zeph_command_info& c : zeph_commands)
            if (c.query)
                queries += (queries.empty() ? "" : "/") + std::string(c.mnemonic);
        return "every " + queries + " reply released exactly once before the notification returns";
    }();
    static const std::vector<Check> checks = {
        {"create-destroy", "created and destroyed with the recording host, under three base paths",
         false, everyKindBut(K::TimerLeftRunning), checkCreateDestroy},
        {"null-host",
         "created with a null host, the workout's notifications, destroyed",
         false,
         {},
         checkNullHost},
        {"type-codes",
         "every type code, unknown and negative ones included; only 3 answers",
         false,
         {K::UnknownCallType, K::NullCommand, K::NonNullReturn, K::ReleaseReturned},
         checkTypeCodes},
        {"replies-released",
         repliesReleased.c_str(),
         true,
         {K::ReplyNotReleased, K::ReleasedTwice, K::ForeignRelease, K::NullRelease},
         checkRepliesReleased},
        {"answers",
         "every type-3 answer NUL-terminated and accepted back with type 5",
         true,
         {K::UnterminatedAnswer, K::ReleaseReturned},
         checkAnswers},
        {"detach-last",
         "\"AS\" sent last and nothing after it, destroyed after every step",
         false,
         {K::CommandAfterDetach, K::NoDetach, K::DetachNotLast},
         destroyEverywhere},
        {"timers-stopped",
         "no timer left running after destruction, destroyed after every step",
         false,
         {K::TimerLeftRunning},
         destroyEverywhere},
        {"heap-growth",
         "no heap growth over 3 x 100 cycles of create, workout and destroy",
         false,
         {},
         checkHeapGrowth},
        {"random", "seeded random notifications and host replies (--seed, --iterations)", true,
         everyKindBut(K::TimerLeftRunning), checkRandom},
    };
    return checks;
}

} // namespace zeph::bench
