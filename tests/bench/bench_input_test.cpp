// What the bench reads from scenario files and the shell. A recording reads back as it was
// played: random texts of any byte but NUL, as parent texts, answers, commands, revertives and
// facility names, are recorded, parsed and replayed green, and the replay sends exactly the
// commands the first run sent. A raw record, whatever its bytes, keeps the component reading
// memory the bench allocated.
#include "built_paths.h"
#include "module_loader.h"
#include "probe_component.h"
#include "scenario/quote.h"
#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using namespace zeph::bench;

// Mostly the bytes a line or a quoted text treats specially, so that short texts meet them often.
std::string randomText(std::mt19937& rng) {
    static const std::string special = "\n\r\t \"\\#*'=x\x7f\x80\xff";
    std::string t(rng() % 24, '?');
    for (char& c : t)
        c = rng() % 2 ? special[rng() % special.size()] : static_cast<char>(1 + rng() % 255);
    return t;
}

struct Played {
    std::vector<std::string> commands;
    RunResult result;
    std::string recording;
};

Played play(zeph_factory_fn factory, const Scenario& scenario, bool check) {
    Played run;
    Runner runner(factory, RunOptions{"", check}, [&](const Event& e) {
        if (e.kind == Event::Kind::Command)
            run.commands.push_back(e.text);
    });
    run.result = runner.run(scenario);
    run.recording = runner.recording();
    return run;
}

TEST(recording, any_text_round_trips_through_a_recording) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(zeph::built::testModuleDir) + "/test_component_clean.so"))
        << module.error();
    std::mt19937 rng(16);
    for (int i = 0; i < 300; ++i) {
        const std::string t = randomText(rng);
        SCOPED_TRACE("text " + quoteText(t, true));
        const std::string lines = "source 5 12 " + quoteText(t) + "\nload\nparent " +
                                  quoteText("echo=" + t) + "\nparent " + quoteText("say=ZZ" + t) +
                                  "\nrevertive 5 40 " + quoteText(t) + "\nunload\n";
        std::string error;
        auto scenario = parseScenario(lines, "played", error);
        ASSERT_TRUE(scenario) << error << "\n" << lines;
        const Played first = play(module.factory(), *scenario, false);
        ASSERT_NE(std::find(first.commands.begin(), first.commands.end(), "ZZ" + t),
                  first.commands.end());

        auto recorded = parseScenario(first.recording, "recorded", error);
        ASSERT_TRUE(recorded) << error << "\n" << first.recording;
        const Played replay = play(module.factory(), *recorded, true);
        EXPECT_TRUE(replay.result.ok()) << replay.result.failures.front() << "\n"
                                        << first.recording;
        EXPECT_EQ(replay.commands, first.commands);
        EXPECT_EQ(replay.recording, first.recording);
    }
}

TEST(raw, records_are_built_at_their_own_size_and_point_at_the_bench_memory) {
    Facility f([](const Event&) {});
    const int e = f.addEndpoint();
    ASSERT_TRUE(f.load(e, createProbe, ""));
    // Bytes that would be followed as pointers, texts shorter than a record's header, a long one.
    const std::string pointers(48, 'A');
    f.raw(e, ZEPH_BUTTON, pointers);
    f.raw(e, ZEPH_BUTTON, std::string());
    f.raw(e, ZEPH_REVERTIVE, std::string("\x05"));
    f.raw(e, ZEPH_DATABASE, std::string());
    f.raw(e, ZEPH_REVERTIVE, std::string(16, '\x01') + "Camera");
    const auto* probe = static_cast<ProbeComponent*>(f.host(e).component());
    const std::vector<std::string> want = {
        "button " + pointers + " " + pointers + " " + pointers + " " + pointers,
        "button    ",
        "revertive 5 0 ",
        "database 0 0 0 ",
        "revertive 16843009 16843009 Camera",
    };
    EXPECT_EQ(probe->seen, want);
    f.unload(e);
}

} // namespace
