// Process isolation for the checks: fork, a pipe for the result, a time limit, and a shared page
// that says what the child was doing when it crashed or hung.
#include "validate/isolate.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kProgressSize = 4096;
char* g_progress = nullptr;

// The child's exit codes for a check that ran to its end; anything else is a crash.
constexpr int kExitPassed = 0, kExitFailed = 3, kExitSkipped = 4;

int exitCode(CheckResult::Status status) {
    switch (status) {
    case CheckResult::Status::Failed:
        return kExitFailed;
    case CheckResult::Status::Skipped:
        return kExitSkipped;
    default:
        return kExitPassed;
    }
}

void sharePage() {
    if (g_progress)
        return;
    void* shared =
        mmap(nullptr, kProgressSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED)
        g_progress = static_cast<char*>(shared);
}

void writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Reads the child's messages until it closes the pipe or the deadline passes; false on time-out.
bool readUntil(int fd, Clock::time_point deadline, std::string& data) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) > 0) {
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                return true;
            data.append(buf, static_cast<size_t>(n));
        }
    }
}

std::vector<std::string> splitNul(const std::string& data) {
    std::vector<std::string> out;
    for (size_t i = 0; i < data.size();) {
        const size_t end = data.find('\0', i);
        out.push_back(data.substr(i, end - i));
        i = end == std::string::npos ? data.size() : end + 1;
    }
    return out;
}

// What the child wrote to stderr (the component's diagnostics, a sanitizer's or the bridge's
// report): kept out of the check list, summed up, and its end shown when the child crashed.
void reportStderr(std::FILE* file, CheckResult& result) {
    if (!file)
        return;
    std::string text;
    std::rewind(file);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0 && text.size() < (1u << 20))
        text.append(buf, n);
    std::fclose(file);
    std::vector<std::string> lines;
    for (size_t i = 0; i < text.size();) {
        const size_t end = std::min(text.find('\n', i), text.size());
        if (end > i)
            lines.push_back(text.substr(i, std::min<size_t>(end - i, 240)));
        i = end + 1;
    }
    if (lines.empty())
        return;
    if (result.status == CheckResult::Status::Crashed) {
        const size_t from = lines.size() > 6 ? lines.size() - 6 : 0;
        for (size_t i = from; i < lines.size(); ++i)
            result.messages.push_back("stderr: " + lines[i]);
    } else {
        result.messages.push_back(std::to_string(lines.size()) +
                                  (lines.size() == 1 ? " line" : " lines") +
                                  " of diagnostics on stderr (--in-process shows them)");
    }
}

CheckResult crashed(std::string why) {
    CheckResult r;
    r.status = CheckResult::Status::Crashed;
    r.messages.push_back(std::move(why));
    return r;
}

} // namespace

void progress(const std::string& text) {
    if (!g_progress)
        return;
    const size_t n = std::min(text.size(), kProgressSize - 1);
    std::memcpy(g_progress, text.data(), n);
    g_progress[n] = '\0';
}

CheckResult runIsolated(const std::function<CheckResult()>& run, double timeoutSeconds) {
    sharePage();
    if (g_progress)
        g_progress[0] = '\0';
    int fds[2];
    if (pipe(fds) != 0)
        return crashed("cannot create a pipe");
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* errors = std::tmpfile();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (errors)
            dup2(fileno(errors), STDERR_FILENO);
        const CheckResult r = run();
        std::string data;
        for (const std::string& m : r.messages)
            data += m + '\0';
        writeAll(fds[1], data);
        close(fds[1]);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(exitCode(r.status));
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        if (errors)
            std::fclose(errors);
        return crashed("cannot fork");
    }
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
    std::string data;
    const bool finished = readUntil(fds[0], deadline, data);
    if (!finished)
        kill(pid, SIGKILL);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    CheckResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.messages = splitNul(data);
    const std::string last = g_progress && g_progress[0] ? g_progress : "(not started)";
    const auto crash = [&](const std::string& why) {
        result.status = CheckResult::Status::Crashed;
        result.messages.push_back(why + "; last step: " + last);
    };
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!finished)
        crash("timed out after " + std::to_string(timeoutSeconds) + " s");
    else if (WIFSIGNALED(status))
        crash("signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
              ")");
    else if (code == kExitPassed)
        result.status = CheckResult::Status::Passed;
    else if (code == kExitFailed)
        result.status = CheckResult::Status::Failed;
    else if (code == kExitSkipped)
        result.status = CheckResult::Status::Skipped;
    else
        crash("exit code " + std::to_string(code));
    reportStderr(errors, result);
    return result;
}

CheckResult runInProcess(const std::function<CheckResult()>& run) {
    const auto start = Clock::now();
    CheckResult result = run();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

} // namespace zeph::bench
