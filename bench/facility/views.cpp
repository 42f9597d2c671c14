// Read-only views of the facility, for pages and tools that draw it.
#include "facility/facility.h"

#include <algorithm>
#include <climits>
#include <functional>

namespace zeph::bench {

std::vector<Facility::PanelView> Facility::panels() const {
    std::vector<PanelView> out;
    for (const auto& [id, controls] : m_panels) {
        PanelView p{id, {}};
        for (const Control& c : controls)
            p.controls.push_back(
                ControlView{c.id, c.kind, {c.properties.begin(), c.properties.end()}});
        out.push_back(std::move(p));
    }
    return out;
}

bool Facility::hasControl(const std::string& panel, const std::string& control) const {
    return findControl(panel, control) != nullptr;
}

std::optional<Facility::ControlView> Facility::control(const std::string& panel,
                                                       const std::string& control) const {
    const Control* c = findControl(panel, control);
    if (!c)
        return std::nullopt;
    return ControlView{c->id, c->kind, {c->properties.begin(), c->properties.end()}};
}

std::vector<Facility::RouterView> Facility::routers() const {
    std::vector<RouterView> out;
    for (const auto& [device, r] : m_routers) {
        RouterView v{device, r.delay, r.drop, {r.crosspoints.begin(), r.crosspoints.end()}, {}, {}};
        // A name with an offset names a destination of a package, not the router.
        for (const auto& [name, target] : tables().names)
            if (target.first == device && !target.second)
                v.names.push_back(name);
        const auto& databases = tables().databases;
        for (auto e = databases.lower_bound({device, 0, INT_MIN});
             e != databases.end() && std::get<0>(e->first) == device && std::get<1>(e->first) == 0;
             ++e)
            v.sources[std::get<2>(e->first)] = e->second;
        out.push_back(std::move(v));
    }
    return out;
}

std::optional<int64_t> Facility::nextDue() const {
    // Ticks of stopped or restarted timers stay queued until their time; they do not count.
    auto queue = m_queue;
    for (; !queue.empty(); queue.pop_back()) {
        std::pop_heap(queue.begin(), queue.end(), std::greater<Queued>());
        const Queued& q = queue.back();
        if (q.kind != Queued::Tick)
            return q.time;
        const auto& timers = ep(q.endpoint).timers;
        auto t = timers.find(q.index);
        if (t != timers.end() && t->second.generation == q.generation)
            return q.time;
    }
    return std::nullopt;
}

} // namespace zeph::bench
