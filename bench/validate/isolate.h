// Runs one check where its crash or hang cannot take the bench down: in a forked child with a time
// limit, its result coming back through a pipe.
#pragma once

#include "isolate/child.h"
#include "validate/validate.h"

#include <functional>
#include <string>

namespace zeph::bench {

// Runs run in a child process. A signal, an exit the child did not mean or the time limit makes
// the result Crashed, with the last progress line; seconds is the child's wall-clock time.
CheckResult runIsolated(const std::function<CheckResult()>& run, double timeoutSeconds);

// Runs run here (for a debugger: a crash ends the bench), timed.
CheckResult runInProcess(const std::function<CheckResult()>& run);

} // namespace zeph::bench
