// fork, a pipe for the result, a time limit, and a shared page for the child's last words.
#include "isolate/child.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kProgressSize = 4096;
char* g_progress = nullptr;

void sharePage() {
    if (g_progress)
        return;
    void* shared =
        mmap(nullptr, kProgressSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED)
        g_progress = static_cast<char*>(shared);
}

// Reads the child's messages until it closes the pipe or the deadline passes; false on time-out.
bool readUntil(int fd, const Clock::time_point* deadline, std::string& data) {
    for (;;) {
        long long wait = 100;
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now())
                    .count();
            if (left <= 0)
                return false;
            wait = std::min<long long>(left, wait);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait)) > 0) {
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return true;
            data.append(buf, static_cast<size_t>(n));
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
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}

} // namespace

void progress(const std::string& text) {
    if (!g_progress)
        return;
    const size_t n = std::min(text.size(), kProgressSize - 1);
    std::memcpy(g_progress, text.data(), n);
    g_progress[n] = '\0';
}

void writeAll(int fd, const std::string& data) {
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
    sharePage();
    if (g_progress)
        g_progress[0] = '\0';
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        end.why = "cannot create a pipe";
        return end;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        beChild(body, fds[1], errors, parent);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        end.why = "cannot fork";
        return end;
    }
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    const bool finished = readUntil(fds[0], timeoutSeconds > 0 ? &deadline : nullptr, end.data);
    if (!finished)
        kill(pid, SIGKILL);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    end.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    end.last = g_progress ? g_progress : "";
    if (!finished) {
        end.how = ChildEnd::How::TimedOut;
        end.why = "timed out after " + std::to_string(timeoutSeconds) + " s";
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
