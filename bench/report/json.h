// JSON output: one object per event of a run, the closing summary, and the soak's figures.
#pragma once

#include "facility/event.h"
#include "isolate/scenario_run.h"
#include "soak/soak.h"

#include <ostream>
#include <string>
#include <vector>

namespace zeph::bench {

// Texts from a component may hold any bytes; JSON and XML need valid UTF-8. Each byte above 0x7F
// is read as Latin-1.
std::string utf8(const std::string& text);

// One JSON object per line for every event.
class JsonTranscript {
public:
    explicit JsonTranscript(std::ostream& out) : m_out(out) {}
    void operator()(const Event& e);

private:
    std::ostream& m_out;
};

std::string eventJson(const Event& e);
// The closing object of a scenario run in --json output; a crash names its step, line and signal.
std::string summaryJson(const std::string& file, int expectations,
                        const std::vector<std::string>& failures,
                        const ScenarioCrash* crash = nullptr);
// The figures of a soak run as one object.
std::string soakJson(const SoakResult& r);

} // namespace zeph::bench
