// What a component can do to the bench's process beyond a crash: fork and let the child run on as
// the bench, write into the bench's stdout, or call exit. The CLI arms these guards; a test that
// drives the bench directly leaves them off and sees nothing change.
#pragma once

#include <cstddef>
#include <string>

namespace zeph::bench {

// What the child is doing now, kept where the parent can read it once the child has died, and
// where the guards below say the component was.
void progress(const std::string& text);
std::string lastProgress();
// "line 12 (`raw 8`)" for a scenario step's "LINE\tSTEP", the text itself otherwise.
std::string describeProgress(const std::string& text);

// Forks: the component's are told from the bench's (host/fork_guard.h); a process the component
// forked is ended when it comes back to the bench, and the fork is noted here.
void guardForks();
// Where the component forked since the last call (empty: it did not). Its forked process is
// ended if it is still there, and reaped: this process is the subreaper of its children's.
std::string takeForeignFork();

// stdout: the descriptor 1 becomes a file the bench reads after each notification, and std::cout
// (the transcript, the reports) goes on to the real stdout.
void guardStdout();
// The real stdout's descriptor (1 when not guarded).
int benchStdout();
struct Written {
    std::string text; // the first bytes
    size_t bytes = 0;
};
// What the component wrote to stdout since the last call, in any process of this run.
Written takeStdout();
// "the component wrote 12 bytes to stdout (kept out of the transcript): \"hello\""
std::string describeStdout(const Written& w);

// exit: a component that calls exit() in the bench's own process ends it with one line on stderr
// naming the step, and exit code 1, rather than the 0 it may have given. benchDone() disarms it.
void guardExit();
void benchDone();

} // namespace zeph::bench
