// What each notification costs the host: the take cycle against the bare cost of touching its
// bytes, the two parsers, and every host command, each with its heap allocations counted.
//
// The component runs against TimingHost, a host whose own work is a few compares, so that the time
// measured is the component's; the same traffic is first played through the project's recording
// host (host/), which checks the texts and the ownership of every reply.
#include "built_paths.h"
#include "alloc_counter.h"
#include "timing_host.h"
#include "probe_component.h"

#include "module_loader.h"
#include "recording_host.h"
#include "zeph_notify.h"
#include "zeph_records.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using zeph::perf::allocationCount;
using zeph::perf::TimingHost;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "benchmark setup failed: %s\n", why.c_str());
    std::exit(1);
}

// Reports the allocations made during the timed loop, per iteration.
class AllocationScope {
public:
    explicit AllocationScope(benchmark::State& state)
        : m_state(state), m_start(allocationCount()) {}
    ~AllocationScope() {
        m_state.counters["allocs"] = benchmark::Counter(
            static_cast<double>(allocationCount() - m_start), benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State& m_state;
    uint64_t m_start;
};

// ---- The take cycle -----------------------------------------------------------------------------

// The selector's configuration and the replies its look-ups get: package device 201, destination
// offset 7 -> router destination 40; router device 5; package source 7 -> router source 12.
const char* const CONFIGURE[] = {"instance=pkg_mon_4", "sdiID=rtr", "offState=off", "onState=on"};
const char SOURCE_COMMAND[] = "sourceID=7";
const char SOURCE_ENTRY[] = "12,Camera 1";
const char TALLY_TEXT[] = "Camera 1";
const int ROUTER = 5;
const int DESTINATION = 40;

// The notifications of one cycle, laid out once as the host would hand them over.
struct CycleRecords {
    CycleRecords() : revertive(ZEPH_RECORD_SIZE(sizeof TALLY_TEXT - 1), 0) {
        event.command = event.value = "";
        for (const char*& sub : event.sub)
            sub = "";
        button.panel = "1";
        button.control = "Tarnel";
        button.event = &event;
        const int32_t words[4] = {ROUTER, 0, DESTINATION, 0};
        std::memcpy(revertive.data(), words, sizeof words);
        std::memcpy(revertive.data() + 16, TALLY_TEXT, sizeof TALLY_TEXT);
        std::memcpy(sourceText, SOURCE_COMMAND, sizeof SOURCE_COMMAND);
    }
    zeph_parent_event event{};
    zeph_button_record button{};
    std::vector<char> revertive;
    char sourceText[sizeof SOURCE_COMMAND];
};

// One take cycle: the press arms (it already is, after the first), the parent names the source, the
// router confirms the route, and timer 2 ends the take. Not inlined, so that a profile counts
// cycles.
__attribute__((noinline)) void takeCycle(zeph_client_callback* component, CycleRecords& records) {
    component->callback(&records.button, ZEPH_BUTTON);
    char* answer = component->callback(records.sourceText, ZEPH_PARENT);
    if (answer)
        component->callback(answer, ZEPH_RELEASE);
    component->callback(records.revertive.data(), ZEPH_REVERTIVE);
    component->callback(reinterpret_cast<void*>(static_cast<intptr_t>(2)), ZEPH_TIMER);
}

zeph::host::Module& ostrelModule() {
    static zeph::host::Module module;
    if (!module.factory() && !module.open(zeph::built::ostrelModule))
        die(module.error());
    return module;
}

// The texts one steady-state cycle moves across the boundary, as the recording host saw them:
// notification texts, command texts and the reply. Checked against the expected traffic.
const std::vector<std::string>& cycleTexts() {
    static std::vector<std::string> texts;
    if (!texts.empty())
        return texts;
    zeph::host::RecordingHost host;
    host.setReply("SD 'pkg_mon_4'", std::string("201 7"));
    host.setReply("SD 'rtr'", std::string("5"));
    host.setReply("RN 201 1 7", std::string("40"));
    host.setReply("RN 201 0 7", std::string(SOURCE_ENTRY));
    if (!host.create(ostrelModule().factory(), "X:/ui"))
        die("the factory returned null");
    for (const char* c : CONFIGURE)
        host.parent(c);
    CycleRecords records;
    takeCycle(host.component(), records); // arms, and the first revertive ends the poll
    host.takeCommands();
    takeCycle(host.component(), records);
    const std::vector<std::string> commands = host.takeCommands();
    const std::vector<std::string> expected = {"HN 'clear=1'",
                                               "RN 201 0 7",
                                               "RC 5 12 40 ',' 0",
                                               "ET 2 250",
                                               "TP 'text=Camera 1' '1' 'UMD'",
                                               "HN 'setindex=-1'",
                                               "ET 2"};
    if (commands != expected) {
        std::string seen;
        for (const std::string& c : commands)
            seen += "\n  " + c;
        die("the take cycle sent something else:" + seen);
    }
    host.destroy();
    if (!host.errors().empty())
        die("the recording host saw: " + host.errors().front());
    texts = {"1", "Tarnel", "", SOURCE_COMMAND, TALLY_TEXT, SOURCE_ENTRY};
    texts.insert(texts.end(), commands.begin(), commands.end());
    return texts;
}

// The floor: strlen and memcpy of every text of one cycle, what any handling at all must touch.
void BM_Baseline(benchmark::State& state) {
    const std::vector<std::string>& owned = cycleTexts();
    std::vector<const char*> texts;
    for (const std::string& t : owned)
        texts.push_back(t.c_str());
    char copy[256];
    AllocationScope allocations(state);
    for (auto _ : state) {
        for (const char* t : texts) {
            benchmark::DoNotOptimize(t);
            const size_t n = std::strlen(t);
            std::memcpy(copy, t, n + 1);
            benchmark::DoNotOptimize(copy);
            benchmark::ClobberMemory();
        }
    }
}
// Its fastest repetition too: the soak's target compares the fastest of each (main.cpp).
BENCHMARK(BM_Baseline)->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
});

