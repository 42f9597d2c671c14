// The shared page (progress and the fork note), the stdout catcher and the exit hook.
#include "isolate/process_guard.h"

#include "fork_guard.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <streambuf>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

// One page shared by the bench and every process forked from it, the component's included.
struct Page {
    char progress[3072];
    char forkedAt[512]; // the progress when the component forked; empty: it did not
    volatile int forked;
    // The processes it forked, each as it starts (a component may fork on every notification).
    int strays;
    volatile pid_t stray[1024];
};
Page* g_page = nullptr;

void copyText(char* to, size_t size, const std::string& text) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

void sharePage() {
    if (g_page)
        return;
    void* shared =
        mmap(nullptr, sizeof(Page), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED)
        g_page = static_cast<Page*>(shared);
}

void forkedHere() {
    if (!g_page || g_page->forked)
        return;
    std::memcpy(g_page->forkedAt, g_page->progress, sizeof g_page->forkedAt - 1);
    g_page->forked = 1;
}

void strayStarts() {
    if (!g_page)
        return;
    const int i = __atomic_fetch_add(&g_page->strays, 1, __ATOMIC_SEQ_CST);
    if (i < static_cast<int>(std::size(g_page->stray)))
        g_page->stray[i] = getpid();
}

// std::cout on the real stdout once descriptor 1 is the catcher's.
class FdBuf : public std::streambuf {
public:
    explicit FdBuf(int fd) : m_fd(fd) { setp(m_buf, m_buf + sizeof m_buf); }

protected:
    int overflow(int c) override {
        if (sync() != 0)
            return traits_type::eof();
        if (c != traits_type::eof()) {
            *pptr() = static_cast<char>(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        const char* p = pbase();
        while (p < pptr()) {
            const ssize_t n = write(m_fd, p, static_cast<size_t>(pptr() - p));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
        }
        setp(m_buf, m_buf + sizeof m_buf);
        return 0;
    }

private:
    int m_fd;
    char m_buf[4096];
};

int g_realStdout = STDOUT_FILENO;
int g_catcher = -1;
off_t g_seen = 0;
pid_t g_mainPid = 0;
bool g_done = false;

void atExit() {
    if (g_done || getpid() != g_mainPid)
        return; // a normal end, or an isolated child: its parent reports it
    std::cout.flush();
    const std::string where = lastProgress();
    std::cerr << "zeph-host: the component ended the process with exit()"
              << (where.empty() ? "" : " at " + describeProgress(where))
              << "; the run has no verdict\n";
    std::cerr.flush();
    _exit(1);
}

} // namespace

void progress(const std::string& text) {
    // The bench's code tells where it is between calls to the component: a forked process that
    // came back into it goes no further.
    host::leaveIfForeignFork();
    sharePage();
    if (g_page)
        copyText(g_page->progress, sizeof g_page->progress, text);
}

std::string lastProgress() {
    return g_page ? std::string(g_page->progress) : std::string();
}

std::string describeProgress(const std::string& text) {
    const size_t tab = text.find('\t');
    if (tab == std::string::npos)
        return text;
    const int line = std::atoi(text.c_str());
    const std::string step = text.substr(tab + 1);
    return line ? "line " + std::to_string(line) + " (`" + step + "`)" : "the end (" + step + ")";
}

void guardForks() {
    // What a child leaves behind comes to this process, which ends and reaps it: neither a forked
    // process nor its zombie outlives the bench.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sharePage();
    host::onForeignFork(strayStarts, forkedHere);
    host::armForkGuard();
}

std::string takeForeignFork() {
    if (!g_page || !g_page->forked)
        return {};
    const int n = std::min<int>(__atomic_load_n(&g_page->strays, __ATOMIC_SEQ_CST),
                                static_cast<int>(std::size(g_page->stray)));
    for (int i = 0; i < n; ++i) {
        // Each forked process names itself as it starts; give one a moment if it has not yet.
        for (int wait = 0; wait < 100 && !g_page->stray[i]; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const pid_t stray = g_page->stray[i];
        g_page->stray[i] = 0;
        if (stray <= 0)
            continue;
        // This process's child by now (its own, or handed on when the child that forked it
        // ended), so the number is still its own: ended if it is not yet, and reaped.
        kill(stray, SIGKILL);
        int status = 0;
        while (waitpid(stray, &status, 0) < 0 && errno == EINTR) {
        }
    }
    const std::string where = g_page->forkedAt;
    g_page->strays = 0;
    g_page->forked = 0;
    g_page->forkedAt[0] = '\0';
    return where.empty() ? "its start" : where;
}

void guardStdout() {
    if (g_catcher >= 0)
        return;
    const int catcher = memfd_create("zeph-component-stdout", MFD_CLOEXEC);
    const int real = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (catcher < 0 || real < 0 || fcntl(catcher, F_SETFL, O_APPEND) != 0 ||
        dup2(catcher, STDOUT_FILENO) < 0) {
        if (catcher >= 0)
            close(catcher);
        if (real >= 0)
            close(real);
        return;
    }
    std::cout.flush();
    g_catcher = catcher;
    g_realStdout = real;
    // Never freed: std::cout may be written to until the very end.
    std::cout.rdbuf(new FdBuf(real));
}

int benchStdout() {
    return g_realStdout;
}

Written takeStdout() {
    Written w;
    struct stat st;
    if (g_catcher < 0 || fstat(g_catcher, &st) != 0 || st.st_size <= g_seen)
        return w;
    w.bytes = static_cast<size_t>(st.st_size - g_seen);
    char buf[160];
    const ssize_t n = pread(g_catcher, buf, std::min(sizeof buf, w.bytes), g_seen);
    if (n > 0)
        w.text.assign(buf, static_cast<size_t>(n));
    g_seen = st.st_size;
    return w;
}

std::string describeStdout(const Written& w) {
    std::string shown;
    for (char c : w.text)
        shown += c == '\n'  ? std::string("\\n")
                 : c == '"' ? std::string("\\\"")
                            : std::string(1, c);
    return "the component wrote " + std::to_string(w.bytes) + " byte" + (w.bytes == 1 ? "" : "s") +
           " to stdout, which is the bench's (kept out of its output): \"" + shown +
           (w.bytes > w.text.size() ? "...\"" : "\"");
}

void guardExit() {
    if (g_mainPid)
        return;
    g_mainPid = getpid();
    std::atexit(atExit);
}

void benchDone() {
    g_done = true;
    std::cout.flush();
}

} // namespace zeph::bench
