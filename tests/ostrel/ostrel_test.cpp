// The selector's rules one notification at a time: configuration guards, parent answers, arming,
// takes, tally and timers.
#include "ostrel_fixture.h"

TEST_F(OstrelTest, construction_without_a_base_path_shows_the_bare_file) {
    create("");
    EXPECT_EQ(host.takeCommands(),
              (Commands{"PS '1' 'MyMonitor.zeph_ui'", "TP 'statesheet=' '1' 'StateIndicate'"}));
}

// What the package entry, its destination entry and the router resolve to decides registration.
TEST_F(OstrelTest, registration_needs_a_complete_configuration) {
    struct Case {
        const char* name;
        std::optional<std::string> entry, destination, router;
        Commands expected;
    };
    const Commands lookups{"SD 'pkg'", "RN 201 1 3", "SD 'rtr'"};
    const Case cases[] = {
        {"highest device",
         "999 3",
         "40,Mon 1",
         "999",
         {"SD 'pkg'", "RN 999 1 3", "SD 'rtr'", "RR 999 40 40", "RP 999 40 40", "ET 1 10000"}},
        {"package device 1000", "1000 3", "40,Mon 1", "5", {"SD 'pkg'", "SD 'rtr'"}},
        {"offset 0", "201 0", "40,Mon 1", "5", {"SD 'pkg'", "SD 'rtr'"}},
        {"quoted reply", "'201' '3'", "40,Mon 1", "5", {"SD 'pkg'", "SD 'rtr'"}},
        {"entry unknown", std::nullopt, "40,Mon 1", "5", {"SD 'pkg'", "SD 'rtr'"}},
        {"destination not a number", "201 3", "Mon 1,40", "5", lookups},
        {"destination unknown", "201 3", std::nullopt, "5", lookups},
        {"router device 0", "201 3", "40,Mon 1", "0", lookups},
        {"router device 1000", "201 3", "40,Mon 1", "1000", lookups},
        {"router unknown", "201 3", "40,Mon 1", std::nullopt, lookups},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.setResponder([&c](const std::string& command) -> std::optional<std::string> {
            if (command == "SD 'pkg'")
                return c.entry;
            if (command == "SD 'rtr'")
                return c.router;
            return command.rfind("RN ", 0) == 0 ? c.destination : std::nullopt;
        });
        create();
        host.takeCommands();
        host.parent("instance=pkg");
        host.parent("sdiID=rtr");
        EXPECT_EQ(host.takeCommands(), c.expected);
        destroy();
    }
}

TEST_F(OstrelTest, changed_settings_are_looked_up_once) {
    configure();
    host.setReply("SD 'far'", "1000 3");
    playAll({
        {"parent instance=pkg", {}},
        {"parent sdiID=rtr", {}},
        // A device out of range changes nothing: the registration stays.
        {"parent instance=far", {"SD 'far'"}},
        // The name is kept even when it resolves to nothing, so it is not asked for again.
        {"parent instance=nowhere", {"SD 'nowhere'"}},
        {"parent instance=nowhere", {}},
        {"parent sdiID=nowhere", {"SD 'nowhere'"}},
        {"parent sdiID=nowhere", {}},
        {"parent instance=pkg",
         {"SD 'pkg'", "RN 201 1 3", "RU 5", "RR 5 40 40", "RP 5 40 40", "ET 1 10000"}},
    });
    EXPECT_EQ(destroy(), (Commands{"RU 5", "ET 1", "AS"}));
}

TEST_F(OstrelTest, parent_queries_answer_exact_text) {
    configure();
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"return=all", "sdiID=rtr\noffState=off\nonState=on"},
        {"return=myInstance", "myInstance=pkg"},
        {"return=offState", "offState=off"},
        {"return=onState", "onState=on"},
        {"return=sdiID", std::nullopt},
        {"return", std::nullopt},
        {"_events", "clear=*\nsetindex=*"},
        {"_events=any", "clear=*\nsetindex=*"},
        {"_commands", "sourceID=[value]\nclear=[value]"},
        {"Return=all", std::nullopt},
        {"unknown=1", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, answer] : cases) {
        EXPECT_EQ(host.parent(text), answer) << text;
        EXPECT_EQ(host.takeCommands(), Commands()) << text;
    }
}

