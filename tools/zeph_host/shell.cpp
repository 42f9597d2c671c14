// zeph-host shell: the components created on their take's facility, then steps typed one at a
// time.
#include "cli.h"
#include "report/text.h"
#include "scenario/parser.h"
#include "scenario/scenario.h"

#include <fstream>
#include <iostream>
#include <set>
#include <unistd.h>

namespace zeph::cli {

using namespace zeph::bench;

namespace {
// The help: every keyword of the language, from the parser's own grammar, so that none is left
// out; each class's usages joined with " | " and wrapped.
std::string shellHelp() {
    std::string help = "Type scenario lines one at a time; the transcript follows each.\n";
    const auto group = [&help](const char* title, std::vector<std::string> usages) {
        const std::string indent(12, ' ');
        std::string line = "  " + std::string(title);
        line.resize(indent.size(), ' ');
        bool first = true;
        for (const std::string& u : usages) {
            if (!first && line.size() + 3 + u.size() > 100) {
                help += line + "\n";
                line = indent;
                first = true;
            }
            line += (first ? "" : " | ") + u;
            first = false;
        }
        help += line + "\n";
    };
    group("facility:", usagesOf(Step::Class::Facility));
    std::string kinds;
    for (const std::string& k : controlKinds())
        kinds += (kinds.empty() ? "" : ", ") + k;
    help += std::string(12, ' ') + "(a control's KIND: " + kinds + ")\n";
    std::vector<std::string> steps = usagesOf(Step::Class::Lifecycle);
    for (Step::Class c : {Step::Class::Stimulus, Step::Class::Time})
        for (std::string& u : usagesOf(c))
            steps.push_back(std::move(u));
    group("steps:", steps);
    group("checks:", usagesOf(Step::Class::Expectation));
    help += "  shell:    status | help | quit   (expectations are about the step typed just before "
            "them;\n            status: the clock, and each instance loaded or not, its panels and "
            "timers)\n";
    return help;
}

// The lines a shell starts from: a take's up to its first load, or, when the take names
// instances, up to the first load of the last instance it names (every panel in place); all of
// them when it loads nothing.
size_t setUpEnd(const Scenario& take) {
    std::set<std::string> named;
    size_t end = take.steps.size();
    for (size_t i = 0; i < take.steps.size(); ++i) {
        const Step& step = take.steps[i];
        if (step.kind != Step::Kind::Load || !named.insert(step.instance).second)
            continue;
        end = i + 1;
        if (!take.namesInstances())
            break;
    }
    return end;
}

// Takes a played step into the order of lines: a load only when it loaded, as the runner leaves
// one that could not find its module out of the recording.
void takeIn(LineOrder& order, Runner& runner, const Step& step) {
    const std::optional<int> endpoint = runner.endpointOf(step.instance);
    if (step.kind != Step::Kind::Load || (endpoint && runner.facility().loaded(*endpoint)))
        order.take(step);
}

// Plays the take's opening lines (the facility and its components created), or only a load when
// there is no take. Returns what the shell starts from, for its greeting.
std::string setUp(Runner& runner, LineOrder& order, const Scenario* take) {
    if (take) {
        const size_t end = setUpEnd(*take);
        bool loads = false;
        for (size_t i = 0; i < end; ++i) {
            runner.play(take->steps[i], take->file);
            takeIn(order, runner, take->steps[i]);
            loads = loads || take->steps[i].kind == Step::Kind::Load;
        }
        if (loads)
            return "the facility of " + take->file;
    }
    const Step load = makeStep(Step::Kind::Load);
    runner.play(load, "shell");
    takeIn(order, runner, load);
    return take ? "the facility of " + take->file : "no workout, an empty facility";
}

std::string who(const std::string& instance) {
    return instance.empty() ? "the component" : "@" + instance;
}

// What is created, for the greeting: "the component" or "@mon1, @mon2 and @alarms".
std::string created(Runner& runner) {
    std::vector<std::string> loaded;
    for (const Runner::InstanceView& in : runner.instances())
        if (runner.facility().loaded(in.endpoint))
            loaded.push_back(who(in.name));
    if (loaded.size() < 2)
        return "the component created";
    std::string text;
    for (size_t i = 0; i < loaded.size(); ++i)
        text += (i == 0 ? "" : i + 1 == loaded.size() ? " and " : ", ") + loaded[i];
    return text + " created";
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

// `status`: the clock, then each instance on a line of its own: loaded or not, on which panels of
// the facility, and its running timers. The unnamed one only when it is loaded or alone.
std::string status(Runner& runner) {
    Facility& f = runner.facility();
    const std::vector<Runner::InstanceView> instances = runner.instances();
    std::string text = "t = " + std::to_string(f.now()) + " ms\n";
    for (const Runner::InstanceView& in : instances) {
        const bool loaded = f.loaded(in.endpoint);
        if (in.name.empty() && !loaded && instances.size() > 1)
            continue;
        const std::vector<std::string>& panels = f.panelsOf(in.endpoint);
        text += who(in.name) + ": " +
                (!loaded      ? "not loaded"
                 : in.faulted ? "loaded, dead since its fault"
                              : "loaded") +
                ", on " +
                (panels.empty()       ? std::string("the facility's panels")
                 : panels.size() == 1 ? "panel " + panels[0]
                                      : "panels " + joined(panels));
        std::vector<std::string> timers;
        if (loaded)
            for (int id : f.host(in.endpoint).runningTimers())
                timers.push_back(std::to_string(id));
        text += timers.empty() ? "\n" : ", timers " + joined(timers) + " running\n";
    }
    return text;
}
} // namespace

int shellCommand(const ShellArgs& a) {
    const Common& c = a.common;
    host::Module module;
    std::optional<Workout> workout;
    if (!openWithWorkout(c, a.workout, module, workout))
        return kUsage;
    const Scenario* take = workout ? workout->take() : nullptr;
    ModuleShelf shelf(c.module, &module);
    if (take && !shelf.openNamed({*take}))
        return kUsage;
    TextTranscript text(std::cout, useColour(c.colour), true);
    RunOptions options{c.basePath, true};
    options.modules = shelf.finder();
    Runner runner(module.factory(), options, [&](const Event& e) { text(e); });
    runner.facility().setCaptureDebug(c.captureStderr);
    // Start where a panel designer wants to be: the component's facility, the components created.
    LineOrder order;
    const std::string start = setUp(runner, order, take);
    if (runner.result().loadFailed) {
        std::cerr << "zeph-host: " << c.module << ": the factory returned null\n";
        return kUsage;
    }
    const bool interactive = isatty(STDIN_FILENO);
    std::cout << "zeph-host shell on " << c.module << ": " << start << " is in place and "
              << created(runner) << "; 'help' lists the steps.\n";
    std::string line;
    int number = 0;
    for (;;) {
        if (interactive)
            std::cout << "zeph> " << std::flush;
        if (!std::getline(std::cin, line))
            break;
        ++number;
        if (line == "quit" || line == "exit")
            break;
        if (line == "help") {
            std::cout << shellHelp();
            continue;
        }
        if (line == "status") {
            std::cout << status(runner);
            continue;
        }
        std::string error;
        auto step = parseLine(line, number, error);
        // A second load is the runner's to fail, which keeps the first component; any other line
        // out of order is refused here, as a file would be, so that the recording reads back.
        if (step && !order.loadsAgain(*step))
            error = order.refusal(*step);
        if (!step || !error.empty()) {
            std::cout << "line " << number << ": " << error << "\n";
            continue;
        }
        // Expectations typed at the prompt are about the step just before them.
        if (!isExpectation(step->kind) && step->kind != Step::Kind::Comment)
            runner.forgetSent();
        const bool again = order.loadsAgain(*step);
        runner.play(*step, "shell");
        if (!again)
            takeIn(order, runner, *step);
        std::cout.flush();
    }
    runner.finish();
    const RunResult& r = runner.result();
    std::cout << "\n" << r.expectations << " expectations, " << r.failures.size() << " failed\n";
    if (!a.record.empty()) {
        std::ofstream out(a.record, std::ios::binary);
        out << runner.recording();
        if (!out) {
            std::cerr << "zeph-host: cannot write " << a.record << "\n";
            return kUsage;
        }
    }
    return r.ok() ? kOk : kFailed;
}

} // namespace zeph::cli
