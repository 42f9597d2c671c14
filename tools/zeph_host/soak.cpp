// zeph-host soak: many components under one recording host, driven by the take of their workout;
// throughput and memory. The soak runs in a child process, as run's scenarios do: a component
// that crashes, hangs, ends the process or forks is reported as such and the exit code says so.
#include "cli.h"
#include "isolate/child.h"
#include "report/json.h"
#include "report/text.h"
#include "soak/soak.h"

#include <cstdio>
#include <iostream>
#include <sstream>

namespace zeph::cli {

using namespace zeph::bench;

namespace {

// The figures through the child's pipe: numbers first, the error (which may hold spaces) last.
std::string encode(const SoakResult& r) {
    std::ostringstream out;
    out.precision(17);
    out << r.components << ' ' << r.sent << ' ' << r.delivered << ' ' << r.commands << ' '
        << r.seconds << ' ' << r.perSecond << ' ' << r.heapPerComponent << ' '
        << r.benchHeapPerComponent << ' ' << r.rssPerComponent << ' ' << r.breaches << ' '
        << r.loadFailed << ' ' << r.error;
    return out.str();
}

bool decode(const std::string& data, SoakResult& r) {
    std::istringstream in(data);
    if (!(in >> r.components >> r.sent >> r.delivered >> r.commands >> r.seconds >> r.perSecond >>
          r.heapPerComponent >> r.benchHeapPerComponent >> r.rssPerComponent >> r.breaches >>
          r.loadFailed))
        return false;
    in.get();
    std::getline(in, r.error);
    return true;
}

} // namespace

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
    if (refuseInstances(workout->scenarios, "the soak cannot deal out yet"))
        return kUsage;
    SoakOptions o = a.options;
    o.basePath = c.basePath;
    SoakResult r;
    const ChildEnd end = runChild(
        [&](int fd) {
            writeAll(fd, encode(soak(module.factory(), *workout, o)));
            return 0;
        },
        a.timeout);
    const Scenario* take = workout->take();
    const std::string file = take ? take->file : workout->path;
    // With --json, stdout holds the figures' object alone (none after a crash).
    std::ostream& verdict = a.json ? std::cerr : std::cout;
    if (end.how != ChildEnd::How::Exited || end.code != 0 || !decode(end.data, r)) {
        const std::string why =
            end.how == ChildEnd::How::Exited
                ? "the component ended the process (" + end.why + ") before the soak ended"
                : end.why;
        verdict << "CRASHED soak of " << c.module << ": at "
                << (end.last.empty() ? std::string("its start")
                                     : describeProgress(end.last) + " of " + file)
                << ": " << why << "\n";
        return kFailed;
    }
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
    bool failed = r.breaches > 0;
    if (!end.forked.empty()) {
        verdict << "FAILED soak of " << c.module << ": the component forked at "
                << describeProgress(end.forked) << " of " << file
                << ", and its child came back into the bench (it was ended there)\n";
        failed = true;
    }
    if (end.wroteStdout.bytes) {
        verdict << "FAILED soak of " << c.module << ": " << describeStdout(end.wroteStdout) << "\n";
        failed = true;
    }
    return failed ? kFailed : kOk;
}

} // namespace zeph::cli
