// Read-only views of the facility, for pages and tools that draw it.
#include "facility/facility.h"

namespace zeph::bench {

std::vector<Facility::PanelView> Facility::panels() const {
    std::vector<PanelView> out;
    for (const auto& [id, controls] : m_panels) {
        PanelView p{id, {}};
        for (const Control& c : controls)
            p.controls.push_back(ControlView{c.id, c.properties});
        out.push_back(std::move(p));
    }
    return out;
}

bool Facility::hasControl(const std::string& panel, const std::string& control) const {
    return findControl(panel, control) != nullptr;
}

std::vector<Facility::RouterView> Facility::routers() const {
    std::vector<RouterView> out;
    for (const auto& [device, r] : m_routers)
        out.push_back(RouterView{device, r.delay, r.drop, r.crosspoints});
    return out;
}

std::optional<int64_t> Facility::nextDue() const {
    // Ticks of stopped or restarted timers stay queued until their time; they do not count.
    auto queue = m_queue;
    for (; !queue.empty(); queue.pop()) {
        const Queued& q = queue.top();
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
