// zeph-host serve: reads the scenarios (or the module's workout), starts the session and the page,
// and waits for Ctrl-C; or, with --trace, shows a trace on a page that only reads.
#include "cli.h"
#include "report/text.h"
#include "serve/server.h"
#include "serve/trace_view.h"
#include "trace/trace_tools.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zeph::cli {

namespace {

constexpr int kStopped = kOk;

// The address with its token, in a page only this user can read: a command line is readable by
// every local user, so the browser is handed this file's path instead. Gone when it goes.
class RedirectFile {
public:
    explicit RedirectFile(const std::string& address) {
        std::string url; // as an attribute's text
        for (char c : address)
            url += c == '&' ? "&amp;" : c == '"' ? "&quot;" : c == '<' ? "&lt;" : std::string(1, c);
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/zeph-host-XXXXXX";
        if (!mkdtemp(dir.data())) // 0700
            return;
        m_dir = dir;
        const std::string file = dir + "/open.html";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        const std::string page = "<!doctype html><meta charset=\"utf-8\"><meta name=\"referrer\" "
                                 "content=\"no-referrer\"><meta http-equiv=\"refresh\" "
                                 "content=\"0;url=" +
                                 url + "\"><title>zeph-host serve</title><a href=\"" + url +
                                 "\">Open the bench's page</a>\n";
        const bool written =
            ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
        if (::close(fd) == 0 && written)
            m_file = file;
    }
    ~RedirectFile() {
        if (m_dir.empty())
            return;
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    RedirectFile(const RedirectFile&) = delete;
    RedirectFile& operator=(const RedirectFile&) = delete;
    // Empty when the file could not be written.
    const std::string& path() const { return m_file; }

private:
    std::string m_dir, m_file;
};

// Hands a file or address to the desktop's browser without waiting for it (or leaving a zombie).
void openInBrowser(const std::string& url) {
    const pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            sigset_t none;
            sigemptyset(&none);
            pthread_sigmask(SIG_SETMASK, &none, nullptr);
            execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        _exit(0);
    }
    if (child > 0)
        waitpid(child, nullptr, 0);
}

// Ctrl-C and SIGTERM reach only sigwait: blocked before any thread starts, so that no thread of
// the session or the server is interrupted. A page that goes away must not end us.
sigset_t blockStopSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

bench::ServerOptions serverOptions(const ServeArgs& a) {
    bench::ServerOptions o;
    o.address = a.bind;
    o.port = a.port;
    o.requireToken = !a.noToken;
    return o;
}

// Listens, prints the address and serves until a stop signal: 0, or 2 when it cannot listen.
int serveUntilStopped(bench::PageServer& server, const ServeArgs& a, const sigset_t& stop) {
    std::string error;
    if (!server.bind(error)) {
        std::cerr << "zeph-host: " << error << "\n";
        return kUsage;
    }
    server.start();
    std::cout << "serving " << server.url() << "  (Ctrl-C stops)" << std::endl;
    std::unique_ptr<RedirectFile> redirect;
    if (a.open) {
        redirect = std::make_unique<RedirectFile>(server.url());
        if (redirect->path().empty())
            std::cerr << "zeph-host: cannot write the page that opens the address: open it by hand"
                      << std::endl;
        else
            openInBrowser(redirect->path());
    }
    int signal = 0;
    sigwait(&stop, &signal);
    std::cout << "stopping\n";
    return kStopped;
}

// A trace is only shown: no module is loaded and nothing is played.
int serveTrace(const ServeArgs& a) {
    if (!a.common.module.empty() || !a.scenarios.empty()) {
        std::cerr << "zeph-host: serve --trace shows the trace alone: give no module or scenario\n";
        return kUsage;
    }
    bench::trace::Trace t;
    std::string error;
    if (!t.load(a.trace, error)) {
        std::cerr << "zeph-host: " << error << "\n";
        return kUsage;
    }
    std::cout << "showing " << a.trace << ": " << t.calls.size() << " calls" << std::endl;
    for (const std::string& n : bench::trace::readingNotes(t))
        std::cout << "NOTE: " << n << std::endl;
    const bench::TraceView view(std::move(t), a.trace);
    const sigset_t stop = blockStopSignals();
    bench::PageServer server(view, serverOptions(a));
    const int code = serveUntilStopped(server, a, stop);
    server.stop();
    return code;
}

} // namespace

// Serves until SIGINT or SIGTERM. 0 when stopped so, 2 for a usage error, a module that cannot
// be loaded, a scenario that cannot be read or an address that cannot be listened on.
int serveCommand(const ServeArgs& a) {
    using namespace zeph::bench;
    if (!a.trace.empty())
        return serveTrace(a);
    const Common& c = a.common;
    std::vector<Scenario> scenarios;
    if (!loadScenarios(a.scenarios, scenarios))
        return kUsage;
    std::string error;
    if (scenarios.empty()) {
        // The workout's take when the module has one; else an empty facility to start from.
        std::optional<Workout> workout;
        if (!workoutFor(c, a.workout, workout))
            return kUsage;
        if (workout && workout->take())
            scenarios.push_back(*workout->take());
    }
    host::Module module;
    if (!openModule(module, c.module))
        return kUsage;
    ModuleShelf shelf(c.module, &module);
    if (!shelf.openNamed(scenarios))
        return kUsage;

    const sigset_t stop = blockStopSignals();
    SessionOptions options;
    options.title = std::filesystem::path(c.module).filename().string();
    options.basePath = c.basePath;
    options.captureStderr = c.captureStderr;
    options.modules = shelf.finder();
    Session session(module.factory(), options);
    const std::vector<std::string> failures = session.start(scenarios);
    for (const Scenario& s : scenarios)
        std::cout << "played " << s.file << "\n";
    const Painter paint(useColour(c.colour));
    for (const std::string& f : failures)
        std::cout << "  " << paint("31;1", "FAILED") << " " << f << "\n";

    PageServer server(session, serverOptions(a));
    const int code = serveUntilStopped(server, a, stop);
    session.close();
    server.stop();
    return code;
}

} // namespace zeph::cli
