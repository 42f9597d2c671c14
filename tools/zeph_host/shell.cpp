// zeph-host shell: the component created on its take's facility, then steps typed one at a time.
#include "cli.h"
#include "report/text.h"
#include "scenario/parser.h"
#include "scenario/scenario.h"

#include <iostream>
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
    help +=
        "  shell:    help | quit      (expectations are about the step typed just before them)\n";
    return help;
}

// Plays the take's lines up to its first load (the facility and the component created), or only
// a load when there is no take. Returns what the shell starts from, for its greeting.
std::string setUp(Runner& runner, const Scenario* take) {
    if (take) {
        for (const Step& step : take->steps) {
            runner.play(step, take->file);
            if (step.kind == Step::Kind::Load)
                return "the facility of " + take->file;
        }
    }
    std::string error;
    runner.play(*parseLine("load", 0, error), "shell");
    return take ? "the facility of " + take->file : "no workout, an empty facility";
}
} // namespace

int shellCommand(const ShellArgs& a) {
    const Common& c = a.common;
    host::Module module;
    std::optional<Workout> workout;
    if (!openWithWorkout(c, a.workout, module, workout))
        return kUsage;
    if (workout && workout->take() &&
        refuseInstances({*workout->take()}, "the shell cannot start from yet: start from --workout "
                                            "with a take of one component"))
        return kUsage;
    TextTranscript text(std::cout, useColour(c.colour), true);
    Runner runner(module.factory(), RunOptions{c.basePath, true}, [&](const Event& e) { text(e); });
    runner.facility().setCaptureDebug(c.captureStderr);
    // Start where a panel designer wants to be: the component's facility, the component created.
    const std::string start = setUp(runner, workout ? workout->take() : nullptr);
    if (runner.result().loadFailed) {
        std::cerr << "zeph-host: " << c.module << ": the factory returned null\n";
        return kUsage;
    }
    const bool interactive = isatty(STDIN_FILENO);
    std::cout << "zeph-host shell on " << c.module << ": " << start
              << " is in place and the component created; 'help' lists the steps.\n";
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
        std::string error;
        auto step = parseLine(line, number, error);
        if (!step) {
            std::cout << "line " << number << ": " << error << "\n";
            continue;
        }
        // Expectations typed at the prompt are about the step just before them.
        if (!isExpectation(step->kind) && step->kind != Step::Kind::Comment)
            runner.forgetSent();
        runner.play(*step, "shell");
        std::cout.flush();
    }
    runner.finish();
    const RunResult& r = runner.result();
    std::cout << "\n" << r.expectations << " expectations, " << r.failures.size() << " failed\n";
    return r.ok() ? kOk : kFailed;
}

} // namespace zeph::cli
