// Reading a trace file (trace_format.h) and telling its calls apart: who called whom, what it
// carried, what came back, whose buffer each release handed back.
#pragma once

#include "trace_format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench::trace {

struct Header {
    uint32_t version = 0, tapVersion = 0, pid = 0;
    std::string component;
    uint64_t componentSize = 0, componentTime = 0, startedUs = 0;
};

struct Record {
    uint64_t time = 0; // us since the trace started
    uint32_t thread = 0;
    zb_message message{}; // texts point into the trace's own bytes
    bool limit = false;   // the trace stopped here, at its size limit
};

// One call as the trace shows it, its RETURN folded in.
struct Call {
    enum class Kind { Create, Notification, Command, Release, Destroy, Debug, Fault, Limit };
    Kind kind = Kind::Notification;
    uint64_t time = 0;
    uint32_t thread = 0;
    int depth = 0; // calls in progress on its thread when it was made
    int type = 0;
    const zb_message* message = nullptr;
    bool toHost = false; // the component called its host
    bool returned = false;
    uint64_t value = 0;                // what the RETURN carried (a component, an address)
    std::optional<std::string> result; // the text the callee returned
    std::string owner;                 // a release: whose buffer it was
    // Address-free words for the call, the same in every run that makes it ("parent 'x'").
    std::string describe() const;
};

class Trace {
public:
    Trace() = default;
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    Trace(Trace&&) = default;
    Trace& operator=(Trace&&) = default;

    // False, with one line in error, for a file that is not a trace, is cut short or corrupted.
    bool load(const std::string& path, std::string& error);
    bool parse(std::vector<unsigned char> bytes, std::string& error);

    Header header;
    std::vector<Record> records;
    std::vector<Call> calls;
    bool limited = false;

private:
    bool analyse(std::string& error);
    std::vector<unsigned char> m_bytes;
};

std::string text(const zb_text& t);
std::optional<std::string> optionalText(const zb_text& t);
// The event of a press as a scenario writes it: "command.sub.sub=value".
std::string eventText(const zb_button_data& b);

} // namespace zeph::bench::trace
