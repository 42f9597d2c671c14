// The facility's panels, routers and instances in the pages' JSON.
#include "serve/facility_json.h"

namespace zeph::bench {

using nlohmann::json;

json controlJson(const std::string& panel, const Facility::ControlView& c) {
    return {{"panel", panel}, {"id", c.id}, {"kind", c.kind}, {"properties", c.properties}};
}

json panelJson(const Facility::PanelView& p, const std::function<void(const json&)>& each) {
    json controls = json::array();
    for (const Facility::ControlView& c : p.controls) {
        controls.push_back(controlJson(p.id, c));
        if (each)
            each(controls.back());
    }
    return {{"id", p.id}, {"controls", std::move(controls)}};
}

json routersJson(const std::vector<Facility::RouterView>& routers) {
    json out = json::array();
    for (const Facility::RouterView& r : routers) {
        json crosspoints = json::array();
        for (const auto& [destination, source] : r.crosspoints) {
            json x = {{"destination", destination}, {"source", source}};
            if (auto name = r.sources.find(source); name != r.sources.end())
                x["sourceName"] = name->second;
            crosspoints.push_back(std::move(x));
        }
        json sources = json::array();
        for (const auto& [source, name] : r.sources)
            sources.push_back({{"source", source}, {"name", name}});
        out.push_back({{"device", r.device},
                       {"names", r.names},
                       {"delay", r.delay},
                       {"drop", r.drop},
                       {"crosspoints", crosspoints},
                       {"sources", sources}});
    }
    return out;
}

json instanceJson(const std::string& name, bool loaded, const std::vector<std::string>& panels) {
    return {{"name", name}, {"loaded", loaded}, {"panels", panels}};
}

} // namespace zeph::bench
