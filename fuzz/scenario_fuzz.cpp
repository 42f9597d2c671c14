// Any scenario file through the parser and, when it parses, the runner, with a probe component
// that reads every record it is given: whatever a file says (raw records of any bytes, any
// numbers, routers, timers, expectations that fail), the bench stays within its own memory and
// returns, its recording of the run parses again, and every line written back by stepText reads as
// the step it was written from.
#include "fuzz_check.h"
#include "probe_component.h"
#include "scenario/scenario.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zeph::bench;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<Scenario> scenario = parseScenario(text, "fuzz.zs", error);
    if (!scenario) {
        ZEPH_FUZZ_CHECK(error.rfind("fuzz.zs:", 0) == 0, error);
        return 0;
    }
    for (const Step& step : scenario->steps) {
        const std::string line = stepText(step);
        const std::optional<Step> again = parseLine(line, step.line, error);
        ZEPH_FUZZ_CHECK(again && again->kind == step.kind && again->instance == step.instance &&
                            again->numbers == step.numbers && again->words == step.words &&
                            again->text == step.text,
                        zeph::fuzz::quoted(step.source) + " written as " +
                            zeph::fuzz::quoted(line));
    }
    Runner runner(createProbe, RunOptions{"", true});
    runner.run(*scenario);
    const std::optional<Scenario> recorded = parseScenario(runner.recording(), "recorded", error);
    ZEPH_FUZZ_CHECK(recorded.has_value(), error + " in " + zeph::fuzz::quoted(runner.recording()));
    return 0;
}
