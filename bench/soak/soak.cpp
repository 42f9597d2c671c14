// The soak run: N components, each configured as the take configures it on a copy of the take's
// facility, and M notifications from the take's later steps dealt round-robin.
#include "soak/soak.h"

#include "facility/facility.h"
#include "scenario/apply.h"
#include "isolate/process_guard.h"
#include "isolate/sanitizer.h"
#include "workout/vocabulary.h"

#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace zeph::bench {

namespace {

size_t residentBytes() {
    long pages = 0, resident = 0, shared = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld %ld", &pages, &resident, &shared) != 3 || shared > resident)
            resident = shared = 0;
        std::fclose(f);
    }
    // Anonymous pages alone: the code the first component runs through is read in from the files
    // once (about 0.9 MB of them), however many components there are, and is none of theirs.
    return static_cast<size_t>(resident - shared) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// One step of the take after its configuration, and how far the clock moves after it.
struct Beat {
    const Step* step;
    int64_t advance = 0;
};

// The step being played, as "LINE\tSTEP" for the progress page: a crash names it.
std::string where(const Step& s) {
    return std::to_string(s.line) + "\t" + s.source;
}

struct Plan {
    std::vector<const Step*> world; // facility lines, and routes made before the load
    const Step* load = nullptr;
    std::vector<const Step*> configuration; // parent texts
    std::vector<Beat> beats;
    std::vector<std::string> where; // of each beat
};

Plan planOf(const Scenario& take) {
    Plan p;
    bool loaded = false, configuring = false;
    for (const Step& s : take.steps) {
        if (describesWorld(s) && !(loaded && s.kind == Step::Kind::Route)) {
            p.world.push_back(&s);
        } else if (!loaded) {
            loaded = configuring = s.kind == Step::Kind::Load;
            if (loaded)
                p.load = &s;
        } else if (s.kind == Step::Kind::Unload) {
            break;
        } else if (configuring && s.kind == Step::Kind::Parent) {
            p.configuration.push_back(&s);
        } else if (s.kind == Step::Kind::Advance) {
            configuring = false;
            if (!p.beats.empty())
                p.beats.back().advance += s.numbers[0];
        } else if (isStimulus(s.kind)) {
            configuring = false;
            p.beats.push_back(Beat{&s, 0});
            p.where.push_back(where(s));
        }
    }
    return p;
}

// Builds n facilities, each with its component configured as the take configures it, and fills
// in r's memory figures; false if the factory returned null.
bool populate(std::vector<std::unique_ptr<Facility>>& worlds, int n, const Plan& plan,
              host::ComponentSource& factory, const SoakOptions& o, SoakResult& r) {
    // Each component is built right after its facility, so that what one notification touches
    // lies close together; the heap is read between the two to keep their figures apart.
    worlds.reserve(static_cast<size_t>(n));
    size_t benchHeap = 0, componentHeap = 0;
    const size_t rss0 = residentBytes();
    // A DLL run through the Wine bridge allocates in the bridge: its heap is read there, and what
    // this process spends on it is its stand-in, the bench's part.
    const bool bridged = factory.remoteHeap();
    std::optional<size_t> dllHeap0;
    // Described once; each facility starts as a copy of it.
    Facility model;
    for (const Step* line : plan.world)
        describe(model, *line);
    for (int i = 0; i < n; ++i) {
        const size_t before = heapInUse();
        worlds.push_back(std::make_unique<Facility>());
        Facility& f = *worlds.back();
        f.copyDescription(model);
        // The soak reads no command back: counted, checked, not kept.
        f.host(f.addEndpoint()).setKeepCommands(false);
        const size_t built = heapInUse();
        if (plan.load)
            progress(where(*plan.load));
        if (!f.load(0, factory, o.basePath))
            return false;
        for (const Step* step : plan.configuration) {
            progress(where(*step));
            f.parent(0, step->text.value_or(""));
        }
        f.forgetRecords(0);
        const size_t configured = heapInUse();
        benchHeap += built - before;
        componentHeap += configured > built ? configured - built : 0;
        if (bridged && i == 0)
            dllHeap0 = factory.remoteHeapInUse();
    }
    const size_t rss1 = residentBytes();
    if (bridged) {
        // The first component starts the bridge; the others are what the figure divides.
        const std::optional<size_t> dllHeap1 = factory.remoteHeapInUse();
        benchHeap += componentHeap;
        componentHeap = dllHeap0 && dllHeap1 && *dllHeap1 > *dllHeap0 && n > 1
                            ? (*dllHeap1 - *dllHeap0) * size_t(n) / size_t(n - 1)
                            : 0;
    }
    r.benchHeapPerComponent = double(benchHeap) / n;
    r.heapPerComponent = double(componentHeap) / n;
    r.rssPerComponent = double(rss1 > rss0 ? rss1 - rss0 : 0) / n;
    return true;
}

// The progress of each job of an overlap: the step it plays now, told again whenever it is that
// job's turn (a crash names the step whose notification it was).
class Turns {
public:
    explicit Turns(size_t jobs) : m_where(jobs, nullptr) {}
    void play(size_t job, const std::string& where) {
        m_where[job] = &where;
        tell(&where);
    }
    void turn(size_t job) {
        if (m_where[job])
            tell(m_where[job]);
    }

private:
    void tell(const std::string* where) {
        if (where != m_told)
            progress(*(m_told = where));
    }
    std::vector<const std::string*> m_where;
    const std::string* m_told = nullptr;
};

// Deals notifications [first, first + count) of the round-robin of the take's beats over the
// worlds.
void dealBeats(std::vector<std::unique_ptr<Facility>>& worlds, int n, const Plan& plan,
               long long first, long long count, const host::ComponentSource& source) {
    const auto deal = [&](long long j) {
        const size_t b = static_cast<size_t>((j / n) % static_cast<long long>(plan.beats.size()));
        const Beat& beat = plan.beats[b];
        Facility& f = *worlds[static_cast<size_t>(j % n)];
        // Endpoint 0 of f is the component's only one.
        deliverStimulus(f, 0, *beat.step);
        // Each facility is a world of its own: its clock moves right after its component's step,
        // as the take moves it (at least 1 ms, so that the hosts' timers run as well), while what
        // the step touched is still at hand.
        f.advance(std::max<int64_t>(1, beat.advance));
        f.forgetRecords(0, true);
    };
    const auto whereOf = [&](long long j) -> const std::string& {
        return plan.where[static_cast<size_t>((j / n) % static_cast<long long>(plan.beats.size()))];
    };
    if (!source.remoteHeap()) {
        for (long long j = first; j < first + count; ++j) {
            if (j % n == 0)
                progress(whereOf(j));
            deal(j);
        }
        return;
    }
    // Notification j goes to the facility j - n went to, and those between to others: a few
    // dealt at once, each world's own steps still in their order.
    const std::string* told = nullptr;
    source.overlap(
        static_cast<size_t>(count), static_cast<size_t>(n),
        [&](size_t i) { deal(first + static_cast<long long>(i)); },
        [&](size_t i) {
            const std::string& where = whereOf(first + static_cast<long long>(i));
            if (&where != told)
                progress(*(told = &where));
        });
}

// What the worlds have delivered, and what their components sent, so far.
std::pair<size_t, size_t> traffic(const std::vector<std::unique_ptr<Facility>>& worlds) {
    size_t delivered = 0, commands = 0;
    for (const auto& f : worlds) {
        delivered += f->notificationsDelivered();
        commands += f->host(0).totalCommands();
    }
    return {delivered, commands};
}

// A facility scenario as the soak builds it: its world, and each load line with what configures
// that instance.
struct FacilityPlan {
    struct Member {
        const Step* load = nullptr;
        LoadRequest request;
        std::vector<const Step*> configuration; // its parent texts before the first other step
    };
    std::vector<const Step*> world;
    std::vector<Member> members;
};

FacilityPlan facilityPlanOf(const Scenario& facility) {
    FacilityPlan p;
    std::map<std::string, size_t> byName;
    bool configuring = true;
    for (const Step& s : facility.steps) {
        if (describesWorld(s) && !(!p.members.empty() && s.kind == Step::Kind::Route)) {
            p.world.push_back(&s);
        } else if (s.kind == Step::Kind::Load) {
            byName[s.instance] = p.members.size();
            p.members.push_back(FacilityPlan::Member{&s, loadRequest(s), {}});
        } else if (s.kind == Step::Kind::Unload) {
            break;
        } else if (s.kind == Step::Kind::Parent) {
            auto m = byName.find(s.instance);
            if (configuring && m != byName.end())
                p.members[m->second].configuration.push_back(&s);
            else if (!p.members.empty())
                configuring = false;
        } else if ((s.kind == Step::Kind::Advance || isStimulus(s.kind)) && !p.members.empty()) {
            configuring = false;
        }
    }
    return p;
}

// Builds n copies of the facility with every instance loaded and configured, and fills in r's
// memory figures per instance; false if a factory returned null.
bool populateFacilities(std::vector<std::unique_ptr<Facility>>& worlds, int n,
                        const FacilityPlan& plan, const std::vector<SoakMember>& members,
                        const SoakOptions& o, SoakResult& r) {
    worlds.reserve(static_cast<size_t>(n));
    size_t benchHeap = 0, componentHeap = 0;
    const size_t rss0 = residentBytes();
    Facility model;
    for (const Step* line : plan.world)
        describe(model, *line);
    for (int i = 0; i < n; ++i) {
        const size_t before = heapInUse();
        worlds.push_back(std::make_unique<Facility>());
        Facility& f = *worlds.back();
        f.copyDescription(model);
        for (const FacilityPlan::Member& m : plan.members) {
            const int endpoint = f.addEndpoint();
            f.setPanels(endpoint, m.request.panels);
            f.host(endpoint).setKeepCommands(false);
        }
        const size_t built = heapInUse();
        for (size_t k = 0; k < plan.members.size(); ++k) {
            const FacilityPlan::Member& m = plan.members[k];
            const int endpoint = static_cast<int>(k);
            progress(where(*m.load));
            if (!f.load(endpoint, members[k].factory, m.request.base.value_or(o.basePath)))
                return false;
            for (const Step* step : m.configuration) {
                progress(where(*step));
                f.parent(endpoint, step->text.value_or(""));
            }
        }
        for (size_t k = 0; k < plan.members.size(); ++k)
            f.forgetRecords(static_cast<int>(k));
        const size_t configured = heapInUse();
        benchHeap += built - before;
        componentHeap += configured > built ? configured - built : 0;
    }
    const size_t rss1 = residentBytes();
    const double instances = double(n) * double(plan.members.size());
    r.benchHeapPerComponent = double(benchHeap) / instances;
    r.heapPerComponent = double(componentHeap) / instances;
    r.rssPerComponent = double(rss1 > rss0 ? rss1 - rss0 : 0) / instances;
    return true;
}

// Deals each instance its own take's beats, round-robin over every instance of every copy.
void dealFacilities(std::vector<std::unique_ptr<Facility>>& worlds, const std::vector<Plan>& plans,
                    const std::vector<SoakMember>& members, long long notifications,
                    SoakResult& r) {
    const long long each = static_cast<long long>(plans.size());
    const long long total = each * static_cast<long long>(worlds.size());
    if (total == 0)
        return; // no instance to deal to
    size_t delivered0 = 0, commands0 = 0;
    for (const auto& f : worlds) {
        delivered0 += f->notificationsDelivered();
        for (int k = 0; k < each; ++k)
            commands0 += f->host(k).totalCommands();
    }
    const auto deal = [&](long long j, const std::function<void(const std::string&)>& tell) {
        const long long instance = j % total;
        const int k = static_cast<int>(instance % each);
        const Plan& plan = plans[static_cast<size_t>(k)];
        if (plan.beats.empty())
            return; // a take with nothing to deal after its configuration
        const size_t b =
            static_cast<size_t>((j / total) % static_cast<long long>(plan.beats.size()));
        const Beat& beat = plan.beats[b];
        tell(plan.where[b]);
        Facility& f = *worlds[static_cast<size_t>(instance / each)];
        deliverStimulus(f, k, *beat.step);
        // The copy's clock is every instance's: it moves after each one's step as its take moves
        // it, at least 1 ms.
        f.advance(std::max<int64_t>(1, beat.advance));
        f.forgetRecords(k, true);
    };
    const host::ComponentSource* remote = nullptr;
    for (const SoakMember& m : members)
        if (m.factory.remoteHeap() && !remote)
            remote = &m.factory;
    const auto start = std::chrono::steady_clock::now();
    if (!remote) {
        const auto tell = [](const std::string& where) { progress(where); };
        for (long long j = 0; j < notifications; ++j)
            deal(j, tell);
    }
    // A copy's instances share its facility: each job deals one copy its run of notifications
    // in order, and the runs of other copies go at once.
    const long long runs = remote ? (notifications + each - 1) / each : 0;
    Turns turns(static_cast<size_t>(runs));
    if (remote)
        remote->overlap(
            static_cast<size_t>(runs), worlds.size(),
            [&](size_t i) {
                const auto tell = [&](const std::string& where) { turns.play(i, where); };
                const long long run = static_cast<long long>(i);
                for (long long x = run * each; x < std::min(notifications, (run + 1) * each); ++x)
                    deal(x, tell);
            },
            [&](size_t i) { turns.turn(i); });
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.sent = notifications;
    progress("0\tunload");
    for (auto& f : worlds) {
        r.delivered += f->notificationsDelivered();
        for (int k = 0; k < each; ++k) {
            r.commands += f->host(k).totalCommands();
            f->unload(k);
        }
        r.breaches += f->breaches();
    }
    r.delivered -= delivered0;
    r.commands -= commands0;
    r.perSecond = r.seconds > 0 ? double(r.delivered) / r.seconds : 0;
}

} // namespace

