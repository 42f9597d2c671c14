// The trace converter's cost: `zeph-host trace scenario` on a field session made here through the
// trace writer, as a multiple of reading the same trace (BM_TraceRead, the same bytes parsed into
// calls), which a slower machine moves alike and a slower runner, facility or traced component
// does not. main.cpp's --check_trace fails when the ratio grows past its limit.
#include "trace/trace_tools.h"

#include "host_records.h"
#include "trace/trace_records.h"
#include "trace_format.h"
#include "zeph_client_callback.h"
#include "zeph_records.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace zeph::perf {

namespace {

// A session as a panel host records one, the calls of make_trace.py's "session": a press and what
// the component does about it (TP, TG and SD with the host's replies handed back), a tick, and a
// revertive answered with a tally; a parent text every 500 steps.
class Session {
public:
    explicit Session(int steps) {
        zt_writer_init(&m_writer, &Session::sink, &m_bytes, 0);
        zt_header h{};
        h.tap_version = 3;
        h.pid = 4242;
        h.component = zb_text_of("Session.dll");
        zt_write_header(&m_writer, &h);
        load();
        for (int n = 0; n < steps; ++n)
            step(n);
        zt_writer_free(&m_writer);
    }
    const std::vector<unsigned char>& bytes() const { return m_bytes; }

private:
    static constexpr uint32_t kHost = 7;
    static constexpr uint64_t kHandle = 0x5000;
    static int sink(void* context, const void* data, size_t size) {
        auto* out = static_cast<std::vector<unsigned char>*>(context);
        const auto* b = static_cast<const unsigned char*>(data);
        out->insert(out->end(), b, b + size);
        return 0;
    }
    void put(const zb_message& m) { zt_write(&m_writer, m_us += 7, 1, &m); }
    void call(uint64_t target, int type, const void* data, bool toHost) {
        put(bench::trace::callRecord(target, type, data, toHost));
    }
    void ret(const char* result = nullptr) { put(bench::trace::returnRecord(result)); }
    // A command, and a query's reply handed back.
    void command(const std::string& text, const char* reply = nullptr) {
        call(kHost, ZEPH_COMMAND, text.c_str(), true);
        ret(reply);
        if (reply) {
            call(kHost, ZEPH_RELEASE, reply, true);
            ret();
        }
    }
    void load() {
        put(bench::trace::createRecord(kHost, ""));
        call(kHost, ZEPH_COMMAND, "PS '1' 'session.zeph_ui'", true);
        ret("1");
        put(bench::trace::valueRecord(kHandle));
    }
    void step(int n) {
        const std::string go = "Go" + std::to_string(n % 40), umd = "UMD" + std::to_string(n % 40);
        host::ButtonRecord press("1", go, "");
        call(kHandle, ZEPH_BUTTON, press.data(), false);
        command("TP 'text=take " + std::to_string(n) + "' '1' '" + umd + "'");
        const std::string colour = "colour=" + std::to_string(n % 7);
        command("TG '1' '" + umd + "' 'colour'", colour.c_str());
        const std::string name = "201 " + std::to_string(n % 9);
        command("SD 'pkg/mon" + std::to_string(n % 12) + "'", name.c_str());
        ret();
        call(kHandle, ZEPH_TIMER, reinterpret_cast<void*>(intptr_t(2)), false);
        ret();
        const std::vector<char> revertive =
            host::revertiveRecord(5, n % 64, "Camera " + std::to_string(n % 16));
        call(kHandle, ZEPH_REVERTIVE, revertive.data(), false);
        command("TP 'tally=" + std::to_string(n % 2) + "' '1' 'Cam" + std::to_string(n % 16) + "'");
        ret();
        if (n % 500 == 0) {
            const std::string echo = "echo=" + std::to_string(n);
            call(kHandle, ZEPH_PARENT, echo.c_str(), false);
            command("XI '1' 'alm_'", "alm_0,alm_1,alm_2");
            const std::string answer = std::to_string(n);
            ret(answer.c_str());
            call(kHandle, ZEPH_RELEASE, answer.c_str(), false);
            ret();
        }
    }

    zt_writer m_writer{};
    std::vector<unsigned char> m_bytes;
    uint64_t m_us = 0;
};

const Session& session() {
    static const Session s(3000);
    return s;
}

// The session's trace read, every record's lengths checked and its calls told apart; false (the
// benchmark skipped, saying why) when it cannot be.
bool read(benchmark::State& state, bench::trace::Trace& t) {
    std::string error;
    if (t.parse(session().bytes(), error))
        return true;
    state.SkipWithError(error.c_str());
    return false;
}

// The baseline: the trace read.
void BM_TraceRead(benchmark::State& state) {
    for (auto _ : state) {
        bench::trace::Trace t;
        if (!read(state, t))
            return;
        benchmark::DoNotOptimize(t.calls.size());
    }
}

// The same trace read and converted, as `zeph-host trace scenario` does short of the files.
void BM_TraceScenario(benchmark::State& state) {
    size_t lines = 0;
    for (auto _ : state) {
        bench::trace::Trace t;
        if (!read(state, t))
            return;
        std::vector<std::string> notes;
        const std::string scenario = bench::trace::toScenarioNoted(t, notes);
        lines = size_t(std::count(scenario.begin(), scenario.end(), '\n'));
    }
    state.counters["lines"] = double(lines);
}

const auto fastest = [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
};
BENCHMARK(BM_TraceRead)->ComputeStatistics("min", fastest);
BENCHMARK(BM_TraceScenario)->ComputeStatistics("min", fastest);

} // namespace

} // namespace zeph::perf
