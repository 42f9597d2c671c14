// Starting, feeding, reading and reaping the bridge's process.
#include "bridge/bridge_process.h"

#include "fork_guard.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::host::bridge {

Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

namespace {

// A process this one did not start (a bridge the parent lent it) cannot be waited for; its end
// shows in /proc while its parent has not reaped it: true when it has ended, with its status.
bool endedElsewhere(pid_t pid, int& status) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    std::FILE* f = std::fopen(path, "r");
    if (!f)
        return true; // gone, reaped
    char line[1024];
    const size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    line[n] = '\0';
    // After the name in parentheses: the state, then the fields up to the exit code, the 52nd.
    const char* p = std::strrchr(line, ')');
    if (!p || p[1] != ' ' || p[2] != 'Z')
        return !p;
    p += 2;
    for (int field = 3; field < 52 && p; ++field)
        p = std::strchr(p + 1, ' ');
    status = p ? std::atoi(p + 1) : 0;
    return true;
}

} // namespace

bool reap(pid_t pid, double seconds, int* status) {
    const auto deadline = after(seconds);
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD && endedElsewhere(pid, st))) {
            if (status)
                *status = st;
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        usleep(5000);
    }
}

void writeAll(int fd, const char* data, size_t n) {
    while (n) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        data += done;
        n -= size_t(done);
    }
}

void dieOf(int sig) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

namespace {

// In the child: the pipes become its standard streams, and nothing else of the bench's is
// inherited, since another pipe held open by Wine would keep its reader waiting for an end.
[[noreturn]] void execChild(char* const* argv, pid_t parent, int in, int out, int err) {
    // When the bench dies, however it dies, wine-run hears it and ends the bridge's namespace: a
    // bench killed at its time limit leaves nothing running.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(1);
    // Out of the terminal's process group: Ctrl-C is the bench's to handle (serve stops on it and
    // then destroys its components through the bridge), not a kill of the bridge under it.
    setpgid(0, 0);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    if (err >= 0)
        dup2(err, STDERR_FILENO);
    syscall(SYS_close_range, 3u, ~0u, 0u);
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv);
    _exit(127);
}

} // namespace

bool Process::start(const std::vector<std::string>& args, std::string& why) {
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0) {
        why = "no pipe for the bridge";
        return false;
    }
    if (pipe2(from, O_CLOEXEC) != 0) {
        close(to[0]);
        close(to[1]);
        why = "no pipe for the bridge";
        return false;
    }
    // What Wine and wine-run say is kept to explain a bridge that does not start; unless the user
    // asked Wine to say more (WINEDEBUG), which then goes to the bench's own stderr.
    if (!std::getenv("WINEDEBUG"))
        m_err = memfd_create("zeph-bridge-stderr", MFD_CLOEXEC);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = benchFork();
    if (pid == 0)
        execChild(argv.data(), parent, to[0], from[1], m_err);
    close(to[0]);
    close(from[1]);
    if (pid < 0) {
        close(to[1]);
        close(from[0]);
        why = "cannot start the bridge";
        return false;
    }
    m_child = pid;
    m_to = to[1];
    m_from = from[0];
    return true;
}

int Process::read(void* buffer, size_t size, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return TimedOut;
        pollfd p{m_from, POLLIN, 0};
        const int ready = poll(&p, 1, int(std::min<long long>(left, INT_MAX)));
        if (ready <= 0)
            continue; // interrupted, or the time is up: the loop's head tells
        const ssize_t got = ::read(m_from, buffer, std::min<size_t>(size, INT_MAX));
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 ? 0 : int(got);
    }
}

bool Process::readable() {
    pollfd p{m_from, POLLIN, 0};
    return m_from < 0 || poll(&p, 1, 0) != 0;
}

bool Process::write(const void* data, size_t size) {
    // A bridge that has gone must not take this process down with SIGPIPE before it is reported.
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const char* p = static_cast<const char*>(data);
    bool broken = false;
    while (size) {
        const ssize_t n = ::write(m_to, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            broken = true;
            break;
        }
        p += n;
        size -= size_t(n);
    }
    if (broken) {
        const timespec zero = {0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return !broken;
}

void Process::closeInput() {
    if (m_to >= 0)
        close(m_to);
    m_to = -1;
}

bool Process::wait(double seconds, int* status) {
    if (m_child <= 0 || !reap(m_child, seconds, status))
        return false;
    m_child = -1;
    return true;
}

void Process::stop(bool gently) {
    if (m_to >= 0)
        close(m_to);
    m_to = -1;
    if (m_from >= 0)
        close(m_from);
    m_from = -1;
    if (m_child > 0 && !reap(m_child, gently ? 10 : 0)) {
        kill(m_child, SIGTERM); // wine-run ends the namespace, and all in it
        if (!reap(m_child, 10)) {
            kill(m_child, SIGKILL);
            reap(m_child, 5);
        }
    }
    m_child = -1;
    if (m_err >= 0)
        close(m_err);
    m_err = -1;
}

void Process::abandon() {
    for (int* fd : {&m_to, &m_from, &m_err}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    m_child = -1;
}

std::string Process::stderrTail() const {
    if (m_err < 0)
        return "";
    std::string all;
    char buf[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(m_err, buf, sizeof buf, at);
        if (n <= 0)
            break;
        all.append(buf, size_t(n));
        at += n;
        if (all.size() > 1 << 20)
            break;
    }
    while (!all.empty() && (all.back() == '\n' || all.back() == '\r'))
        all.pop_back();
    const size_t nl = all.rfind('\n');
    return nl == std::string::npos ? all : all.substr(nl + 1);
}

} // namespace zeph::host::bridge