SoakResult soakFacilities(const Scenario& facility, const std::vector<SoakMember>& members,
                          const SoakOptions& o) {
    SoakResult r;
    const int n = std::max(1, o.facilities);
    const FacilityPlan plan = facilityPlanOf(facility);
    r.facilities = n;
    r.components = n * static_cast<int>(plan.members.size());
    if (plan.members.empty() || plan.members.size() != members.size()) {
        r.error = "the facility loads no instance to soak";
        return r;
    }
    std::vector<Plan> plans;
    for (const SoakMember& m : members) {
        plans.push_back(m.take ? planOf(*m.take) : Plan{});
        Plan& p = plans.back();
        if (p.beats.empty()) {
            r.error = "@" + m.name + ": its take has no step after its configuration to deal out";
            return r;
        }
        // A crash names the take and the instance whose step it was (as a whole text: the
        // facility's own lines are told as "LINE\tSTEP" of the facility's file).
        for (size_t b = 0; b < p.beats.size(); ++b)
            p.where[b] = "line " + std::to_string(p.beats[b].step->line) + " of " + m.take->file +
                         " (`@" + m.name + " " + p.beats[b].step->source + "`)";
    }
    std::vector<std::unique_ptr<Facility>> worlds;
    if (!populateFacilities(worlds, n, plan, members, o, r)) {
        r.loadFailed = true;
        return r;
    }
    dealFacilities(worlds, plans, members, o.notifications, r);
    return r;
}

