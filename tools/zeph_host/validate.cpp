// zeph-host validate: the named host-contract checks, each in a child process, printed as they
// finish or as one JSON document.
#include "cli.h"
#include "report/checks.h"
#include "report/junit.h"

#include <iostream>
#include <random>

namespace zeph::cli {

using namespace zeph::bench;

int validateCommand(const ValidateArgs& a) {
    if (a.list) {
        printCheckList(std::cout);
        return kOk;
    }
    host::Module module;
    ValidateOptions o;
    if (!openWithWorkout(a.common, a.workout, module, o.workout))
        return kUsage;
    if (o.workout && refuseInstances(o.workout->scenarios,
                                     "validate cannot drive yet: its checks play one component"))
        return kUsage;
    o.basePath = a.common.basePath;
    o.seed = a.seed ? *a.seed : std::random_device{}() % 1000000000u;
    o.iterations = a.iterations;
    o.timeoutSeconds = a.timeout;
    o.only = splitList(a.onlyText);
    o.skip = splitList(a.skipText);
    o.isolate = !a.inProcess;
    const Painter paint(useColour(a.common.colour));
    // A usage error is one line, with no header before it.
    std::string error = unknownCheck(o);
    if (!error.empty()) {
        std::cerr << "zeph-host: " << error << "\n";
        return kUsage;
    }
    if (!a.json)
        printValidateHeader(std::cout, a.common.module, o);
    const auto results = validate(
        module.factory(), o,
        [&](const CheckResult& r) {
            if (!a.json)
                printCheck(std::cout, paint, r, a.common.module, o);
        },
        error);
    if (!error.empty()) {
        std::cerr << "zeph-host: " << error << "\n";
        return kUsage;
    }
    std::cout << (a.json ? validateJson(a.common.module, o, results) : checkCounts(results))
              << "\n";
    std::vector<JUnitCase> cases;
    bool failed = false;
    for (const CheckResult& r : results) {
        cases.push_back(junitCase(r));
        failed |=
            r.status == CheckResult::Status::Failed || r.status == CheckResult::Status::Crashed;
    }
    if (!a.junit.empty() && !writeJUnit(a.junit, "zeph-host validate", cases)) {
        std::cerr << "zeph-host: cannot write " << a.junit << "\n";
        return kUsage;
    }
    return failed ? kFailed : kOk;
}

} // namespace zeph::cli
