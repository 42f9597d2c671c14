// The simulated facility's other commands, seen through a probe component: timers on the virtual
// clock, queries, panels, parent texts and answers, unloading, diagnostics and malformed commands.
#include "facility_bench.h"

#include <algorithm>

TEST(facility, timers_tick_in_time_order_on_the_virtual_clock) {
    Bench b;
    b.inside([](ProbeComponent& p) {
        p.timerStart(1, 30);
        p.timerStart(2, 50);
    });
    b.events.clear();
    b.f.advance(100);
    EXPECT_EQ(b.notified(), (std::vector<std::string>{"30 tick 1", "50 tick 2", "60 tick 1",
                                                      "90 tick 1", "100 tick 2"}));
    EXPECT_EQ(b.f.now(), 100);
    EXPECT_TRUE(b.f.timerRunning(b.c, 1));
}

TEST(facility, stopping_or_restarting_a_timer_changes_its_next_tick) {
    Bench b;
    b.inside([](ProbeComponent& p) { p.timerStart(1, 100); });
    b.f.advance(50);
    b.inside([](ProbeComponent& p) { p.timerStart(1, 100); }); // restarted at 50
    b.events.clear();
    b.f.advance(150);
    EXPECT_EQ(b.notified(), (std::vector<std::string>{"150 tick 1"}));
    b.inside([](ProbeComponent& p) { p.timerStop(1); });
    b.events.clear();
    b.f.advance(1000);
    EXPECT_TRUE(b.notified().empty());
    EXPECT_FALSE(b.f.timerRunning(b.c, 1));
}

TEST(facility, runaway_timer_is_stopped_with_a_host_error) {
    Bench b;
    b.f.setEventLimit(1000);
    b.inside([](ProbeComponent& p) { p.timerStart(1, 1); });
    b.f.advance(1000000);
    EXPECT_EQ(b.hostErrors(), 1u);
    EXPECT_EQ(b.f.now(), 1000000);
    EXPECT_FALSE(b.f.timerRunning(b.c, 1));
}

TEST(facility, queries_are_answered_from_the_description) {
    Bench b;
    b.f.addControl("1", "alm_1", {{"value", "1"}});
    b.f.addControl("1", "UMD");
    b.f.addControl("1", "alm_2");
    int dev = -1, offset = -1, sdi = -1, sdiOffset = -1, unknown = -1;
    bool unknownFound = true;
    zeph_string entry("unchanged"), missing("unchanged"), value, text;
    zeph_stringlist alarms;
    b.inside([&](ProbeComponent& p) {
        p.getDev("pkg/mon1", &dev, &offset);
        p.getDev("sdi", &sdi, &sdiOffset);
        unknownFound = p.getDev("nobody", &unknown, nullptr);
        p.routerName(201, 1, 7, entry);
        p.routerName(201, 1, 8, missing);
        p.textGet("value", "1", "alm_1", value);
        p.textPut("text", "Camera 1", "1", "UMD");
        p.textGet("text", "1", "UMD", text);
        alarms = p.controlList("1", "alm_");
    });
    EXPECT_EQ(dev, 201);
    EXPECT_EQ(offset, 7);
    EXPECT_EQ(sdi, 5);
    EXPECT_EQ(sdiOffset, 0);
    EXPECT_FALSE(unknownFound);
    EXPECT_STREQ(entry, "40,Monitor 1");
    EXPECT_STREQ(missing, "unchanged");
    EXPECT_STREQ(value, "1");
    EXPECT_STREQ(text, "Camera 1");
    EXPECT_STREQ(alarms.toString(','), "alm_1,alm_2");
    EXPECT_EQ(b.f.property("1", "UMD", "text"), "Camera 1");
    EXPECT_EQ(b.hostErrors(), 0u) << "every reply went back";
}

