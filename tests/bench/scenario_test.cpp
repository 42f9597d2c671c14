// What a scenario run reports on a probe component: expectations met and failed, the order of
// revertives, host contract breaches, recordings, and the facility's state.
#include "probe_component.h"
#include "scenario/scenario.h"

#include <gtest/gtest.h>

using namespace zeph::bench;
using namespace zeph::host;

namespace {

// Plays a scenario on a probe that echoes each parent text back as HN and answers `answer`.
struct Played {
    RunResult result;
    std::string recording;
    std::vector<Event> events;
};

zeph_client_callback* createEcho(zeph_client_callback* host, const char* path) {
    auto* p = new ProbeComponent(host, path);
    p->onParent = [](ProbeComponent& self, parentNotify* n) {
        self.hostNotify(zeph_string("heard ") + n->getCommand());
        if (zeph_string(n->getCommand()) == "take") {
            self.routerRegister(5, 40, 40, false);
            self.routerCrosspoint(5, 12, 40, "", false);
        }
        if (zeph_string(n->getCommand()) == "answer")
            self.answer = n->value;
        if (zeph_string(n->getCommand()) == "time")
            self.timerStart(3, 100);
        if (zeph_string(n->getCommand()) == "untime")
            self.timerStop(3);
    };
    return p;
}

// The echo probe that also sets two controls while it is created.
zeph_client_callback* createChatty(zeph_client_callback* host, const char* path) {
    auto* p = static_cast<ProbeComponent*>(createEcho(host, path));
    p->textPut("state", "idle", "1", "Lamp");
    p->textPut("text", "", "1", "UMD");
    return p;
}

Played play(const std::string& text, zeph_factory_fn factory = createEcho,
            RunOptions options = {}) {
    std::string error;
    auto s = parseScenario(text, "t.zs", error);
    EXPECT_TRUE(s) << error;
    Played p;
    if (!s)
        return p;
    Runner r(factory, options, [&](const Event& e) { p.events.push_back(e); });
    p.result = r.run(*s);
    p.recording = r.recording();
    return p;
}

std::string all(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

} // namespace

TEST(scenario_run, controls_keep_their_declared_kind_and_routers_name_their_sources) {
    std::string error;
    auto s = parseScenario("name sdi 5\nname pkg/mon1 5 7\nsource 5 12 Camera 1\n"
                           "route 5 12 40\nroute 5 3 41\n"
                           "control 1 Go button\ncontrol 1 Go value=1\n"
                           "control 1 Lamp indicator state=off\ncontrol 1 UMD text=Black\n"
                           "load\nparent x\nexpect HN 'heard x'\n",
                           "kinds.zs", error);
    ASSERT_TRUE(s) << error;
    Runner r(createEcho, RunOptions{}, nullptr);
    ASSERT_TRUE(r.run(*s).failures.empty());

    const auto panels = r.facility().panels();
    ASSERT_EQ(panels.size(), 1u);
    std::vector<std::string> seen;
    for (const auto& c : panels[0].controls) {
        std::string line = c.id + " [" + c.kind + "]";
        for (const auto& [k, v] : c.properties)
            line += " " + k + "=" + v;
        seen.push_back(line);
    }
    // A later line without a kind keeps the one declared; a word that is a property stays one.
    EXPECT_EQ(seen, (std::vector<std::string>{"Go [button] value=1", "Lamp [indicator] state=off",
                                              "UMD [] text=Black"}));

    const auto routers = r.facility().routers();
    ASSERT_EQ(routers.size(), 1u);
    EXPECT_EQ(routers[0].names, std::vector<std::string>{"sdi"}) << "a name with an offset is not";
    EXPECT_EQ(routers[0].sources, (std::map<int, std::string>{{12, "Camera 1"}}));
    EXPECT_EQ(routers[0].crosspoints, (std::map<int, int>{{40, 12}, {41, 3}}));
}

TEST(scenario_run, expectations_met) {
    auto p = play("router 5\nsource 5 12 Camera 1\nload\nparent hello\nexpect HN 'heard hello'\n"
                  "expect-parent heard hello\nanswer none\nparent answer=yes\n"
                  "expect HN 'heard answer'\nanswer \"yes\"\nadvance 10\nexpect-none\nunload\n"
                  "expect AS\n");
    EXPECT_TRUE(p.result.ok()) << all(p.result.failures);
    EXPECT_EQ(p.result.expectations, 7);
}

TEST(scenario_run, failed_expectation_names_file_line_expected_and_sent) {
    auto p = play("load\nparent hello\nexpect HN 'heard goodbye'\n");
    ASSERT_EQ(p.result.failures.size(), 1u);
    const std::string& f = p.result.failures[0];
    EXPECT_EQ(f.rfind("t.zs:3: ", 0), 0u) << f;
    EXPECT_NE(f.find("expected `HN 'heard goodbye'`"), std::string::npos) << f;
    EXPECT_NE(f.find("HN 'heard hello'"), std::string::npos) << f;
}

TEST(scenario_run, each_kind_of_expectation_can_fail) {
    struct Case {
        const char* steps;
        const char* message;
    };
    const Case cases[] = {
        {"parent hello\nexpect-none\n", "expected nothing to be sent"},
        {"parent hello\nexpect HN 'heard hello'\nexpect AS\n", "nothing was sent"},
        {"parent hello\nexpect-parent heard bye\n", "the next text the parent heard was"},
        {"expect-parent anything\n", "the parent heard nothing more"},
        {"parent answer=x\nanswer \"y\"\n",
         "expected the answer \"y\"; the component answered \"x\""},
        {"parent hello\nanswer \"y\"\n", "the component answered none"},
        {"parent hello\nanswer \"none\"\n",
         "expected the answer \"none\"; the component answered none"},
        {"parent answer=none\nanswer none\n",
         "expected the answer none; the component answered \"none\""},
    };
    for (const Case& c : cases) {
        auto p = play(std::string("load\n") + c.steps);
        ASSERT_EQ(p.result.failures.size(), 1u) << c.steps;
        EXPECT_NE(p.result.failures[0].find(c.message), std::string::npos)
            << c.steps << " -> " << p.result.failures[0];
    }
}

// `router N normal` undoes a drop, a delay and inline delivery alike.
TEST(scenario_run, revertive_caused_by_a_command_is_delivered_after_the_parent_returns) {
    const std::vector<std::string> after = {"notify parent take", "answer take",
                                            "notify revertive 5 40 Camera 1", "notify destroy"};
    const std::vector<std::string> lost = {"notify parent take", "answer take", "notify destroy"};
    const std::vector<std::string> unnamed = {"notify parent take", "answer take",
                                              "notify revertive 5 40 12", "notify destroy"};
    const struct {
        const char* router;
        const std::vector<std::string>& tail;
    } cases[] = {
        {"router 5\nsource 5 12 Camera 1\n", after},
        {"router 5\n", unnamed},
        {"router 5 drop 1\nsource 5 12 Camera 1\n", lost},
        {"router 5 delay 50\nsource 5 12 Camera 1\n", lost},
        {"router 5 drop 1\nrouter 5 normal\nsource 5 12 Camera 1\n", after},
        {"router 5 delay 50\nrouter 5 normal\nsource 5 12 Camera 1\n", after},
        {"router 5 inline\nrouter 5 normal\nsource 5 12 Camera 1\n", after},
    };
    for (const auto& c : cases) {
        auto p = play(std::string(c.router) + "load\nskip\nparent take\n");
        std::vector<std::string> order;
        for (const Event& e : p.events)
            if (e.kind == Event::Kind::Notify || e.kind == Event::Kind::Answer)
                order.push_back(std::string(kindName(e.kind)) + " " + e.text);
        ASSERT_GE(order.size(), c.tail.size()) << c.router;
        EXPECT_EQ(std::vector<std::string>(order.end() - c.tail.size(), order.end()), c.tail)
            << c.router;
    }
}

TEST(scenario_run, host_contract_breaches_fail_the_run) {
    // A component that leaves a timer running when destroyed.
    auto p = play("load\n");
    EXPECT_TRUE(p.result.ok());
    std::string error;
    auto s = parseScenario("load\nunload\n", "t.zs", error);
    const zeph_factory_fn leavesTimer = [](zeph_client_callback* host,
                                           const char* path) -> zeph_client_callback* {
        auto* probe = new ProbeComponent(host, path);
        probe->timerStart(3, 100);
        return probe;
    };
    RunResult result = Runner(leavesTimer, RunOptions{}).run(*s);
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_NE(result.failures[0].find("t.zs:2: host contract: timer left running"),
              std::string::npos)
        << result.failures[0];
    // Without an unload line the run unloads at its end, and says so.
    s = parseScenario("load\n", "t.zs", error);
    result = Runner(leavesTimer, RunOptions{}).run(*s);
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_NE(result.failures[0].find("t.zs:end: host contract"), std::string::npos)
        << result.failures[0];
}

TEST(scenario_run, recording_fills_every_expectation_and_plays_back_clean) {
    const std::string source = "# a run\nrouter 5\nload\nparent hello\nparent answer=a\"b\n"
                               "press 1 Tarnel\nadvance 5\nunload\n";
    auto first = play(source);
    EXPECT_TRUE(first.result.ok());
    EXPECT_NE(first.recording.find("# a run\n"), std::string::npos);
    EXPECT_NE(first.recording.find("parent hello\nexpect HN 'heard hello'\n"
                                   "expect-parent heard hello\nanswer none\n"),
              std::string::npos)
        << first.recording;
    EXPECT_NE(first.recording.find("answer \"a\\\"b\"\n"), std::string::npos) << first.recording;
    EXPECT_NE(first.recording.find("advance 5\nexpect-none\n"), std::string::npos);
    auto second = play(first.recording);
    EXPECT_TRUE(second.result.ok()) << all(second.result.failures);
    EXPECT_GE(second.result.expectations, 10);
    EXPECT_EQ(second.recording, first.recording);
}

TEST(scenario_run, steps_without_a_component_are_noted_not_fatal) {
    auto p = play("parent hello\ntick 1\nexpect-none\nload\nunload\nparent again\n");
    EXPECT_TRUE(p.result.ok()) << all(p.result.failures);
}

// One mistake, one failure: after a failed expectation the runner passes over the rest of that
// step's expectations of the same kind and starts afresh at the next step.
TEST(scenario_run, failed_expectation_is_reported_once_then_the_next_step_resynchronises) {
    struct Case {
        const char* name;
        zeph_factory_fn factory;
        const char* text;
        std::vector<int> failedLines;
    };
    const Case cases[] = {
        {"construction commands not expected",
         createChatty,
         "load\n"                      // 1: sends two TP while created
         "parent hello\n"              // 2
         "expect HN 'heard hello'\n"   // 3: compared with the first TP
         "expect-parent heard hello\n" // 4
         "answer none\n"               // 5
         "parent bye\n"                // 6
         "expect HN 'heard bye'\n"     // 7
         "expect-parent heard bye\n"   // 8
         "advance 10\n"                // 9
         "expect-none\n"               // 10
         "unload\n"                    // 11
         "expect AS\n",                // 12
         {3}},
        {"a command left out in the middle",
         createEcho,
         "router 5\nload\n"
         "parent take\n"              // 3: HN, RR, RC
         "expect HN 'heard take'\n"   // 4
         "expect RC 5 12 40 ',' 0\n"  // 5: compared with RR
         "expect RR 5 40 40\n"        // 6: passed over
         "expect-none\n"              // 7: passed over too
         "parent hello\n"             // 8
         "expect HN 'heard hello'\n", // 9
         {5}},
        {"separate mistakes each reported",
         createEcho,
         "load\n"
         "parent a\nexpect HN 'heard b'\n" // 3
         "parent c\nexpect HN 'heard c'\nexpect-none\n"
         "parent d\nexpect-none\n" // 8
         "parent e\nexpect HN 'heard e'\n",
         {3, 8}},
        {"parent texts resynchronise too",
         createEcho,
         "load\n"
         "parent a\nexpect-parent heard x\nexpect-parent heard a\n" // 3, then 4 passed over
         "parent b\nexpect-parent heard b\n",
         {3}},
        {"an answer after a comment",
         createEcho,
         "load\nparent answer=yes\n# what it answers\nanswer \"yes\"\n",
         {}},
    };
    for (const Case& c : cases) {
        auto p = play(c.text, c.factory);
        std::vector<int> lines;
        for (const std::string& f : p.result.failures)
            lines.push_back(std::stoi(f.substr(f.find(':') + 1)));
        EXPECT_EQ(lines, c.failedLines) << c.name << "\n" << all(p.result.failures);
    }
}

// What the panel, the routers and the timers show, checked after the step before; a met one is
// kept in the recording, since nothing that was sent would bring it back.
TEST(scenario_run, state_expectations_pass_and_fail_on_what_the_facility_shows) {
    const std::string world = "router 5\nsource 5 12 Camera 1\ncontrol 1 UMD text=idle\nload\n";
    struct Case {
        const char* steps;
        const char* failure; // empty: met
    };
    const Case cases[] = {
        {"parent take\nexpect-route 5 12 40\n", ""},
        {"parent take\nexpect-route 5 1 40\n", "to destination 40; it routes source 12"},
        {"expect-route 5 12 40\n", "nothing is routed there"},
        {"expect-control 1 UMD text idle\n", ""},
        {"expect-control 1 UMD text \"\"\n", "to be \"\"; it is \"idle\""},
        {"expect-control 1 UMD colour \"\"\n", ""},
        {"expect-control 1 Staus text idle\n", "panel 1 has no control \"Staus\""},
        {"parent time\nexpect-timer 3 running\n", ""},
        {"parent time\nexpect-timer 3 stopped\n", "expected timer 3 to be stopped; it is running"},
        {"expect-timer 3 running\n", "expected timer 3 to be running; it is stopped"},
    };
    for (const Case& c : cases) {
        auto p = play(world + c.steps + "parent untime\n");
        if (*c.failure) {
            ASSERT_EQ(p.result.failures.size(), 1u) << c.steps;
            EXPECT_NE(p.result.failures[0].find(c.failure), std::string::npos)
                << c.steps << " -> " << p.result.failures[0];
        } else {
            EXPECT_TRUE(p.result.ok()) << c.steps << all(p.result.failures);
            const std::string steps = c.steps;
            const std::string expectation = steps.substr(steps.rfind('\n', steps.size() - 2) + 1);
            EXPECT_NE(p.recording.find(expectation), std::string::npos) << p.recording;
        }
    }
    std::string error;
    EXPECT_FALSE(parseLine("expect-timer 3 paused", 1, error));
    EXPECT_NE(error.find("neither running nor stopped"), std::string::npos) << error;
}

// A scenario that expects nothing, and texts put to controls no line declared.
TEST(scenario_run, empty_scenarios_and_undeclared_controls_as_the_options_say) {
    RunOptions require, strict;
    require.requireExpectations = true;
    strict.strict = true;
    struct Case {
        zeph_factory_fn factory;
        RunOptions options;
        const char* text;
        const char* failure; // the start of the one failure; empty: none
        size_t warnings;
    };
    const Case cases[] = {
        {createEcho, require, "load\nparent hi\nunload\n", "t.zs:end: the scenario has no exp", 0},
        {createEcho, require, "load\nunload\nexpect AS\n", "", 0},
        {createChatty, RunOptions{}, "load\nskip\nexpect-none\n", "", 2},
        {createChatty, strict, "control 1 Lamp\ncontrol 1 UMD\nload\nskip\n", "", 0},
        // Once put, the control is there: a second load does not fail again.
        {createChatty, strict, "control 1 UMD\nload\nskip\nunload\nload\nskip\n",
         "t.zs:2: text put to control \"Lamp\" of panel 1, which no `control` line declares", 0},
    };
    for (const Case& c : cases) {
        auto p = play(c.text, c.factory, c.options);
        ASSERT_EQ(p.result.failures.size(), *c.failure ? 1u : 0u)
            << c.text << all(p.result.failures);
        if (*c.failure) {
            EXPECT_EQ(p.result.failures[0].rfind(c.failure, 0), 0u) << p.result.failures[0];
        }
        EXPECT_EQ(p.result.warnings.size(), c.warnings) << c.text;
    }
}

// A long run that checks nothing lets go of what its instances did between steps (the facility's
// copies too, or its memory grows with the run), while the recording keeps every line.
TEST(scenario_run, forget_records_empties_every_instance_and_keeps_the_recording) {
    std::string error;
    auto s = parseScenario("load\nparent one\n@b load\n@b parent two\n", "t.zs", error);
    ASSERT_TRUE(s) << error;
    RunOptions options;
    options.checkExpectations = false;
    Runner r(createEcho, options);
    for (const Step& step : s->steps)
        r.play(step, "t.zs");
    ASSERT_EQ(r.instances().size(), 2u);
    for (const auto& in : r.instances()) {
        EXPECT_FALSE(r.facility().host(in.endpoint).commands().empty()) << in.name;
        EXPECT_FALSE(r.facility().parentTexts(in.endpoint).empty()) << in.name;
    }
    r.forgetRecords();
    for (const auto& in : r.instances()) {
        EXPECT_TRUE(r.facility().host(in.endpoint).commands().empty()) << in.name;
        EXPECT_TRUE(r.facility().parentTexts(in.endpoint).empty()) << in.name;
    }
    r.finish();
    EXPECT_NE(r.recording().find("@b parent two\n@b expect HN 'heard two'\n"), std::string::npos)
        << r.recording();
}
