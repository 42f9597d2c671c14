// What the soak's two runs share (soak.cpp: one component per facility; soak_facilities.cpp: a
// facility scenario's copies): a take's plan, and the figures they read. Private to them.
#pragma once

#include "facility/facility.h"
#include "scenario/step.h"
#include "soak/soak.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zeph::bench::soak_detail {

// Resident anonymous bytes of this process.
size_t residentBytes();

// The copies of a facility a soak deals to, each a copy of one description, and what they cost:
// the bench's heap (each copy's facility and endpoints), the components' (what loading and
// configuring them took: the heap is read between the two to keep the figures apart), and the
// process's resident growth.
class Copies {
public:
    // Describes the facility of world's lines once, for n copies.
    Copies(std::vector<std::unique_ptr<Facility>>& worlds, const std::vector<const Step*>& world,
           int n);
    // A new copy of the description; add its endpoints, then say built().
    Facility& add();
    void built();
    // Its components are loaded and configured.
    void configured();
    // The figures per instance into r.
    void figures(double instances, SoakResult& r) const;

    size_t benchHeap = 0;
    size_t componentHeap = 0;

private:
    std::vector<std::unique_ptr<Facility>>& m_worlds;
    Facility m_model;
    size_t m_rss0;
    size_t m_before = 0;
    size_t m_built = 0;
};

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
