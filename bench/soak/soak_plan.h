// What the soak's two runs share (soak.cpp: one component per facility; soak_facilities.cpp: a
// facility scenario's copies): a take's plan, and the figures they read. Private to them.
#pragma once

#include "scenario/step.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zeph::bench::soak_detail {

// Resident anonymous bytes of this process.
size_t residentBytes();

// One step of the take after its configuration, and how far the clock moves after it.
struct Beat {
    const Step* step;
    int64_t advance = 0;
};

// The step being played, as "LINE\tSTEP" for the progress page: a crash names it.
std::string where(const Step& s);

struct Plan {
    std::vector<const Step*> world; // facility lines, and routes made before the load
    const Step* load = nullptr;
    std::vector<const Step*> configuration; // parent texts
    std::vector<Beat> beats;
    std::vector<std::string> where; // of each beat
};

Plan planOf(const Scenario& take);

} // namespace zeph::bench::soak_detail