TEST(facility, panel_show_is_accepted_only_for_listed_files) {
    Bench b;
    bool shown = false, other = true;
    b.f.acceptPanelFile("MyMonitor.zeph_ui");
    b.inside([&](ProbeComponent& p) {
        shown = p.panelShow("1", "MyMonitor.zeph_ui", "");
        other = p.panelShow("1", "Other.zeph_ui", "");
    });
    EXPECT_TRUE(shown);
    EXPECT_FALSE(other);
}

TEST(facility, parent_texts_and_database_changes) {
    Bench b;
    const int other = b.f.addEndpoint();
    ASSERT_TRUE(b.f.load(other, createProbe, ""));
    // The whole quoted rest is the text, apostrophes and all.
    b.inside([&](ProbeComponent& p) {
        p.hostNotify("clear=1");
        for (const char* raw : {"HN ''a' b's'", "HN 'open", "HN x'"})
            b.f.host(b.c).callback(const_cast<char*>(raw), ZEPH_COMMAND);
    });
    EXPECT_EQ(b.f.parentTexts(b.c), (std::vector<std::string>{"clear=1", "'a' b's", "open", "x'"}));

    b.f.databaseChange(5, 0, 12, "Camera One");
    EXPECT_EQ(b.probe->seen.back(), "database 5 0 12 Camera One");
    auto* second = static_cast<ProbeComponent*>(b.f.host(other).component());
    EXPECT_EQ(second->seen.back(), "database 5 0 12 Camera One");
    zeph_string name;
    b.inside([&](ProbeComponent& p) { p.routerName(5, 0, 12, name); });
    EXPECT_STREQ(name, "Camera One");
}

TEST(facility, answers_are_returned_and_handed_back) {
    Bench b;
    b.probe->answer = "abc";
    EXPECT_EQ(b.f.parent(b.c, "x"), std::optional<std::string>("abc"));
    b.probe->answer = "";
    EXPECT_EQ(b.f.parent(b.c, "x"), std::nullopt);
    EXPECT_EQ(b.hostErrors(), 0u);
}

TEST(facility, unload_ends_timers_and_registrations) {
    Bench b;
    b.inside([](ProbeComponent& p) {
        p.routerRegister(5, 40, 40, false);
        p.timerStart(1, 100);
        p.timerStop(1);
    });
    b.f.unload(b.c);
    EXPECT_FALSE(b.f.loaded(b.c));
    b.events.clear();
    b.f.route(5, 12, 40);
    b.f.advance(1000);
    EXPECT_TRUE(b.notified().empty());
}

