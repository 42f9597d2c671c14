// Text and JSON for validate's checks.
#include "report/checks.h"

#include "report/json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

namespace zeph::bench {

namespace {

using Status = CheckResult::Status;

// The breaches a check fails on, or those it leaves to other checks when that is shorter.
std::string kindsOf(const Check& c) {
    const auto& all = host::allErrorKinds();
    const bool most = c.kinds.size() * 2 > all.size();
    std::string kinds;
    for (host::ErrorKind k : all)
        if ((std::find(c.kinds.begin(), c.kinds.end(), k) != c.kinds.end()) != most)
            kinds += std::string(kinds.empty() ? "" : ", ") + host::errorKindName(k);
    return most ? "every breach but " + kinds : kinds;
}

std::string lower(const char* text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

void printCheckList(std::ostream& out) {
    for (const Check& c : validateChecks()) {
        const std::string kinds = kindsOf(c);
        char name[32];
        std::snprintf(name, sizeof name, "%-18s ", c.name);
        out << name << c.summary << (c.needsWorkout ? " [needs the workout]" : "")
            << (kinds.empty() ? "" : " [fails on: " + kinds + "]") << "\n";
    }
}

void printValidateHeader(std::ostream& out, const std::string& module, const ValidateOptions& o) {
    out << "validate " << module << "  (seed " << o.seed << ", " << o.iterations
        << " iterations)\n";
    out << "  workout: ";
    if (o.workout)
        out << o.workout->path << " (" << o.workout->scenarios.size() << " scenarios)\n";
    else
        out << "no workout (none beside the module as "
            << std::filesystem::path(module).stem().string()
            << ".workout, and no --workout PATH given): the checks that need one are skipped\n";
}

void printCheck(std::ostream& out, const Painter& paint, const CheckResult& r,
                const std::string& module, const ValidateOptions& o) {
    char line[128];
    std::snprintf(line, sizeof line, "  %-18s ", r.name.c_str());
    const char* code = r.status == Status::Passed    ? "32"
                       : r.status == Status::Skipped ? "33"
                                                     : "31;1";
    char secs[32];
    std::snprintf(secs, sizeof secs, " %8.3f s", r.seconds);
    out << line << paint(code, statusName(r.status)) << secs << "\n";
    for (const std::string& m : r.messages)
        out << "      " << (r.status == Status::Passed ? paint("2", m) : m) << "\n";
    // A skipped random run has nothing to replay.
    if (r.name == "random" && (r.status == Status::Failed || r.status == Status::Crashed))
        out << "      replay: zeph-host validate " << module << " --only random --seed " << o.seed
            << " --iterations " << o.iterations << "\n";
    out.flush();
}

std::string checkCounts(const std::vector<CheckResult>& results) {
    int counts[4] = {0, 0, 0, 0};
    for (const CheckResult& r : results)
        ++counts[static_cast<int>(r.status)];
    return std::to_string(results.size()) + " checks: " + std::to_string(counts[0]) + " passed, " +
           std::to_string(counts[1]) + " failed, " + std::to_string(counts[2]) + " crashed, " +
           std::to_string(counts[3]) + " skipped";
}

std::string validateJson(const std::string& module, const ValidateOptions& o,
                         const std::vector<CheckResult>& results) {
    nlohmann::ordered_json doc;
    doc["module"] = utf8(module);
    doc["workout"] =
        o.workout ? nlohmann::ordered_json(utf8(o.workout->path)) : nlohmann::ordered_json(nullptr);
    doc["seed"] = o.seed;
    doc["iterations"] = o.iterations;
    doc["checks"] = nlohmann::ordered_json::array();
    for (const char* status : {"passed", "failed", "crashed", "skipped"})
        doc[status] = 0;
    for (const CheckResult& r : results) {
        std::string reason;
        for (const std::string& m : r.messages)
            reason += (reason.empty() ? "" : "\n") + m;
        const std::string status = lower(statusName(r.status));
        doc["checks"].push_back({{"name", r.name},
                                 {"status", status},
                                 {"reason", utf8(reason)},
                                 {"seconds", r.seconds},
                                 {"seed", o.seed}});
        doc[status] = doc[status].get<int>() + 1;
    }
    return doc.dump(2);
}

} // namespace zeph::bench
