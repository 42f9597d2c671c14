// Runs work where its crash or hang cannot take the bench down: a forked child with an optional
// time limit, its result coming back through a pipe, and a shared page saying what it was doing.
#pragma once

#include "isolate/process_guard.h"

#include <cstdio>
#include <functional>
#include <string>

namespace zeph::bench {

struct ChildEnd {
    enum class How { Exited, Signalled, TimedOut, NotStarted };
    How how = How::NotStarted;
    int code = 0;     // the exit code, or the signal
    std::string data; // what the child wrote to its pipe
    std::string last; // its last progress text; empty when it gave none
    double seconds = 0;
    std::string why;     // for any end but an exit: "signal 6 (Aborted)", "timed out after ..."
    std::string forked;  // where the component forked in the child (empty: it did not)
    Written wroteStdout; // what the component wrote to stdout in the child (when guarded)
};

// Runs body in a forked child. body writes its result to the descriptor it is given and returns
// the child's exit code. The child's stderr goes to errors when given; it is killed when this
// process dies, and at the time limit (none when timeoutSeconds is 0 or less). A process the
// component forked in the child neither holds the parent up nor outlives the child.
ChildEnd runChild(const std::function<int(int fd)>& body, double timeoutSeconds,
                  std::FILE* errors = nullptr);

void writeAll(int fd, const std::string& data);

} // namespace zeph::bench
