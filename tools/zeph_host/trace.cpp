// zeph-host trace: show a trace file, turn it into a scenario, or find where two traces part.
#include "cli.h"
#include "trace/trace_tools.h"

#include <fstream>
#include <iostream>

namespace zeph::cli {

namespace {
// Reads one trace; one line on stderr when it cannot be read, and with say, one for each note of
// the reading (a cut trace) where the output itself will not carry it.
bool readTrace(const std::string& path, bench::trace::Trace& t, bool say) {
    std::string error;
    if (!t.load(path, error)) {
        std::cerr << "zeph-host: " << error << "\n";
        return false;
    }
    for (const std::string& n : bench::trace::readingNotes(t))
        if (say)
            std::cerr << "zeph-host: " << path << ": NOTE: " << n << "\n";
    return true;
}

} // namespace

int traceCommand(const TraceArgs& a) {
    bench::trace::Trace t;
    const bool shown = a.action == TraceArgs::Action::Show && !a.json;
    if (!readTrace(a.file, t, !shown && a.action != TraceArgs::Action::Scenario))
        return kUsage;
    if (a.action == TraceArgs::Action::Show) {
        if (a.json)
            bench::trace::showJson(t, std::cout);
        else
            bench::trace::showText(t, std::cout);
        return kOk;
    }
    if (a.action == TraceArgs::Action::Scenario) {
        std::vector<std::string> notes;
        const std::string scenario = bench::trace::toScenarioNoted(t, notes);
        std::ofstream out(a.out, std::ios::binary);
        out << scenario;
        if (!out.flush()) {
            std::cerr << "zeph-host: cannot write " << a.out << "\n";
            return kUsage;
        }
        // Written a block at a time: a hostile trace has a note every few calls, and stderr is
        // unbuffered.
        std::string said;
        for (size_t i = 0; i < notes.size(); ++i) {
            said += "zeph-host: " + a.file + ": " + notes[i] + "\n";
            if (said.size() >= 65536 || i + 1 == notes.size()) {
                std::cerr << said;
                said.clear();
            }
        }
        return kOk;
    }
    bench::trace::Trace other;
    if (!readTrace(a.other, other, true))
        return kUsage;
    const std::string difference = bench::trace::firstDifference(t, other, a.replies);
    if (difference.empty()) {
        std::cout << "the traces agree on all " << t.calls.size() << " calls\n";
        return kOk;
    }
    std::cout << difference;
    return kFailed;
}

} // namespace zeph::cli
