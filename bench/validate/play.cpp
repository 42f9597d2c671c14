// Playing a workout for the checks, and sorting what the host saw by kind.
#include "validate/check.h"
#include "validate/isolate.h"
#include "scenario/parser.h"

#include <algorithm>
#include <filesystem>

namespace zeph::bench {

void fail(CheckResult& result, std::string message) {
    result.status = CheckResult::Status::Failed;
    result.messages.push_back(std::move(message));
}

void keep(CheckResult& result, const Breaches& found, const std::vector<host::ErrorKind>& kinds,
          size_t limit) {
    size_t shown = 0, total = 0;
    for (const Breach& b : found) {
        if (std::find(kinds.begin(), kinds.end(), b.kind) == kinds.end())
            continue;
        if (++total <= limit) {
            fail(result, b.text);
            ++shown;
        }
    }
    if (total > shown)
        result.messages.push_back("... and " + std::to_string(total - shown) + " more");
}

EventSink collectBreaches(Breaches& into, const std::string* where) {
    return [&into, where](const Event& e) {
        if (e.kind == Event::Kind::HostError && e.error)
            into.push_back({*e.error, (where && !where->empty() ? *where + ": " : "") + e.text});
    };
}

bool isAction(const Step& step) {
    return isStimulus(step.kind) || step.kind == Step::Kind::Load ||
           step.kind == Step::Kind::Unload || step.kind == Step::Kind::Advance;
}

Played play(const CheckContext& context, const Scenario& scenario, const PlayOptions& options) {
    Played played;
    std::string where;
    const std::string file = std::filesystem::path(scenario.file).filename().string();
    const EventSink breaches = collectBreaches(played.breaches, &where);
    Runner runner(context.factory, RunOptions{context.options.basePath, false},
                  [&](const Event& e) {
                      breaches(e);
                      if (e.kind == Event::Kind::Answer)
                          played.answers.push_back(e.reply);
                  });
    if (options.setup)
        options.setup(runner.facility());
    const auto at = [&](const std::string& what) {
        where = what;
        progress(std::string(context.check.name) + ": " + what);
    };
    size_t actions = 0;
    std::string last;
    for (const Step& step : scenario.steps) {
        if (isAction(step) && actions == options.stopAfter)
            break;
        if (step.kind == Step::Kind::Unload)
            for (const std::string& text : options.extraParents) {
                at(stepText(makeStep(Step::Kind::Parent, {}, {}, text)));
                runner.facility().parent(0, text);
            }
        at(file + ":" + std::to_string(step.line) + " (" + step.source + ")");
        runner.play(step, scenario.file);
        if (isAction(step)) {
            ++actions;
            last = where;
        }
    }
    at(actions == options.stopAfter ? "destroyed after " + last : file + ": destroy");
    runner.finish();
    played.repliesHandedOut = runner.facility().host(0).repliesHandedOut();
    played.loadFailed = runner.result().loadFailed;
    return played;
}

Played playWorkout(const CheckContext& context, const PlayOptions& options) {
    Played all;
    if (!context.workout)
        return all;
    for (const Scenario& s : context.workout->scenarios) {
        Played p = play(context, s, options);
        all.breaches.insert(all.breaches.end(), p.breaches.begin(), p.breaches.end());
        all.answers.insert(all.answers.end(), p.answers.begin(), p.answers.end());
        all.repliesHandedOut += p.repliesHandedOut;
        all.loadFailed = all.loadFailed || p.loadFailed;
    }
    return all;
}

} // namespace zeph::bench
