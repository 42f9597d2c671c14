// The serve session: a runner on its own thread, and the actions the page plays on it (the updates
// it publishes after each: session_updates.cpp).
#include "serve/session.h"

#include <future>

namespace zeph::bench {

namespace {

// One action may move the clock this far; a longer stretch is a few clicks away, and a fast timer
// cannot flood the session in one go.
constexpr long long kMaxAdvance = 3600000;

ActionResult refuse(int status, std::string why) {
    ActionResult r;
    r.status = status;
    r.error = std::move(why);
    return r;
}

} // namespace

Session::Session(host::ComponentSource factory, SessionOptions options)
    : m_factory(factory), m_options(std::move(options)) {
    m_thread = std::thread([this] { worker(); });
}

Session::~Session() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_closed = true;
    }
    m_taskReady.notify_all();
    m_updated.notify_all();
    m_thread.join();
}

void Session::worker() {
    RunOptions run{m_options.basePath, true};
    run.modules = m_options.modules;
    m_runner = std::make_unique<Runner>(m_factory, run, [this](const Event& e) {
        const bool alarm = e.kind == Event::Kind::Failure || e.kind == Event::Kind::HostError;
        if (m_pending.size() < m_options.maxEventsPerUpdate ||
            (alarm && m_pending.size() < 2 * m_options.maxEventsPerUpdate))
            m_pending.push_back(e);
        else
            ++m_unshown;
    });
    m_runner->facility().setCaptureDebug(m_options.captureStderr);
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_taskReady.wait(lock, [&] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty())
                break;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
    // The component is destroyed here, on the one thread that ever called it.
    m_runner.reset();
}

void Session::call(const std::function<void()>& fn) {
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        m_tasks.push_back([&] {
            try {
                fn();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
    }
    m_taskReady.notify_one();
    finished.get();
}

std::vector<std::string> Session::start(const std::vector<Scenario>& scenarios) {
    std::vector<std::string> failures;
    call([&] {
        for (size_t s = 0; s < scenarios.size(); ++s) {
            const Scenario& scenario = scenarios[s];
            size_t end = scenario.steps.size();
            if (s + 1 == scenarios.size()) {
                // The unloads after the last other step, with their expectations, are held back.
                for (size_t i = end; i-- > 0;) {
                    const Step::Kind kind = scenario.steps[i].kind;
                    if (kind == Step::Kind::Unload)
                        end = i;
                    else if (!isExpectation(kind) && kind != Step::Kind::Comment)
                        break;
                }
            }
            for (size_t i = 0; i < end; ++i)
                playStarting(scenario.steps[i], scenario.file);
        }
        Facility& f = m_runner->facility();
        bool anyLoaded = false;
        for (const Runner::InstanceView& in : m_runner->instances())
            anyLoaded = anyLoaded || f.loaded(in.endpoint);
        if (!anyLoaded)
            playStarting(makeStep(Step::Kind::Load), "serve");
        failures = m_runner->result().failures;
        for (const Runner::InstanceView& in : m_runner->instances())
            f.forgetRecords(in.endpoint);
        publish("start");
    });
    return failures;
}

void Session::playStarting(const Step& step, const std::string& file) {
    const bool again = m_order.loadsAgain(step);
    m_runner->play(step, file);
    if (!again)
        taken(step);
}

// A step played into the order of lines, and a load's line kept for the page's Load button; a
// load only when it loaded, as the runner leaves one that found no module out of the recording.
void Session::taken(const Step& step) {
    if (step.kind == Step::Kind::Load) {
        const std::optional<int> endpoint = m_runner->endpointOf(step.instance);
        if (!endpoint || !m_runner->facility().loaded(*endpoint))
            return;
        m_loads[step.instance] = step.source;
    }
    m_order.take(step);
}

ActionResult Session::play(const std::string& line) {
    if (line.size() > m_options.maxLine)
        return refuse(413, "the step is " + std::to_string(line.size()) +
                               " bytes long; the session takes at most " +
                               std::to_string(m_options.maxLine));
    ActionResult r = refuse(503, "the session is closing");
    call([&] { r = playOnWorker(line); });
    return r;
}

ActionResult Session::advanceToNextDue() {
    ActionResult r = refuse(503, "the session is closing");
    call([&] {
        const Facility& f = m_runner->facility();
        const std::optional<int64_t> due = f.nextDue();
        if (!due) {
            r = refuse(409, "nothing is due: no timer runs and no revertive waits");
            return;
        }
        r = playOnWorker(stepText(makeStep(Step::Kind::Advance, {*due - f.now()})));
    });
    return r;
}

ActionResult Session::playOnWorker(const std::string& line) {
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            return refuse(400, "a step is one line without control characters (inside a quoted "
                               "text write \\n, \\t or \\xHH)");
    std::string why;
    std::optional<Step> step = parseLine(line, ++m_actions, why);
    if (!step)
        return refuse(400, why);
    if (step->kind == Step::Kind::Comment)
        return refuse(400, "nothing to play: the line is blank or a comment");
    if (isExpectation(step->kind))
        return refuse(400, "expectations are filled in by the recording; play steps only");
    // Out of order, a line would leave a recording that does not read back; a second load is the
    // runner's to fail, which keeps the first component.
    const bool again = m_order.loadsAgain(*step);
    if (std::string why = again ? "" : m_order.refusal(*step); !why.empty())
        return refuse(409, why);
    Facility& f = m_runner->facility();
    const std::optional<int> addressed = m_runner->endpointOf(step->instance);
    if (needsComponent(step->kind) && !(addressed && f.loaded(*addressed))) {
        if (!step->instance.empty())
            return refuse(409, "@" + step->instance + " is not loaded: load it first");
        // On a facility the bare step is the unnamed instance's: say whom it could have named.
        std::string named;
        for (const Runner::InstanceView& in : m_runner->instances())
            if (!in.name.empty() && f.loaded(in.endpoint))
                named += (named.empty() ? "" : ", ") + ("@" + in.name);
        return refuse(409, named.empty() ? "no component is loaded: load one first"
                                         : "the unnamed instance is not loaded: name one of " +
                                               named + " (\"instance\", or @NAME in a line)");
    }
    if (step->kind == Step::Kind::Press &&
        !f.hasControl(f.facilityPanel(*addressed, step->words[0]), step->words[1]))
        return refuse(404,
                      "panel " + step->words[0] + " has no control \"" + step->words[1] + "\"");
    if (step->kind == Step::Kind::Advance && step->numbers[0] > kMaxAdvance)
        return refuse(400,
                      "the clock moves at most " + std::to_string(kMaxAdvance) + " ms in one step");

    m_runner->play(*step, "page");
    if (!again)
        taken(*step);
    ActionResult r;
    if (step->kind == Step::Kind::Parent) {
        for (const Event& e : m_pending)
            if (e.kind == Event::Kind::Answer) {
                r.answered = true;
                r.answer = e.reply;
            }
    }
    // The runner keeps what the recording needs; the host's own copy of the traffic can go.
    for (const Runner::InstanceView& in : m_runner->instances())
        f.forgetRecords(in.endpoint);
    publish(line);
    std::lock_guard<std::mutex> lock(m_mutex);
    r.seq = m_seq;
    return r;
}

std::string Session::recording() {
    std::string text;
    call([&] { text = m_runner->recording(); });
    return text;
}

void Session::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_updated.notify_all();
}

} // namespace zeph::bench
