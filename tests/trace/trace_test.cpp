// The trace file: a session written through the C writer reads back as the same calls, the size
// limit and write failures stop the file cleanly, and every damaged file is refused in one line.
#include "trace/bench_tap.h"
#include "trace_tape.h"
#include "trace/trace_tools.h"
#include "zeph_client_callback.h"
#include "zeph_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace zt = zeph::bench::trace;

namespace {

using zeph::test::parsed;
using zeph::test::Tape;

// A session with every kind of call, made from real records as a host lays them out.
void session(Tape& t) {
    static char reply[] = "201 7", answer[] = "ok";
    t.header("Ostrel.dll");
    t.create(1, "C:\\panels");
    {
        zb_message m{};
        m.kind = ZB_RETURN;
        m.u.ret.value = 0x5000;
        t.put(m);
    }
    t.call(0x5000, ZEPH_PARENT, "instance=pkg/mon1", false);
    t.call(1, ZEPH_COMMAND, "SD 'pkg/mon1'", true);
    t.ret(reply);
    t.call(1, ZEPH_RELEASE, reply, true);
    t.ret(nullptr);
    t.call(1, ZEPH_RELEASE, reply, true);
    t.ret(nullptr);
    t.ret(answer);
    t.call(0x5000, ZEPH_RELEASE, answer, false);
    t.ret(nullptr);
    alignas(4) unsigned char record[32] = {};
    const int32_t words[4] = {5, 0, 40, 0};
    std::memcpy(record, words, sizeof words);
    std::memcpy(record + 16, "Camera 1", 9);
    t.call(0x5000, ZEPH_REVERTIVE, record, false);
    t.ret(nullptr);
    zeph_parent_event event{};
    const char* empty = "";
    event.command = "cmd";
    for (auto& s : event.sub)
        s = empty;
    event.sub[0] = "a";
    event.value = "v";
    zeph_button_record button{3, 7, "1", "Tarnel", &event};
    t.call(0x5000, ZEPH_BUTTON, &button, false);
    t.call(1, ZEPH_RELEASE, &button, true);
    t.ret(nullptr);
    t.call(1, ZEPH_RELEASE, nullptr, true);
    t.ret(nullptr);
    t.ret(nullptr);
    const int32_t entry[4] = {5, 2, 0, 40};
    std::memcpy(record, entry, sizeof entry);
    t.call(0x5000, ZEPH_DATABASE, record, false);
    t.ret(nullptr);
    // A tick answered with the parent's old buffer hands nothing out: a second release of it is
    // still the host's double release.
    t.call(0x5000, ZEPH_TIMER, reinterpret_cast<void*>(intptr_t(3)), false);
    t.ret(answer);
    t.call(0x5000, ZEPH_RELEASE, answer, false);
    t.ret(nullptr);
    zb_fault fault{};
    fault.code = 0xC0000005u;
    fault.where = zb_text_of("Ostrel.traced.dll+0x00001234 during notification type 4");
    zt_write_fault(&t.w, 0, 1, &fault); // no heap: what a fault handler can do
    t.boundaries.push_back(t.bytes.size());
    zb_message debug{};
    debug.kind = ZB_DEBUG;
    debug.u.debug.text = zb_text_of("hello");
    t.put(debug, 2);
    zb_message destroy{};
    destroy.kind = ZB_DESTROY;
    destroy.u.destroy.handle = 0x5000;
    t.put(destroy);
    t.call(1, ZEPH_COMMAND, "AS", true);
}

TEST(trace_file, session_reads_back_call_by_call) {
    Tape tape;
    session(tape);
    const zt::Trace t = parsed(tape.bytes);
    EXPECT_EQ(t.header.component, "Ostrel.dll");
    EXPECT_EQ(t.header.tapVersion, 3u);
    EXPECT_EQ(t.header.pid, 42u);
    EXPECT_EQ(t.header.componentSize, 1234u);
    EXPECT_EQ(t.header.componentTime, 1700000000u);
    EXPECT_EQ(zt::headerLine(t.header),
              "trace of Ostrel.dll (1234 bytes of 2023-11-14 22:13:20 UTC), "
              "tap version 3, process 42, started 1970-01-01 00:00:00 UTC");
    // depth, made by the component, words, result
    const struct {
        int depth;
        bool toHost;
        const char* what;
        const char* result;
    } want[] = {
        {0, false, "load C:\\panels", nullptr},
        {0, false, "parent instance=pkg/mon1", "ok"},
        {1, true, "SD 'pkg/mon1'", "201 7"},
        {1, true, "release of the reply to SD 'pkg/mon1'", nullptr},
        {1, true, "release again of the reply to SD 'pkg/mon1'", nullptr},
        {0, false, "release of the answer to parent instance=pkg/mon1", nullptr},
        {0, false, "revertive 5 40 Camera 1", nullptr},
        {0, false, "press 1 Tarnel cmd.a=v", nullptr},
        {1, true, "release of a pointer never handed out", nullptr},
        {1, true, "release of a null pointer", nullptr},
        {0, false, "dbchange 5 2 40 Camera 1", nullptr},
        {0, false, "tick 3", "ok"},
        {0, false, "release again of the answer to parent instance=pkg/mon1", nullptr},
        {0, false, "fault 0xc0000005 at Ostrel.traced.dll+0x00001234 during notification type 4",
         nullptr},
        {0, false, "debug 'hello'", nullptr},
        {0, false, "unload", nullptr},
        {1, true, "AS", nullptr},
    };
    ASSERT_EQ(t.calls.size(), std::size(want));
    for (size_t i = 0; i < t.calls.size(); ++i) {
        SCOPED_TRACE(want[i].what);
        const zt::Call& c = t.calls[i];
        EXPECT_EQ(c.describe(), want[i].what);
        EXPECT_EQ(c.depth, want[i].depth);
        EXPECT_EQ(c.toHost, want[i].toHost);
        EXPECT_EQ(c.result.value_or("(null)"), want[i].result ? want[i].result : "(null)");
    }
    EXPECT_EQ(t.calls[14].thread, 2u);
    const zt::Call press = t.calls[7];
    const zb_button_data& pressed = press.message.u.call.data.button;
    EXPECT_EQ(pressed.word0 * 10 + pressed.word1, 37u); // the record's whole content
    std::ostringstream shown;
    zt::showText(t, shown);
    for (const char* line :
         {"\n  0.000040 t1   <= SD 'pkg/mon1' -> \"201 7\"\n",
          "\n  0.000000 t1 !! fault 0xc0000005", "\n  0.000280 t2 !! debug 'hello'\n"})
        EXPECT_NE(shown.str().find(line), std::string::npos) << line << " in\n" << shown.str();
    EXPECT_FALSE(t.calls.back().returned); // the session ends in the middle of its destruction
}

// Which process wrote a trace: its pid, and from version 2 on when it was created, which tells
// apart processes given one pid (Wine gives every fresh process the same). Version 1 still reads.
TEST(trace_file, the_header_says_which_process_in_either_version) {
    const auto written = [](uint64_t processUs) {
        Tape t;
        zt_header h{};
        h.tap_version = 1;
        h.pid = 32;
        h.component = zb_text_of("Ostrel.dll");
        h.process_us = processUs;
        EXPECT_EQ(zt_write_header(&t.w, &h), 0);
        t.boundaries.push_back(t.bytes.size());
        t.create(1, "");
        return t.bytes;
    };
    std::vector<unsigned char> v1 = written(0);
    v1[4] = 1;                                            // version 1: no process creation field
    v1.erase(v1.begin() + 30 + 24, v1.begin() + 30 + 32); // 20, the name's 10, then the times
    const struct {
        const char* name;
        std::vector<unsigned char> bytes;
        uint32_t version;
        const char* says;
    } cases[] = {
        {"version 2", written(1700000000000007ull), 2,
         ", process 32 created 2023-11-14 22:13:20.000007 UTC, started"},
        {"version 2, creation unknown", written(0), 2, ", process 32, started"},
        {"version 1", v1, 1, ", process 32, started"},
    };
    for (const auto& c : cases) {
        const zt::Trace t = parsed(c.bytes);
        EXPECT_EQ(t.header.version, c.version) << c.name;
        EXPECT_NE(zt::headerLine(t.header).find(c.says), std::string::npos)
            << c.name << ": " << zt::headerLine(t.header);
        ASSERT_EQ(t.calls.size(), 1u) << c.name;
        EXPECT_EQ(t.calls.time(0), 10u) << c.name; // the record right after the header
    }
}

// A crash or a full disk at any moment loses nothing already written: every record boundary is a
// whole trace, and a file cut anywhere past its header reads as its last boundary did, saying where
// the record written in part starts. Only a header cut short is refused.
TEST(trace_file, every_cut_reads_up_to_its_last_whole_record) {
    Tape tape;
    session(tape);
    for (size_t n = 0; n <= tape.bytes.size(); ++n) {
        zt::Trace t;
        std::string error;
        const std::vector<unsigned char> cut(tape.bytes.begin(),
                                             tape.bytes.begin() + std::ptrdiff_t(n));
        const auto last = std::upper_bound(tape.boundaries.begin(), tape.boundaries.end(), n);
        if (last == tape.boundaries.begin()) {
            EXPECT_FALSE(t.parse(cut, error)) << n;
            EXPECT_NE(error.find(n < 4 ? "not a trace" : "cut short"), std::string::npos)
                << n << ": " << error;
            continue;
        }
        const size_t whole = *std::prev(last);
        ASSERT_TRUE(t.parse(cut, error)) << n << ": " << error;
        EXPECT_EQ(t.cutAt, whole == n ? std::nullopt : std::optional<size_t>(whole)) << n;
        zt::Trace before;
        ASSERT_TRUE(
            before.parse({tape.bytes.begin(), tape.bytes.begin() + std::ptrdiff_t(whole)}, error));
        EXPECT_EQ(t.calls.size(), before.calls.size()) << n;
        EXPECT_EQ(zt::firstDifference(t, before), "") << n;
    }
}

TEST(trace_file, damaged_or_foreign_files_are_refused) {
    Tape tape;
    session(tape);
    const size_t first = tape.boundaries[0]; // the first record
    auto with = [&](size_t at, uint32_t v) {
        std::vector<unsigned char> b = tape.bytes;
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<unsigned char>(v >> (8 * i));
        return b;
    };
    // The last record cut, its head saying what no record says: damage, not a write stopped.
    const auto cutWith = [&](uint32_t kind) {
        std::vector<unsigned char> b(tape.bytes.begin(),
                                     tape.bytes.begin() + std::ptrdiff_t(first + 24));
        for (int i = 0; i < 4; ++i)
            b[first + (kind ? 16 : 12) + size_t(i)] = static_cast<unsigned char>(kind >> (8 * i));
        return b;
    };
    Tape limited(200);
    limited.header("Vigil.dll");
    while (limited.put(zb_message{ZB_HEAP, {}}) == 0) {
    }
    std::vector<unsigned char> past = limited.bytes; // and then the session's first record
    past.insert(past.end(), tape.bytes.begin() + std::ptrdiff_t(first),
                tape.bytes.begin() + std::ptrdiff_t(tape.boundaries[1]));
    // A return with no call: what the records say is wrong, but a record that is itself damaged
    // later in the file is what the file is refused for.
    Tape stray;
    stray.header("Vigil.dll");
    stray.put(zb_message{ZB_HEAP, {}});
    stray.put(zb_message{ZB_RETURN, {}});
    stray.put(zb_message{ZB_HEAP, {}});
    std::vector<unsigned char> strayDamaged = stray.bytes;
    strayDamaged[stray.boundaries[2] + 16] = 99; // the last HEAP's kind
    const struct {
        const char* name;
        std::vector<unsigned char> bytes;
        const char* error;
    } cases[] = {
        {"a scenario", {'l', 'o', 'a', 'd', '\n'}, "not a trace file"},
        {"a later version", with(4, ZT_VERSION + 1), "trace version"},
        {"a name past the end", with(16, ZB_TEXT_LIMIT + 1), "corrupted header"},
        {"a frame too large", with(first + 12, ZB_MESSAGE_LIMIT + 1), "corrupted record"},
        {"a frame too small", with(first + 12, 3), "corrupted record"},
        {"an unknown kind", with(first + 16, 99), "corrupted record"},
        {"a return first", with(first + 16, ZB_RETURN), "corrupted"},
        {"a record past the limit", past, "follows the size limit"},
        {"a return with no call", stray.bytes, "a return with no call in progress (record 2)"},
        {"a return with no call, then damage", strayDamaged, "corrupted record at byte"},
        {"a last record of no kind", cutWith(99), "corrupted record at byte"},
        {"a last record of no size", cutWith(0), "corrupted record at byte"},
    };
    for (const auto& c : cases) {
        zt::Trace t;
        std::string error;
        EXPECT_FALSE(t.parse(c.bytes, error)) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
    }
}

TEST(trace_file, size_limit_ends_with_a_record_saying_so) {
    zb_fault fault{};
    fault.where = zb_text_of("Vigil.traced.dll+0x10");
    for (const bool faults : {false, true}) { // a fault handler's record keeps to the limit too
        SCOPED_TRACE(faults ? "faults" : "records");
        Tape tape(400);
        tape.header("Vigil.dll");
        int written = 0;
        for (int i = 0; i < 100; ++i)
            written += (faults ? zt_write_fault(&tape.w, 0, 1, &fault)
                               : tape.put(zb_message{ZB_HEAP, {}})) == 0;
        EXPECT_LE(tape.bytes.size(), 400u);
        EXPECT_GT(written, 3);
        EXPECT_LT(written, 100);
        EXPECT_TRUE(tape.w.stopped);
        uint64_t limit = 0; // the last record names the limit it met
        std::memcpy(&limit, &*(tape.bytes.end() - 8), 8);
        EXPECT_EQ(limit, 400u);
        const zt::Trace t = parsed(tape.bytes);
        EXPECT_TRUE(t.limited);
        EXPECT_EQ(t.records, size_t(written) + 1);
        ASSERT_FALSE(t.calls.empty());
        EXPECT_EQ(t.calls.back().kind, zt::Call::Kind::Limit);
    }
}

// A full disk: the writer stops trying, quietly; each record is one write, so what was written
// before still reads.
TEST(trace_file, a_failed_write_stops_the_trace_not_the_caller) {
    Tape tape;
    tape.header("Ostrel.dll");
    tape.create(1, "");
    tape.failFrom = tape.writes; // the disk is full from here on
    tape.call(1, ZEPH_COMMAND, "AS", true);
    EXPECT_TRUE(tape.w.failed);
    const int writes = tape.writes;
    tape.call(1, ZEPH_COMMAND, "AS", true);
    EXPECT_EQ(tape.writes, writes);
    std::string error;
    zt::Trace t;
    EXPECT_TRUE(t.parse(tape.bytes, error)) << error;
    EXPECT_EQ(t.calls.size(), 1u);
    // The bench's tap that cannot start its file says why, and so the run never starts.
    for (const std::string file : {"/dev/full", "/nonexistent/x.zephtrace"}) {
        zt::BenchTap tap;
        EXPECT_FALSE(tap.open(file, "Ostrel.so", error)) << file;
        EXPECT_EQ(error.rfind(file + ": ", 0), 0u) << error;
    }
}

// Where two runs part, times and addresses aside: the first call that differs, or the calls one
// has beyond the other.
TEST(trace_file, the_first_difference_is_named) {
    static char five[] = "5", alsoFive[] = "5", six[] = "6";
    const auto run = [](const char* path, char* reply, int more) {
        Tape t;
        t.header("Ostrel.dll");
        t.create(1, path);
        t.ret(nullptr);
        t.call(0x5000, ZEPH_PARENT, "a", false);
        t.call(1, ZEPH_COMMAND, "SD 'cam'", true);
        t.ret(reply);
        t.ret(nullptr);
        for (int i = 0; i < more; ++i) {
            if (i % 2)
                t.call(0x5000, ZEPH_TIMER, reinterpret_cast<void*>(intptr_t(3)), false);
            else
                t.call(0x5000, ZEPH_PARENT, "b", false);
            t.ret(nullptr);
        }
        return parsed(t.bytes);
    };
    // The host's replies count only when asked for: what the component did is the same.
    const struct {
        zt::Trace a, b;
        bool replies;
        const char* says;
    } cases[] = {
        {run("", five, 1), run("", alsoFive, 1), true, ""},
        {run("", five, 2), run("", five, 2), true, ""},
        {run("C:\\panels", five, 1), run("", five, 1), false,
         "call 1 differs:\n  A at  0.000010 s: load C:\\panels -> null (no component)\n"
         "  B at  0.000010 s: load -> null (no component)\n"},
        {run("", five, 1), run("", six, 1), true,
         "call 3 differs:\n  A at  0.000040 s:   SD 'cam' -> \"5\"\n"
         "  B at  0.000040 s:   SD 'cam' -> \"6\"\n"},
        {run("", five, 1), run("", six, 1), false, ""},
        {run("", five, 1), run("", nullptr, 1), true,
         "call 3 differs:\n  A at  0.000040 s:   SD 'cam' -> \"5\"\n"
         "  B at  0.000040 s:   SD 'cam' -> null\n"},
        {run("", five, 1), run("", nullptr, 1), false, ""},
        {run("", five, 1), run("", five, 0), false,
         "B ends after 3 calls; A goes on with:\n  parent b -> null\n"},
        {run("", five, 1), run("", five, 2), false,
         "A ends after 4 calls; B goes on with:\n  tick 3\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zt::firstDifference(c.a, c.b, c.replies), c.says);
}

} // namespace
