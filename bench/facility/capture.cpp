// The component's stderr, caught around each outermost notification and reported as one event.
#include "facility/facility.h"

#include "isolate/process_guard.h"

#include <unistd.h>

namespace zeph::bench {

void Facility::setCaptureDebug(bool on, std::FILE* into) {
    if (on && !(m_rare && m_rare->captureFile)) {
        rare().ownsCaptureFile = !into;
        rare().captureFile = into ? into : std::tmpfile();
    }
    m_capture = on && m_rare && m_rare->captureFile;
}

void Facility::enter(int) {
    if (m_depth++ > 0 || !m_capture)
        return;
    std::fflush(stderr);
    Rare& r = rare();
    r.savedStderr = dup(STDERR_FILENO);
    if (r.savedStderr >= 0)
        dup2(fileno(r.captureFile), STDERR_FILENO);
}

void Facility::setWatchStdout(bool on) {
    m_watchStdout = on;
}

void Facility::leave(int endpoint) {
    if (m_depth == 1 && m_watchStdout) {
        // stdout is the bench's (the transcript, JSON): what the component wrote there was kept
        // aside when the CLI guards it, and breaks the run at the step that wrote it.
        const Written w = takeStdout();
        if (w.bytes)
            emit(Event::Kind::HostError, endpoint, describeStdout(w));
    }
    if (--m_depth > 0 || !m_capture || rare().savedStderr < 0)
        return;
    Rare& r = rare();
    std::fflush(stderr);
    dup2(r.savedStderr, STDERR_FILENO);
    close(r.savedStderr);
    r.savedStderr = -1;
    const int fd = fileno(r.captureFile);
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    lseek(fd, 0, SEEK_SET);
    if (ftruncate(fd, 0) != 0)
        text += " (capture file could not be emptied)";
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty())
        emit(Event::Kind::Debug, endpoint, text);
}

} // namespace zeph::bench
