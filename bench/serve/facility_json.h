// The facility as both pages draw it: the live session's and a trace's. One writer, so that a
// panel on the trace page is the panel the live page would show of the same facility.
#pragma once

#include "facility/facility.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace zeph::bench {

// {"panel", "id", "kind", "properties"}: one tile.
nlohmann::json controlJson(const std::string& panel, const Facility::ControlView& c);
// {"id", "controls"}; each control's JSON is shown to `each` as it is made (the live page sends
// the changed ones on their own).
nlohmann::json panelJson(const Facility::PanelView& p,
                         const std::function<void(const nlohmann::json&)>& each = nullptr);
// Every router: its names, delay, drop, crosspoints (each with its source's name) and sources.
nlohmann::json routersJson(const std::vector<Facility::RouterView>& routers);
// One instance: its name ("" the unnamed one), whether it is loaded and the facility panels its
// load gave it (empty: its panel ids are the facility's).
nlohmann::json instanceJson(const std::string& name, bool loaded,
                            const std::vector<std::string>& panels);

} // namespace zeph::bench