void BM_TakeCycle(benchmark::State& state) {
    cycleTexts(); // the traffic is right before it is timed
    TimingHost host;
    host.setReply("SD", "201 7");
    host.setReply("RN", "40");
    zeph_client_callback* component = ostrelModule().factory()(&host, "X:/ui");
    if (!component)
        die("the factory returned null");
    component->callback(const_cast<char*>(CONFIGURE[0]), ZEPH_PARENT);
    host.setReply("SD", "5");
    for (size_t i = 1; i < sizeof CONFIGURE / sizeof CONFIGURE[0]; ++i)
        component->callback(const_cast<char*>(CONFIGURE[i]), ZEPH_PARENT);
    host.setReply("RN", SOURCE_ENTRY);
    CycleRecords records;
    takeCycle(component, records);
    const uint64_t before = host.commands();
    {
        AllocationScope allocations(state);
        for (auto _ : state)
            takeCycle(component, records);
    }
    state.counters["commands"] = benchmark::Counter(static_cast<double>(host.commands() - before),
                                                    benchmark::Counter::kAvgIterations);
    delete component;
    host.verify();
}
// Its fastest repetition too: --check_cycle compares the fastest of it and of the baseline.
BENCHMARK(BM_TakeCycle)->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
});

// ---- Parsers ------------------------------------------------------------------------------------

void BM_ParseParentCommand(benchmark::State& state) {
    AllocationScope allocations(state);
    for (auto _ : state) {
        parentNotify parsed(SOURCE_COMMAND);
        benchmark::DoNotOptimize(parsed.value);
    }
}
BENCHMARK(BM_ParseParentCommand);

void BM_ParseReply(benchmark::State& state) {
    AllocationScope allocations(state);
    for (auto _ : state) {
        decodeZEPHString tokens("201 7", '\'');
        benchmark::DoNotOptimize(tokens.token[1]);
    }
}
BENCHMARK(BM_ParseReply);