TEST(command_fields, quoted_and_bare_fields) {
    struct Case {
        const char* command;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"AS", {}},
        {"RC 5 12 40 ',' 0", {"5", "12", "40", ",", "0"}},
        {"TP 'text=Camera 1' '1' 'UMD'", {"text=Camera 1", "1", "UMD"}},
        {"TP 'text=it's' '1' 'UMD'", {"text=it's", "1", "UMD"}},
        {"SD ''", {""}},
        {"PS '1' 'X:/ui/MyMonitor.zeph_ui' 'x=1'", {"1", "X:/ui/MyMonitor.zeph_ui", "x=1"}},
        {"HN 'unterminated", {"unterminated"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(commandFields(c.command), c.fields) << c.command;
}

TEST(facility, component_diagnostics_are_captured_per_notification_when_asked) {
    Bench b;
    b.f.setCaptureDebug(true);
    b.inside([](ProbeComponent& p) {
        p.debugPrint("textGet: %1 was not %2", "Value", "value", "", "", "", "", "", "", "");
    });
    b.inside([](ProbeComponent&) {});
    std::vector<std::string> debug;
    for (const Event& e : b.events)
        if (e.kind == Event::Kind::Debug)
            debug.push_back(e.text);
    EXPECT_EQ(debug, (std::vector<std::string>{"textGet: Value was not value"}));
    // Once the notification has returned, stderr is the process's own again.
    const size_t before = b.events.size();
    b.probe->debugPrint("outside\n", "", "", "", "", "", "", "", "", "");
    b.f.advance(1);
    EXPECT_EQ(b.events.size(), before);
    // Turned off, the component's stderr is left alone again.
    b.f.setCaptureDebug(false);
    b.inside([](ProbeComponent& p) { p.debugPrint("late\n", "", "", "", "", "", "", "", "", ""); });
    EXPECT_EQ(std::count_if(b.events.begin(), b.events.end(),
                            [](const Event& e) { return e.kind == Event::Kind::Debug; }),
              1);
}

TEST(facility, malformed_commands_are_noted_and_change_nothing) {
    const struct {
        const char* command;
        const char* note;
    } cases[] = {{"RR x 40 40", "malformed RR"},
                 {"RR 5 x 40", "malformed RR"},
                 {"RR 5 40 x", "malformed RR"},
                 {"ET x 10", "malformed ET"},
                 {"RP 9 40 40", "no such router: poll ignored"},
                 {"RC 9 12 40 ',' 0", "no such router: crosspoint ignored"},
                 {"RC 5 x 40 ',' 0", "no such router: crosspoint ignored"}};
    for (const auto& c : cases) {
        Bench b;
        b.inside([&](ProbeComponent&) {
            b.f.host(b.c).callback(const_cast<char*>(c.command), ZEPH_COMMAND);
        });
        std::vector<std::string> notes;
        for (const Event& e : b.events)
            if (e.kind == Event::Kind::Note)
                notes.push_back(e.text);
        EXPECT_EQ(notes, std::vector<std::string>{c.note}) << c.command;
        b.f.route(5, 12, 40);
        EXPECT_EQ(b.probe->seen.back(), "parent go ") << c.command;
    }
}

// What a facility shows of its description: routers with their names, sources and crosspoints,
// and panels with their controls' properties.
std::string described(const Facility& f) {
    std::string out;
    for (const Facility::RouterView& r : f.routers()) {
        out += "router " + std::to_string(r.device);
        for (const std::string& n : r.names)
            out += " name=" + n;
        for (const auto& [source, name] : r.sources)
            out += " " + std::to_string(source) + "=" + name;
        for (const auto& [destination, source] : r.crosspoints)
            out += " " + std::to_string(destination) + "<-" + std::to_string(source);
        out += "\n";
    }
    for (const Facility::PanelView& p : f.panels())
        for (const Facility::ControlView& c : p.controls)
            for (const auto& [name, value] : c.properties)
                out += p.id + "/" + c.id + " " + name + "=" + value + "\n";
    return out;
}

// A facility that copies a model's description (as the soak's many do) shares its tables until
// one of the two writes: whichever changes, the other does not see it.
TEST(facility, a_copied_description_is_changed_apart_from_its_model) {
    struct Case {
        const char* what;
        void (*change)(Facility&);
    };
    const Case cases[] = {
        {"name", [](Facility& f) { f.setName("sdi", 5, 3); }},
        {"database", [](Facility& f) { f.setDatabase(5, 0, 12, "Camera 9"); }},
        {"database change", [](Facility& f) { f.databaseChange(5, 0, 12, "Camera 9"); }},
        {"route", [](Facility& f) { f.route(5, 13, 40); }},
        {"control",
         [](Facility& f) {
             f.addControl("1", "UMD", {{"text", "live"}});
         }},
    };
    for (const Case& c : cases) {
        for (const bool changeCopy : {true, false}) {
            Facility model;
            model.setName("sdi", 5, std::nullopt);
            model.addRouter(5);
            model.setDatabase(5, 0, 12, "Camera 1");
            model.addControl("1", "UMD", {{"text", "idle"}});
            model.route(5, 12, 40);
            Facility copy;
            copy.copyDescription(model);
            const std::string before = described(model);
            ASSERT_EQ(described(copy), before) << c.what;
            c.change(changeCopy ? copy : model);
            EXPECT_NE(described(changeCopy ? copy : model), before) << c.what;
            EXPECT_EQ(described(changeCopy ? model : copy), before)
                << c.what << (changeCopy ? " of the copy" : " of the model");
        }
    }
}
