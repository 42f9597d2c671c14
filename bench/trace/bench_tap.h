// The bench's own tap: what the bench's host and a component say to each other, written as the
// field tap writes it (trace_format.h), so that a desk run and a field run compare with one tool.
#pragma once

#include "zeph_client_callback.h"

#include <memory>
#include <string>

namespace zeph::bench::trace {

// The tap version a trace written by the bench carries in its header (the field tap's start at 1).
constexpr uint32_t kBenchTapVersion = 0;

class BenchTap {
public:
    BenchTap();
    ~BenchTap();
    BenchTap(const BenchTap&) = delete;
    BenchTap& operator=(const BenchTap&) = delete;

    // Creates the file and writes its header, naming the module file; false and why otherwise.
    bool open(const std::string& file, const std::string& module, std::string& error,
              uint64_t limit = 0);
    // A factory creating the component through real with a recording host and a recording
    // component in between, which relay every call unchanged. One tap is open at a time: the
    // factory is a bare function, so it finds the tap in one process-wide slot.
    zeph_factory_fn wrap(zeph_factory_fn real);
    // What the component wrote to its diagnostics output, as the field tap records its debugger
    // output.
    void debug(const std::string& text);
    // False once a write has failed: the run went on, the trace is incomplete.
    bool intact() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

} // namespace zeph::bench::trace
