// The soak run: N components, each configured as the take configures it on a copy of the take's
// facility, and M notifications from the take's later steps dealt round-robin.
#include "soak/soak.h"
#include "soak/soak_plan.h"

#include "facility/facility.h"
#include "scenario/apply.h"
#include "isolate/process_guard.h"
#include "isolate/sanitizer.h"
#include "workout/vocabulary.h"

#include <chrono>
#include <functional>
#include <utility>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace zeph::bench {

using namespace soak_detail;

size_t soak_detail::residentBytes() {
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

Copies::Copies(std::vector<std::unique_ptr<Facility>>& worlds,
               const std::vector<const Step*>& world, int n)
    : m_worlds(worlds), m_rss0(residentBytes()) {
    worlds.reserve(static_cast<size_t>(n));
    for (const Step* line : world)
        describe(m_model, *line);
}

Facility& Copies::add() {
    m_before = heapInUse();
    m_worlds.push_back(std::make_unique<Facility>());
    m_worlds.back()->copyDescription(m_model);
    return *m_worlds.back();
}

void Copies::built() {
    m_built = heapInUse();
}

void Copies::configured() {
    const size_t configured = heapInUse();
    benchHeap += m_built - m_before;
    componentHeap += configured > m_built ? configured - m_built : 0;
}

void Copies::figures(double instances, SoakResult& r) const {
    const size_t rss1 = residentBytes();
    r.benchHeapPerComponent = double(benchHeap) / instances;
    r.heapPerComponent = double(componentHeap) / instances;
    r.rssPerComponent = double(rss1 > m_rss0 ? rss1 - m_rss0 : 0) / instances;
}

std::string soak_detail::where(const Step& s) {
    return std::to_string(s.line) + "\t" + s.source;
}

Plan soak_detail::planOf(const Scenario& take) {
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

namespace {

// Builds n facilities, each with its component configured as the take configures it, and fills
// in r's memory figures; false if the factory returned null.
bool populate(std::vector<std::unique_ptr<Facility>>& worlds, int n, const Plan& plan,
              host::ComponentSource& factory, const SoakOptions& o, SoakResult& r) {
    // Each component is built right after its facility, so that what one notification touches
    // lies close together.
    Copies copies(worlds, plan.world, n);
    // A DLL run through the Wine bridge allocates in the bridge: its heap is read there, and what
    // this process spends on it is its stand-in, the bench's part.
    const bool bridged = factory.remoteHeap();
    std::optional<size_t> dllHeap0;
    for (int i = 0; i < n; ++i) {
        Facility& f = copies.add();
        // The soak reads no command back: counted, checked, not kept.
        f.host(f.addEndpoint()).setKeepCommands(false);
        copies.built();
        if (plan.load)
            progress(where(*plan.load));
        if (!f.load(0, factory, o.basePath))
            return false;
        for (const Step* step : plan.configuration) {
            progress(where(*step));
            f.parent(0, step->text.value_or(""));
        }
        f.forgetRecords(0);
        copies.configured();
        if (bridged && i == 0)
            dllHeap0 = factory.remoteHeapInUse();
    }
    copies.figures(n, r);
    if (bridged) {
        // The first component starts the bridge; the others are what the figure divides.
        const std::optional<size_t> dllHeap1 = factory.remoteHeapInUse();
        const size_t componentHeap = dllHeap0 && dllHeap1 && *dllHeap1 > *dllHeap0 && n > 1
                                         ? (*dllHeap1 - *dllHeap0) * size_t(n) / size_t(n - 1)
                                         : 0;
        r.benchHeapPerComponent = double(copies.benchHeap + copies.componentHeap) / n;
        r.heapPerComponent = double(componentHeap) / n;
    }
    return true;
}

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

} // namespace

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
