// A scenario in a child process: the child plays it, passing on each failure as it happens and
// the whole result at the end; the progress page names the step it was playing.
#include "isolate/scenario_run.h"

#include "isolate/child.h"
#include "isolate/sanitizer.h"
#include "scenario/parser.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace zeph::bench {

namespace {

// Records on the child's pipe: a kind letter, the length, ':', the bytes.
enum Record : char {
    kFailure = 'f',      // a failure as it happened
    kExpectations = 'x', // at the end: the count
    kLoadFailed = 'l',
    kFinal = 'F',   // at the end: each failure of the result
    kWarning = 'w', // at the end: each warning of the result
    kRecording = 'r',
    kDone = 'd',
};

std::string record(Record kind, const std::string& data) {
    return static_cast<char>(kind) + std::to_string(data.size()) + ":" + data;
}

struct Received {
    RunResult result;
    std::vector<std::string> streamed;
    std::string recording;
    bool done = false;
};

Received decode(const std::string& data) {
    Received r;
    size_t i = 0;
    while (i < data.size()) {
        const char kind = data[i];
        const size_t colon = data.find(':', i);
        if (colon == std::string::npos)
            break;
        size_t n = 0;
        for (size_t d = i + 1; d < colon; ++d)
            n = n * 10 + static_cast<size_t>(data[d] - '0');
        if (n > data.size() - colon - 1)
            break;
        const std::string body = data.substr(colon + 1, n);
        i = colon + 1 + n;
        switch (kind) {
        case kFailure:
            r.streamed.push_back(body);
            break;
        case kExpectations:
            r.result.expectations = std::atoi(body.c_str());
            break;
        case kLoadFailed:
            r.result.loadFailed = true;
            break;
        case kFinal:
            r.result.failures.push_back(body);
            break;
        case kWarning:
            r.result.warnings.push_back(body);
            break;
        case kRecording:
            r.recording = body;
            break;
        case kDone:
            r.done = true;
            break;
        }
    }
    return r;
}

// The step being played, as "LINE\tSOURCE" on the progress page.
void playing(int line, const std::string& step) {
    progress(std::to_string(line) + "\t" + step);
}

ScenarioCrash crashOf(const ChildEnd& end) {
    ScenarioCrash c;
    c.why = end.why;
    c.signal = end.how == ChildEnd::How::Signalled ? end.code : 0;
    const size_t tab = end.last.find('\t');
    if (tab != std::string::npos) {
        c.line = std::atoi(end.last.c_str());
        c.step = end.last.substr(tab + 1);
    }
    return c;
}

// A process the component forked came back into the bench (and was ended there): one failure at
// the step that forked, reported as it is found.
// What the child could not tell the transcript itself, told from here.
void tell(const EventSink& sink, Event::Kind kind, const std::string& text, const std::string& file,
          int line) {
    if (!sink)
        return;
    Event e;
    e.kind = kind;
    e.text = text;
    e.file = file;
    e.line = line;
    sink(e);
}

void forkFailure(const Scenario& scenario, const std::string& where, RunResult& result,
                 const EventSink& sink) {
    const int line = std::atoi(where.c_str());
    const std::string text = "the component forked at " + describeProgress(where) +
                             ", and its child came back into the bench (it was ended there)";
    result.failures.push_back(scenario.file + ":" + (line ? std::to_string(line) : "end") + ": " +
                              text);
    tell(sink, Event::Kind::Failure, text, scenario.file, line);
}

// Plays every step, then destroys what is still loaded, telling the progress page which.
void play(Runner& runner, const Scenario& scenario) {
    for (const Step& step : scenario.steps)
        runner.play(step, scenario.file);
    playing(0, stepText(makeStep(Step::Kind::Unload)));
    runner.conclude(scenario.file);
}

// A scenario that expects what the component writes needs it caught, whatever the run shows.
bool capturing(const ScenarioRunOptions& o, const Scenario& scenario) {
    for (const Step& step : scenario.steps)
        if (step.kind == Step::Kind::ExpectDebug)
            return true;
    return o.captureDebug;
}

RunOptions runOptions(const ScenarioRunOptions& o) {
    return RunOptions{o.basePath, true, o.requireExpectations, o.strict, o.modules};
}

// Each step tells the progress page where the run is before SINK hears of it.
EventSink showing(const EventSink& sink) {
    return [sink](const Event& e) {
        if (e.kind == Event::Kind::Step)
            playing(e.line, e.text);
        if (sink)
            sink(e);
    };
}

ScenarioOutcome runHere(zeph_factory_fn factory, const Scenario& scenario,
                        const ScenarioRunOptions& o, const EventSink& sink) {
    Runner runner(factory, runOptions(o), showing(sink));
    runner.facility().setCaptureDebug(capturing(o, scenario));
    runner.facility().setWatchStdout(true);
    play(runner, scenario);
    ScenarioOutcome out{runner.result(), runner.recording(), 0, std::nullopt};
    if (const std::string where = takeForeignFork(); !where.empty())
        forkFailure(scenario, where, out.result, sink);
    return out;
}

int runInChild(int fd, zeph_factory_fn factory, const Scenario& scenario,
               const ScenarioRunOptions& o, const EventSink& sink, std::FILE* words) {
    Runner runner(factory, runOptions(o), [&, shown = showing(sink)](const Event& e) {
        shown(e);
        if (e.kind == Event::Kind::Failure)
            writeAll(fd, record(kFailure, e.file + ":" + std::to_string(e.line) + ": " + e.text));
    });
    runner.facility().setCaptureDebug(capturing(o, scenario), words);
    runner.facility().setWatchStdout(true);
    play(runner, scenario);
    RunResult r = runner.result();
    // The child ends with _exit, where the sanitizer would not look for leaks: look now, with
    // everything of the bench still reachable, so that only what the component lost is found.
    if (leakCheckAvailable()) {
        playing(0, "leak check");
        if (leaksFound())
            r.failures.push_back(scenario.file +
                                 ":end: the component leaked memory (the sanitizer's report is on "
                                 "stderr)");
    }
    std::string data = record(kExpectations, std::to_string(r.expectations));
    if (r.loadFailed)
        data += record(kLoadFailed, "");
    for (const std::string& f : r.failures)
        data += record(kFinal, f);
    for (const std::string& w : r.warnings)
        data += record(kWarning, w);
    data += record(kRecording, runner.recording()) + record(kDone, "");
    writeAll(fd, data);
    return 0;
}

// What the component wrote to stderr, caught for the transcript, in the notification it never
// returned from: the capture file is emptied after each notification, so what is left is that
// one's. Its last words are what tell why.
void lastWords(std::FILE* words, const Scenario& scenario, int line, const EventSink& sink) {
    if (!words)
        return;
    std::string text;
    char buf[4096];
    const int fd = fileno(words);
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 && text.size() < (1u << 16);)
        text.append(buf, static_cast<size_t>(n));
    std::fclose(words);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty())
        tell(sink, Event::Kind::Debug, text, scenario.file, line);
}

} // namespace

