// fork, a pipe for the result, a time limit, and a shared page for the child's last words.
#include "isolate/child.h"

#include "bridge/bridged_module.h"
#include "fork_guard.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

using Clock = std::chrono::steady_clock;

enum class Read { Closed, ChildGone, TimedOut };

// Reads what is in the pipe now, without waiting.
void drain(int fd, std::string& data) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0)
            data.append(buf, static_cast<size_t>(n));
}

// Reads the child's messages until the pipe closes, the child has ended (a process it forked may
// still hold the pipe; status is then filled in) or the deadline passes.
Read readUntil(int fd, pid_t pid, const Clock::time_point* deadline, std::string& data,
               int& status) {
    for (;;) {
        long long wait = 100;
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now())
                    .count();
            if (left <= 0)
                return Read::TimedOut;
            wait = std::min<long long>(left, wait);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait)) > 0) {
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Read::Closed;
            data.append(buf, static_cast<size_t>(n));
        } else if (waitpid(pid, &status, WNOHANG) == pid) {
            drain(fd, data);
            return Read::ChildGone;
        }
    }
}

[[noreturn]] void beChild(const std::function<int(int fd)>& body, int fd, std::FILE* errors,
                          pid_t parent) {
    // A bench killed mid-run must not leave its children playing on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    if (errors)
        dup2(fileno(errors), STDERR_FILENO);
    const int code = body(fd);
    close(fd);
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}

} // namespace

void writeAll(int fd, const std::string& data) {
    host::leaveIfForeignFork(); // a result is written once, by the bench's own child
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

ChildEnd runChild(const std::function<int(int fd)>& body, double timeoutSeconds,
                  std::FILE* errors) {
    ChildEnd end;
    guardForks();
    progress("");
    takeForeignFork();
    takeStdout();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        end.why = "cannot create a pipe";
        return end;
    }
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    // This process only waits for the child: the child may use this process's bridge meanwhile.
    host::bridge::lendBridge();
    const pid_t pid = host::benchFork();
    if (pid == 0) {
        close(fds[0]);
        beChild(body, fds[1], errors, parent);
    }
    close(fds[1]);
    if (pid < 0) {
        host::bridge::takeBridgeBack();
        close(fds[0]);
        end.why = "cannot fork";
        return end;
    }
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    int status = 0;
    const Read read =
        readUntil(fds[0], pid, timeoutSeconds > 0 ? &deadline : nullptr, end.data, status);
    const bool finished = read != Read::TimedOut;
    if (!finished)
        kill(pid, SIGKILL);
    close(fds[0]);
    if (read != Read::ChildGone)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    host::bridge::takeBridgeBack();
    end.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    end.last = lastProgress();
    // A process the component forked is ended (if it has not ended itself on coming back to the
    // bench) and reaped.
    end.forked = takeForeignFork();
    end.wroteStdout = takeStdout();
    if (!finished) {
        end.how = ChildEnd::How::TimedOut;
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
        end.why = std::string("timed out after ") + limit + " s";
    } else if (WIFSIGNALED(status)) {
        end.how = ChildEnd::How::Signalled;
        end.code = WTERMSIG(status);
        end.why = "signal " + std::to_string(end.code) + " (" + strsignal(end.code) + ")";
    } else {
        end.how = ChildEnd::How::Exited;
        end.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        end.why = "exit code " + std::to_string(end.code);
    }
    return end;
}

} // namespace zeph::bench
