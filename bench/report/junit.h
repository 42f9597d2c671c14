// JUnit XML reports: one test case per scenario run or per validate check.
#pragma once

#include "isolate/scenario_run.h"
#include "validate/validate.h"

#include <string>
#include <vector>

namespace zeph::bench {

struct JUnitCase {
    std::string name;
    std::string className;
    double seconds = 0;
    std::vector<std::string> failures; // empty: passed
    bool error = false;                // crashed or did not run, rather than failed
    std::string output;                // system-out
    bool skipped = false;              // could not apply; output says why
};

// A scenario's run, named by its file; a crash is an error whose message names step, line and
// signal.
JUnitCase junitCase(const std::string& file, const ScenarioOutcome& outcome);
// A validate check: its status and messages as the failure, or its notes as output.
JUnitCase junitCase(const CheckResult& result);

// Writes a JUnit XML report with one suite; false when the file cannot be written.
bool writeJUnit(const std::string& path, const std::string& suite,
                const std::vector<JUnitCase>& cases);
std::string xmlEscape(const std::string& text);

} // namespace zeph::bench