std::string ScenarioCrash::text() const {
    const std::string where = line ? "at line " + std::to_string(line) + " (`" + step + "`)"
                              : step.empty() ? std::string("before its first step")
                                             : "at the end (" + step + ")";
    return "crashed " + where + ": " + why;
}

ScenarioOutcome runScenario(zeph_factory_fn factory, const Scenario& scenario,
                            const ScenarioRunOptions& o, const EventSink& sink) {
    if (!o.isolate) {
        const auto start = std::chrono::steady_clock::now();
        ScenarioOutcome out = runHere(factory, scenario, o, sink);
        out.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return out;
    }
    std::FILE* words = o.captureDebug ? std::tmpfile() : nullptr;
    const ChildEnd end =
        runChild([&](int fd) { return runInChild(fd, factory, scenario, o, sink, words); },
                 o.timeoutSeconds);
    Received got = decode(end.data);
    ScenarioOutcome out;
    out.seconds = end.seconds;
    if (end.how == ChildEnd::How::Exited && end.code == 0 && got.done) {
        out.result = std::move(got.result);
        out.recording = std::move(got.recording);
        if (!end.forked.empty())
            forkFailure(scenario, end.forked, out.result, sink);
        if (words)
            std::fclose(words);
        return out;
    }
    // The child did not get to the end: what it passed on before, and how it ended.
    ScenarioCrash crash = crashOf(end);
    lastWords(words, scenario, crash.line, sink);
    if (end.how == ChildEnd::How::Exited && end.code == 0)
        crash.why = "the component ended the process before the scenario ended";
    out.result.failures = std::move(got.streamed);
    if (!end.forked.empty())
        forkFailure(scenario, end.forked, out.result, sink);
    out.result.failures.push_back(scenario.file + ":" +
                                  (crash.line ? std::to_string(crash.line) : "end") + ": " +
                                  crash.text());
    tell(sink, Event::Kind::Failure, crash.text(), scenario.file, crash.line);
    out.crash = std::move(crash);
    return out;
}

} // namespace zeph::bench
