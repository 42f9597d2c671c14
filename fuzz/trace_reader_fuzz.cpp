// Fuzzes the trace reader: any bytes as a trace file. A file is refused in one non-empty line or
// read whole; what is read can be shown, as text and JSON, and converted to a scenario. The text
// shown is counted, not kept: a line may name a long command again and again, and the memory
// limits CI runs this under (tools/ci/50-fuzz.sh) are the reader's, proportional to its input.
#include "trace/trace_tools.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>

namespace {
// Takes every character and keeps none.
class Discard : public std::streambuf {
protected:
    int overflow(int c) override { return c == traits_type::eof() ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};
} // namespace

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
    Discard discard;
    std::ostream out(&discard);
    zeph::bench::trace::showText(t, out);
    zeph::bench::trace::showJson(t, out);
    // Converted as the page does, each line handed on as it is made: the scenario's own text (up
    // to twice a trace of notes) is the converter's output, not what reading the input costs.
    std::vector<std::string> notes;
    zeph::bench::trace::PlayWatch watch;
    size_t bytes = 0;
    watch.recording = [&](const std::string& line) { bytes += line.size() + 1; };
    zeph::bench::trace::playTrace(t, notes, watch);
    if (!zeph::bench::trace::firstDifference(t, t).empty()) {
        std::fprintf(stderr, "a trace differs from itself\n");
        std::abort();
    }
    return 0;
}