// ---- Host commands ------------------------------------------------------------------------------

// One operation of the base against the cost-free host; arguments are prepared outside the loop, as
// a component keeps them in its members.
template <typename Operation>
void commandBenchmark(benchmark::State& state, const char* reply, Operation operation) {
    TimingHost host;
    for (const zeph_command_info& c : zeph_commands)
        if (c.query)
            host.setReply(c.mnemonic, reply);
    ProbeComponent probe(&host, "X:/ui");
    const uint64_t before = host.commands();
    {
        AllocationScope allocations(state);
        for (auto _ : state)
            operation(probe);
    }
    if (host.commands() - before != static_cast<uint64_t>(state.iterations()))
        die("a command benchmark did not send exactly one command per iteration");
    host.verify();
}

struct Arguments {
    zeph_string one{"1"};
    zeph_string statesheet{"statesheet"};
    zeph_string onState{"on"};
    zeph_string indicator{"StateIndicate"};
    zeph_string value{"value"};
    zeph_string alarmControl{"alm_3"};
    zeph_string file{"MyMonitor.zeph_ui"};
    zeph_string none;
    zeph_string instance{"pkg_mon_4"};
    zeph_string prefix{"alm_"};
    zeph_string clear{"clear=1"};
};

void registerCommandBenchmarks() {
    static Arguments a;
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("Command/HN", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.hostNotify(a.clear); });
    });
    RegisterBenchmark("Command/TP", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) {
            p.textPut(a.statesheet, a.onState, a.one, a.indicator);
        });
    });
    RegisterBenchmark("Command/TG", [](benchmark::State& s) {
        commandBenchmark(s, "value=2", [](ProbeComponent& p) {
            zeph_string out;
            p.textGet(a.value, a.one, a.alarmControl, out);
            benchmark::DoNotOptimize(out);
        });
    });
    RegisterBenchmark("Command/PS", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) {
            benchmark::DoNotOptimize(p.panelShow(a.one, a.file, a.none));
        });
    });
    RegisterBenchmark("Command/SD", [](benchmark::State& s) {
        commandBenchmark(s, "201 7", [](ProbeComponent& p) {
            int device = 0, offset = 0;
            p.getDev(a.instance, &device, &offset);
            benchmark::DoNotOptimize(device + offset);
        });
    });
    RegisterBenchmark("Command/XI", [](benchmark::State& s) {
        commandBenchmark(s, "alm_1,alm_2", [](ProbeComponent& p) {
            zeph_stringlist list = p.controlList(a.one, a.prefix);
            benchmark::DoNotOptimize(list);
        });
    });
    RegisterBenchmark("Command/RN", [](benchmark::State& s) {
        commandBenchmark(s, SOURCE_ENTRY, [](ProbeComponent& p) {
            zeph_string name;
            p.routerName(201, 0, 7, name);
            benchmark::DoNotOptimize(name);
        });
    });
    RegisterBenchmark("Command/RC", [](benchmark::State& s) {
        commandBenchmark(s, "",
                         [](ProbeComponent& p) { p.routerCrosspoint(5, 12, 40, a.none, false); });
    });
    RegisterBenchmark("Command/RR", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.routerRegister(5, 40, 40, false); });
    });
    RegisterBenchmark("Command/RR_ADD", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.routerRegister(5, 40, 40, true); });
    });
    RegisterBenchmark("Command/RP", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.routerPoll(5, 40, 40); });
    });
    RegisterBenchmark("Command/RU", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.routerUnregister(5); });
    });
    RegisterBenchmark("Command/ET_start", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.timerStart(2, 250); });
    });
    RegisterBenchmark("Command/ET_stop", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.timerStop(2); });
    });
    RegisterBenchmark("Command/AS", [](benchmark::State& s) {
        commandBenchmark(s, "", [](ProbeComponent& p) { p.hostDetach(); });
    });
}

} // namespace

namespace zeph::perf {
void registerBenchmarks() {
    registerCommandBenchmarks();
}
} // namespace zeph::perf
