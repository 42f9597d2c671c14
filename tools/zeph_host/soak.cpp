// zeph-host soak: many components under one recording host, driven by the take of their workout;
// throughput and memory. The soak runs in a child process, as run's scenarios do: a component
// that crashes, hangs, ends the process or forks is reported as such and the exit code says so.
#include "cli.h"
#include "isolate/child.h"
#include "report/json.h"
#include "report/text.h"
#include "soak/soak.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <iostream>
#include <sstream>

namespace zeph::cli {

using namespace zeph::bench;

namespace {

// The figures through the child's pipe: numbers first, the error (which may hold spaces) last.
std::string encode(const SoakResult& r) {
    std::ostringstream out;
    out.precision(17);
    out << r.components << ' ' << r.facilities << ' ' << r.sent << ' ' << r.delivered << ' '
        << r.commands << ' ' << r.seconds << ' ' << r.perSecond << ' ' << r.heapPerComponent << ' '
        << r.benchHeapPerComponent << ' ' << r.rssPerComponent << ' ' << r.breaches << ' '
        << r.loadFailed << ' ' << r.error;
    return out.str();
}

bool decode(const std::string& data, SoakResult& r) {
    std::istringstream in(data);
    if (!(in >> r.components >> r.facilities >> r.sent >> r.delivered >> r.commands >> r.seconds >>
          r.perSecond >> r.heapPerComponent >> r.benchHeapPerComponent >> r.rssPerComponent >>
          r.breaches >> r.loadFailed))
        return false;
    in.get();
    std::getline(in, r.error);
    return true;
}

// Runs the soak in a child and reports it; file is what a step's line number is of.
// errors: the file the soak's own errors are about.
int report(const SoakArgs& a, const std::string& file, const std::string& errors,
           const std::function<SoakResult()>& run);

// The instances of a facility scenario, each made with the module its load line names (the
// run's by default) and driven by that module's take.
int soakFacility(const SoakArgs& a) {
    const Common& c = a.common;
    std::vector<Scenario> scenarios;
    if (!loadScenarios({a.facility}, scenarios))
        return kUsage;
    const Scenario& facility = scenarios.front();
    // The copies are the facility as it stands before its first unload: an instance loaded after
    // one would be missing from them, so it is said rather than left out.
    const Step* unload = nullptr;
    for (const Step& step : facility.steps) {
        if (step.kind == Step::Kind::Unload && !unload)
            unload = &step;
        if (step.kind == Step::Kind::Load && unload) {
            std::cerr << "zeph-host: " << facility.file << ":" << step.line
                      << ": a load after the facility's first unload (line " << unload->line
                      << "): the soak copies the facility as it stands before it\n";
            return kUsage;
        }
    }
    host::Module module;
    if (!openModule(module, c.module))
        return kUsage;
    ModuleShelf shelf(c.module, &module);
    if (!shelf.openNamed(scenarios))
        return kUsage;
    // Each module's workout once, the run's as --workout says.
    std::map<std::string, Workout> workouts;
    std::vector<SoakMember> members;
    for (const Step& step : facility.steps) {
        if (step.kind != Step::Kind::Load)
            continue;
        const std::string stem = loadRequest(step).module;
        std::string error;
        host::ComponentSource source =
            stem.empty() ? host::ComponentSource(module) : shelf.find(stem, error);
        // A DLL's fault line then names the instance it struck, as under run; it still ends the
        // soak, which has no instance to fail alone.
        if (source && !step.instance.empty())
            source = source.named(step.instance);
        const std::string path = stem.empty() ? c.module : shelf.pathOf(stem);
        if (!workouts.count(path)) {
            std::optional<Workout> w = findWorkout(path, stem.empty() ? a.workout : "", error);
            if (!w) {
                std::cerr << "zeph-host: " << facility.file << ":" << step.line << ": "
                          << (error.empty() ? path + ": " + noWorkout(path) : error)
                          << ": the soak deals out the steps of its take\n";
                return kUsage;
            }
            workouts.emplace(path, std::move(*w));
        }
        const Workout& w = workouts.at(path);
        const Scenario* take = w.take()              ? w.take()
                               : w.scenarios.empty() ? nullptr
                                                     : &w.scenarios[0];
        members.push_back(SoakMember{step.instance, source, take});
    }
    SoakOptions o = a.options;
    o.basePath = c.basePath;
    return report(a, facility.file, facility.file,
                  [&] { return soakFacilities(facility, members, o); });
}

} // namespace

int soakCommand(const SoakArgs& a) {
    if (!a.facility.empty())
        return soakFacility(a);
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
    const Scenario* take = workout->take();
    return report(a, take ? take->file : workout->path, workout->path,
                  [&] { return soak(module.factory(), *workout, o); });
}

namespace {

// Where a step was: its line of file, or a whole text of its own (a facility's instance's take).
std::string at(const std::string& progress, const std::string& file) {
    return progress.find('\t') == std::string::npos ? describeProgress(progress)
                                                    : describeProgress(progress) + " of " + file;
}

int report(const SoakArgs& a, const std::string& file, const std::string& errors,
           const std::function<SoakResult()>& run) {
    const Common& c = a.common;
    SoakResult r;
    const ChildEnd end = runChild(
        [&](int fd) {
            writeAll(fd, encode(run()));
            return 0;
        },
        a.timeout);
    // With --json, stdout holds the figures' object alone (none after a crash).
    std::ostream& verdict = a.json ? std::cerr : std::cout;
    if (end.how != ChildEnd::How::Exited || end.code != 0 || !decode(end.data, r)) {
        const std::string why =
            end.how == ChildEnd::How::Exited
                ? "the component ended the process (" + end.why + ") before the soak ended"
                : end.why;
        verdict << "CRASHED soak of " << c.module << ": at "
                << (end.last.empty() ? std::string("its start") : at(end.last, file)) << ": " << why
                << "\n";
        return kFailed;
    }
    if (!r.error.empty()) {
        std::cerr << "zeph-host: " << errors << ": " << r.error << "\n";
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
                << at(end.forked, file)
                << ", and its child came back into the bench (it was ended there)\n";
        failed = true;
    }
    if (end.wroteStdout.bytes) {
        verdict << "FAILED soak of " << c.module << ": " << describeStdout(end.wroteStdout) << "\n";
        failed = true;
    }
    return failed ? kFailed : kOk;
}

} // namespace

} // namespace zeph::cli
