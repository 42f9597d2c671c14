// What validate prints: the list of checks, each result as it finishes, the closing count, and the
// whole run as one JSON document.
#pragma once

#include "report/text.h"
#include "validate/validate.h"

#include <ostream>
#include <string>
#include <vector>

namespace zeph::bench {

// One line per check: its name, what it does, and the breaches it fails on.
void printCheckList(std::ostream& out);

// The opening lines: the module, the seed, and the workout the checks are driven by.
void printValidateHeader(std::ostream& out, const std::string& module,
                         const ValidateOptions& options);

// One check's line with its status and time, then its messages; for a random run that did not
// pass, the command line that replays it.
void printCheck(std::ostream& out, const Painter& paint, const CheckResult& result,
                const std::string& module, const ValidateOptions& options);

// "N checks: a passed, b failed, c crashed, d skipped".
std::string checkCounts(const std::vector<CheckResult>& results);

// Every check as {name, status, reason, seconds, seed}, with the counts, in one document.
std::string validateJson(const std::string& module, const ValidateOptions& options,
                         const std::vector<CheckResult>& results);

} // namespace zeph::bench