struct SoakRun::State {
    SoakResult result;
    host::ComponentSource source;
    Plan plan;
    std::vector<std::unique_ptr<Facility>> worlds;
    int n = 0;
    long long dealt = 0;
    std::pair<size_t, size_t> start; // delivered and commands when the dealing began
};

SoakRun::SoakRun(host::ComponentSource factory, const Workout& workout, const SoakOptions& o)
    : m(std::make_unique<State>()) {
    SoakResult& r = m->result;
    m->source = factory;
    m->n = std::max(1, o.components);
    r.components = m->n;
    const Scenario* take = workout.take();
    if (!take && !workout.scenarios.empty())
        take = &workout.scenarios.front();
    m->plan = take ? planOf(*take) : Plan{};
    if (m->plan.beats.empty()) {
        r.error = "the workout's take has no step after its configuration to deal out";
        return;
    }
    if (!populate(m->worlds, m->n, m->plan, factory, o, r)) {
        r.loadFailed = true;
        return;
    }
    m->start = traffic(m->worlds);
}

SoakRun::~SoakRun() = default;

const SoakResult& SoakRun::setup() const {
    return m->result;
}

void SoakRun::deal(long long notifications) {
    if (!m->result.error.empty() || m->result.loadFailed)
        return;
    dealBeats(m->worlds, m->n, m->plan, m->dealt, notifications, m->source);
    m->dealt += notifications;
}

SoakResult SoakRun::finish() {
    SoakResult r = m->result;
    if (!r.error.empty() || r.loadFailed)
        return r;
    const auto [delivered, commands] = traffic(m->worlds);
    r.sent = m->dealt;
    r.delivered = delivered - m->start.first;
    r.commands = commands - m->start.second;
    progress("0\tunload");
    for (auto& f : m->worlds) {
        f->unload(0);
        r.breaches += f->breaches();
    }
    m->worlds.clear();
    return r;
}

SoakResult soak(host::ComponentSource factory, const Workout& workout, const SoakOptions& o) {
    SoakRun run(factory, workout, o);
    if (!run.setup().error.empty() || run.setup().loadFailed)
        return run.setup();
    const auto start = std::chrono::steady_clock::now();
    run.deal(o.notifications);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SoakResult r = run.finish();
    r.seconds = seconds;
    r.perSecond = seconds > 0 ? double(r.delivered) / seconds : 0;
    return r;
}

} // namespace zeph::bench
