// zeph-host soak: many components under one recording host, driven by the take of their workout;
// throughput and memory.
#include "cli.h"
#include "report/json.h"
#include "report/text.h"
#include "soak/soak.h"

#include <iostream>
#include <memory>

namespace zeph::cli {

using namespace zeph::bench;

namespace {

struct SoakArgs {
    Common common;
    std::string workout;
    SoakOptions options;
    bool json = false;
};

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

} // namespace

Subcommand addSoak(CLI::App& app) {
    auto a = std::make_shared<SoakArgs>();
    CLI::App* cmd = app.add_subcommand(
        "soak", "N components under one recording host, M notifications: throughput and memory");
    addCommon(cmd, a->common);
    addWorkoutOption(cmd, a->workout);
    cmd->add_option("--components", a->options.components, "components to create")
        ->check(CLI::Range(1, 1000000));
    cmd->add_option("--notifications", a->options.notifications, "notifications spread over them")
        ->check(CLI::Range(0LL, 1000000000000LL));
    cmd->add_flag("--json", a->json, "print the figures as one JSON object");
    return {cmd, [a] { return soakCommand(*a); }};
}

} // namespace zeph::cli
