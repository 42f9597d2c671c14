// Many components in one process, driven by the component's own workout: throughput and memory per
// component.
#pragma once

#include "workout/workout.h"
#include "component_source.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zeph::bench {

struct SoakOptions {
    int components = 100;
    int facilities = 1; // of a facility scenario: how many copies of it
    long long notifications = 100000;
    std::string basePath;
};

struct SoakResult {
    int components = 0;
    int facilities = 0;   // 0: each component had a facility of its own
    long long sent = 0;   // notifications the soak sent
    size_t delivered = 0; // every notification delivered, the facility's own included
    size_t commands = 0;  // commands the components sent
    double seconds = 0;   // wall-clock time of the notification phase
    double perSecond = 0; // delivered / seconds
    // Heap bytes per configured component, with what the host keeps for it (its registration,
    // timers and released-reply records); the bench's own part is counted apart.
    double heapPerComponent = 0;
    double benchHeapPerComponent = 0; // heap bytes per component of the bench: endpoint, facility
    double rssPerComponent = 0; // resident anonymous bytes per component, the bench's part included
    size_t breaches = 0;        // of the host contract, as the recording hosts saw them
    bool loadFailed = false;
    std::string error; // the workout gives nothing to soak with (nothing ran)
};

// Each component gets a facility of its own, built from the take's facility lines (components
// configured alike would otherwise share a destination and hear each other's routes), and is
// configured as the take configures it. Then the take's later steps are dealt round-robin, one
// notification per component in turn, its clock moving as the take moves it after each step.
SoakResult soak(host::ComponentSource factory, const Workout& workout, const SoakOptions& options);

// The same soak taken step by step, for a benchmark that times the dealing alone: built and
// configured at construction, dealt in as many calls as wanted (each carries on the round-robin),
// unloaded by finish(), whose figures leave the time to the caller.
class SoakRun {
public:
    SoakRun(host::ComponentSource factory, const Workout& workout, const SoakOptions& options);
    ~SoakRun();
    SoakRun(const SoakRun&) = delete;
    SoakRun& operator=(const SoakRun&) = delete;
    // The error, the failed load and the memory figures; nothing is dealt after either failure.
    const SoakResult& setup() const;
    void deal(long long notifications);
    SoakResult finish();

private:
    struct State;
    std::unique_ptr<State> m;
};

// One instance of a facility scenario as the soak makes it: its name there, the source of its
// module and that module's take, which drives it.
struct SoakMember {
    std::string name;
    host::ComponentSource factory;
    const Scenario* take = nullptr;
};

// options.facilities copies of a facility scenario, each built from its facility lines with every
// instance loaded (on its panels, with its base) and configured by the parent texts the scenario
// gives it before its first other step; the instances of a copy share its routers, database and
// clock. Then each instance's own take's later steps are dealt round-robin over every instance of
// every copy, the copy's clock moving after each as that take moves it. members: one per load
// line, in the scenario's order.
SoakResult soakFacilities(const Scenario& facility, const std::vector<SoakMember>& members,
                          const SoakOptions& options);

} // namespace zeph::bench
