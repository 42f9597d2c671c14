// Reading a trace file (trace_format.h) and telling its calls apart: who called whom, what it
// carried, what came back, whose buffer each release handed back.
//
// Memory is linear in the file whatever it holds: the file's bytes once, then a fixed-size entry
// per call (24 bytes; a call takes at least as many bytes in the file) and a few bytes per thread,
// host and handed-out buffer. Nothing is copied per call: a Call is decoded from the file's bytes
// when asked for, so records that make no call (HEAP, HELLO, RETURN) cost nothing once read.
#pragma once

#include "trace_format.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench::trace {

struct Header {
    uint32_t version = 0, tapVersion = 0, pid = 0;
    std::string component;
    uint64_t componentSize = 0, componentTime = 0, startedUs = 0;
    // When the process was created (Unix us), 0 when the writer did not say (version 1): with the
    // pid, which process it was, where pids repeat (Wine's).
    uint64_t processUs = 0;
};

// One call as the trace shows it, its RETURN folded in. Made when asked for: a copy of its own.
struct Call {
    enum class Kind { Create, Notification, Command, Release, Destroy, Debug, Fault, Limit };
    Kind kind = Kind::Notification;
    uint64_t time = 0; // us since the trace started
    uint32_t thread = 0;
    int depth = 0; // calls in progress on its thread when it was made
    // Whose call: 1 for the first component the trace created, 2 the second, ...; what it writes
    // to the debugger and its faults are the instance's whose call was in progress. 0: none.
    int instance = 0;
    int type = 0;
    zb_message message{}; // texts point into the trace's own bytes
    bool toHost = false;  // the component called its host
    bool returned = false;
    uint64_t value = 0;                // what the RETURN carried (a component, an address)
    std::optional<std::string> result; // the text the callee returned
    std::string owner;                 // a release: whose buffer it was
    // Address-free words for the call, the same in every run that makes it: for a call the host
    // makes, the scenario line that makes it ("parent x").
    std::string describe() const;
};

class Trace;

// The calls of a trace in order, each made from the file when indexed.
class Calls {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Call;
        using difference_type = std::ptrdiff_t;
        using pointer = const Call*;
        using reference = Call;
        iterator(const Calls* calls, size_t at) : m_calls(calls), m_at(at) {}
        Call operator*() const { return (*m_calls)[m_at]; }
        iterator& operator++() {
            ++m_at;
            return *this;
        }
        bool operator==(const iterator& o) const { return m_at == o.m_at; }
        bool operator!=(const iterator& o) const { return m_at != o.m_at; }

    private:
        const Calls* m_calls;
        size_t m_at;
    };

    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    Call operator[](size_t i) const { return call(i, true); }
    // The same, but a release's owner is left empty: it names the call that handed the buffer
    // out, made and described for it, which a replay of many releases does without.
    Call withoutOwner(size_t i) const { return call(i, false); }
    Call back() const { return (*this)[size() - 1]; }
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }
    // What is cheap to know of a call without making it.
    uint64_t time(size_t i) const;
    uint32_t thread(size_t i) const;
    int depth(size_t i) const { return int(m_entries[i].depth); }
    int instance(size_t i) const { return int(m_entries[i].instance); }
    Call::Kind kind(size_t i) const { return Call::Kind(m_entries[i].kind); }
    bool toHost(size_t i) const { return m_entries[i].flags & kToHost; }
    // The call's own record alone, its RETURN and release aside.
    zb_message message(size_t i) const;
    // The text its RETURN carried, in the file's bytes: data null when none came back.
    zb_text resultText(size_t i) const;

private:
    friend class Trace;
    static constexpr uint8_t kToHost = 1, kAnswers = 2; // kAnswers: a parent notification
    enum Owner : uint8_t { kNone, kNull, kOf, kAgainOf, kNever };
    // Where the call's record and its RETURN's are in the file (0: no RETURN), and for a release
    // the call that handed its buffer out.
    struct Entry {
        uint32_t at = 0, ret = 0, parent = 0, handed = 0;
        uint16_t depth = 0, instance = 0; // both stop at 65535
        uint8_t kind = 0, flags = 0, owner = kNone;
    };
    // No call takes fewer bytes in the file (a DEBUG with an empty text) than its entry here.
    static_assert(sizeof(Entry) <= ZT_RECORD_HEAD + 12, "an entry outgrows its record");
    Call call(size_t i, bool owner) const;
    void decode(uint32_t at, zb_message& m) const;
    std::string ownerText(const Entry& e) const;

    const std::vector<unsigned char>* m_bytes = nullptr;
    std::deque<Entry> m_entries; // grows without copying or doubling
};

class Trace {
public:
    Trace() = default;
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    Trace(Trace&& o) noexcept { *this = std::move(o); }
    Trace& operator=(Trace&& o) noexcept;

    // False, with one line in error, for a file that is not a trace, is cut short inside its
    // header or corrupted. A last record written in part (a full disk, a host killed mid-write)
    // is not an error: the trace reads up to it, and cutAt says where it starts.
    bool load(const std::string& path, std::string& error);
    bool parse(std::vector<unsigned char> bytes, std::string& error);

    Header header;
    Calls calls;
    size_t records = 0;   // every record read, HEAP and RETURN included
    size_t instances = 0; // the components it created
    bool limited = false;
    std::optional<size_t> cutAt; // the byte where a last record written in part starts
    // The file's size: what the memory of a trace is bounded by.
    size_t bytes() const { return m_bytes.size(); }

private:
    bool analyse(std::string& error, size_t pos);
    std::vector<unsigned char> m_bytes;
};

std::string text(const zb_text& t);
std::optional<std::string> optionalText(const zb_text& t);
// The event of a press as a scenario writes it: "command.sub.sub=value".
std::string eventText(const zb_button_data& b);

} // namespace zeph::bench::trace