TEST_F(OstrelTest, return_all_of_a_fresh_selector_lists_empty_settings) {
    create();
    EXPECT_EQ(host.parent("return=all"), "sdiID=\noffState=\nonState=");
}

TEST_F(OstrelTest, indicator_follows_arming_and_state_sheets) {
    configure();
    playAll({
        {"parent onState=red", {}},
        {"parent offState=grey", {"TP 'statesheet=grey' '1' 'StateIndicate'"}},
        {"parent sourceID=7", {}},
        {"press 2 Tarnel", {}},
        {"press 1 UMD", {}},
        {"press 1 tarnel", {}},
        {"press 1 Tarnel", {"TP 'statesheet=red' '1' 'StateIndicate'", "HN 'clear=1'"}},
        {"press 1 Tarnel", {"HN 'clear=1'"}},
        {"parent onState=blue", {"TP 'statesheet=blue' '1' 'StateIndicate'"}},
        {"parent offState=black", {}},
        {"parent clear=0", {}},
        {"parent clear=yes", {}},
        {"parent clear=1", {"TP 'statesheet=black' '1' 'StateIndicate'"}},
        {"parent clear=1", {}},
        {"parent sourceID=7", {}},
    });
}

// Every take while armed starts the delay; only a positive router source is routed.
TEST_F(OstrelTest, take_routes_only_resolved_sources) {
    configure();
    host.setReply("RN 201 0 9", "Camera 9");
    host.setReply("RN 201 0 10", "0,Black");
    arm();
    playAll({
        {"parent sourceID=7", {"RN 201 0 7", "RC 5 12 40 ',' 0", "ET 2 250"}},
        {"parent sourceID=0", {"ET 2 250"}},
        {"parent sourceID=-3", {"ET 2 250"}},
        {"parent sourceID=abc", {"ET 2 250"}},
        {"parent sourceID=8", {"RN 201 0 8", "ET 2 250"}},
        {"parent sourceID=9", {"RN 201 0 9", "ET 2 250"}},
        {"parent sourceID=10", {"RN 201 0 10", "ET 2 250"}},
        // Still armed after all of them.
        {"press 1 Tarnel", {"HN 'clear=1'"}},
    });
    EXPECT_EQ(destroy(), (Commands{"RU 5", "ET 1", "ET 2", "AS"}));
}

TEST_F(OstrelTest, tally_follows_revertives_and_source_names) {
    configure();
    arm();
    play("parent sourceID=7");
    playAll({
        {"revertive 5 41 Camera 1", {}},
        {"revertive 6 40 Camera 1", {}},
        {"revertive 5 40 Camera 1", {"TP 'text=Camera 1' '1' 'UMD'", "ET 1"}},
        {"revertive 5 40 Camera 2", {"TP 'text=Camera 2' '1' 'UMD'"}},
        {"database 5 0 12 Cam One", {"TP 'text=Cam One' '1' 'UMD'"}},
        {"database 5 1 12 Cam One", {}},
        {"database 5 0 13 Cam One", {}},
        {"database 6 0 12 Cam One", {}},
    });
}

TEST_F(OstrelTest, timers_poll_clear_or_stop) {
    configure();
    arm();
    play("parent sourceID=7");
    playAll({
        {"tick 1", {"RP 5 40 40"}},
        {"tick 7", {"ET 7"}},
        {"tick 2", {"HN 'setindex=-1'", "ET 2"}},
    });
    EXPECT_EQ(host.runningTimers(), std::set<int>{1});
    EXPECT_EQ(destroy(), (Commands{"RU 5", "ET 1", "AS"}));
}
