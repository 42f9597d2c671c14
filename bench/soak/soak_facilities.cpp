// The soak of a facility scenario: copies of its facility, each with every instance the scenario
// loads configured as it configures them, and each instance's own take dealt round-robin.
#include "soak/soak.h"
#include "soak/soak_plan.h"

#include "facility/facility.h"
#include "scenario/apply.h"
#include "isolate/process_guard.h"
#include "isolate/sanitizer.h"
#include "workout/vocabulary.h"

#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <memory>

namespace zeph::bench {

using namespace soak_detail;

namespace {

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
    Copies copies(worlds, plan.world, n);
    for (int i = 0; i < n; ++i) {
        Facility& f = copies.add();
        for (const FacilityPlan::Member& m : plan.members) {
            const int endpoint = f.addEndpoint();
            f.setPanels(endpoint, m.request.panels);
            f.host(endpoint).setKeepCommands(false);
        }
        copies.built();
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
        copies.configured();
    }
    copies.figures(double(n) * double(plan.members.size()), r);
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
        if (!m.take || p.beats.empty()) {
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

} // namespace zeph::bench
