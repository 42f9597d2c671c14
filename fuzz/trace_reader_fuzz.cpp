// Fuzzes the trace reader: any bytes as a trace file. A file is refused in one non-empty line or
// read whole; what is read can be shown, as text and JSON, and converted to a scenario.
#include "trace/trace_tools.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zeph::bench::trace::Trace t;
    std::string error;
    if (!t.parse(std::vector<unsigned char>(data, data + size), error)) {
        if (error.empty() || error.find('\n') != std::string::npos) {
            std::fprintf(stderr, "refused without one line: '%s'\n", error.c_str());
            std::abort();
        }
        return 0;
    }
    std::ostringstream out;
    zeph::bench::trace::showText(t, out);
    zeph::bench::trace::showJson(t, out);
    std::vector<std::string> notes;
    out << zeph::bench::trace::toScenario(t, notes);
    if (!zeph::bench::trace::firstDifference(t, t).empty()) {
        std::fprintf(stderr, "a trace differs from itself\n");
        std::abort();
    }
    return 0;
}
