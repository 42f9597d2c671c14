// zeph-host soak: many components under one recording host, driven by the take of their workout;
// throughput and memory.
#include "cli.h"
#include "report/json.h"
#include "report/text.h"
#include "soak/soak.h"

#include <iostream>

namespace zeph::cli {

using namespace zeph::bench;

int soakCommand(const SoakArgs& a) {
    const Common& c = a.common;
    host::Module module;
    std::optional<Workout> workout;
    if (!openWithWorkout(c, a.workout, module, workout))
        return kUsage;
    if (!workout) {
        std::cerr << "zeph-host: " << c.module << ": " << noWorkout(c.module)
                  << ": the soak deals out the steps of its take\n";
        return kUsage;
    }
    SoakOptions o = a.options;
    o.basePath = c.basePath;
    const SoakResult r = soak(module.factory(), *workout, o);
    if (!r.error.empty()) {
        std::cerr << "zeph-host: " << workout->path << ": " << r.error << "\n";
        return kUsage;
    }
    if (r.loadFailed) {
        std::cerr << "zeph-host: " << c.module << ": the factory returned null\n";
        return kUsage;
    }
    if (a.json)
        std::cout << soakJson(r) << "\n";
    else
        printSoak(std::cout, c.module, r);
    return r.breaches ? kFailed : kOk;
}

} // namespace zeph::cli
