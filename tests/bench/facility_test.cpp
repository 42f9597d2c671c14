// The simulated facility's rules, seen through a probe component and the commands it sends.
#include "facility/facility.h"
#include "probe_component.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace zeph::bench;
using namespace zeph::host;

namespace {

// A facility with one probe component loaded on endpoint 0, and every event it reports.
struct Bench {
    std::vector<Event> events;
    Facility f{[this](const Event& e) { events.push_back(e); }};
    int c = f.addEndpoint();
    ProbeComponent* probe = nullptr;

    Bench() {
        f.setName("pkg/mon1", 201, 7);
        f.setName("sdi", 5, std::nullopt);
        f.setDatabase(201, 1, 7, "40,Monitor 1");
        f.addRouter(5);
        f.setDatabase(5, 0, 12, "Camera 1");
        f.setDatabase(5, 0, 3, "Camera 3");
        EXPECT_TRUE(f.load(c, createProbe, ""));
        probe = static_cast<ProbeComponent*>(f.host(c).component());
    }
    // Makes the probe run `action` inside the next parent notification, as a component would.
    void inside(std::function<void(ProbeComponent&)> action) {
        probe->onParent = [action](ProbeComponent& p, parentNotify*) { action(p); };
        f.parent(c, "go");
        probe->onParent = nullptr;
    }
    std::vector<std::string> notified() const {
        std::vector<std::string> out;
        for (const Event& e : events)
            if (e.kind == Event::Kind::Notify)
                out.push_back(std::to_string(e.time) + " " + e.text);
        return out;
    }
    size_t hostErrors() const {
        size_t n = 0;
        for (const Event& e : events)
            n += e.kind == Event::Kind::HostError;
        return n;
    }
};

} // namespace

TEST(facility, crosspoint_revertive_arrives_after_the_notification_that_caused_it) {
    Bench b;
    size_t seenInside = 0;
    b.inside([&](ProbeComponent& p) {
        p.routerRegister(5, 40, 40, false);
        p.routerCrosspoint(5, 12, 40, "", false);
        seenInside = p.seen.size();
    });
    ASSERT_EQ(b.probe->seen.size(), 2u);
    EXPECT_EQ(seenInside, 1u) << "the revertive must not be delivered inside the parent command";
    EXPECT_EQ(b.probe->seen[1], "revertive 5 40 Camera 1");
    EXPECT_EQ(b.f.crosspoint(5, 40), 12);
}

// On an inline router the revertives a command causes arrive inside that command's call, before
// the notification that sent it returns; a delay puts them back in the queue.
TEST(facility, inline_router_delivers_inside_the_call) {
    struct Case {
        const char* name;
        std::function<void(Facility&)> setUp;
        std::function<void(ProbeComponent&)> action;
        size_t seenInside; // handler calls, the parent command's own included
    };
    const auto routeAndRegister = [](ProbeComponent& p) {
        p.routerRegister(5, 40, 40, false);
        p.routerCrosspoint(5, 12, 40, "", false);
    };
    const Case cases[] = {
        {"crosspoint", [](Facility& f) { f.setRouterInline(5, true); }, routeAndRegister, 2},
        {"poll",
         [](Facility& f) {
             f.route(5, 3, 40);
             f.setRouterInline(5, true);
         },
         [](ProbeComponent& p) { p.routerPoll(5, 40, 40); }, 2},
        {"delay ends it",
         [](Facility& f) {
             f.setRouterInline(5, true);
             f.setRouterDelay(5, 10);
         },
         routeAndRegister, 1},
        {"off by default", [](Facility&) {}, routeAndRegister, 1},
    };
    for (const Case& c : cases) {
        Bench b;
        c.setUp(b.f);
        size_t seenInside = 0;
        b.inside([&](ProbeComponent& p) {
            c.action(p);
            seenInside = p.seen.size();
        });
        b.f.advance(10);
        EXPECT_EQ(seenInside, c.seenInside) << c.name;
        EXPECT_EQ(b.probe->seen.back().rfind("revertive 5 40 Camera", 0), 0u) << c.name;
        EXPECT_EQ(b.hostErrors(), 0u) << c.name;
    }
}

namespace {
// Holds the reply of an SD while it routes, as a component may: a revertive delivered inline then
// would find the host checking, and freeing, a reply still in use.
struct HoldingComponent : zeph_client_callback {
    HoldingComponent(zeph_client_callback* host, bool atCreation) : host(host), early(atCreation) {
        // Routed before the factory has returned: no component to deliver to yet.
        if (early) {
            send("RR 5 40 40");
            send("RC 5 12 40 ',' 0");
        }
    }
    ~HoldingComponent() override { send("AS"); }
    char* send(const char* command) { return host->callback(const_cast<char*>(command), 0); }
    char* callback(void*, int type) override {
        if (type == ZEPH_PARENT && !early) {
            char* reply = send("SD 'sdi'");
            send("RR 5 40 40");
            send("RC 5 12 40 ',' 0");
            revertivesWhileHolding = revertives;
            if (reply)
                host->callback(reply, ZEPH_RELEASE);
        } else if (type == ZEPH_REVERTIVE) {
            ++revertives;
        }
        return nullptr;
    }
    zeph_client_callback* host;
    bool early;
    int revertives = 0;
    int revertivesWhileHolding = -1;
};
HoldingComponent* g_holding = nullptr;
} // namespace

TEST(facility, inline_revertive_waits_while_the_component_holds_a_reply_or_is_not_created) {
    for (const bool atCreation : {false, true}) {
        SCOPED_TRACE(atCreation ? "at creation" : "holding a reply");
        std::vector<Event> events;
        Facility f([&](const Event& e) { events.push_back(e); });
        f.setName("sdi", 5, std::nullopt);
        f.addRouter(5);
        f.setDatabase(5, 0, 12, "Camera 1");
        // A delay set before is over once the router is inline, for the queued revertive too.
        f.setRouterDelay(5, 300);
        f.setRouterInline(5, true);
        const int c = f.addEndpoint();
        static bool s_atCreation;
        s_atCreation = atCreation;
        ASSERT_TRUE(f.load(
            c,
            [](zeph_client_callback* host, const char*) -> zeph_client_callback* {
                return g_holding = new HoldingComponent(host, s_atCreation);
            },
            ""));
        if (atCreation)
            f.advance(0);
        else
            f.parent(c, "go");
        EXPECT_EQ(g_holding->revertivesWhileHolding, atCreation ? -1 : 0);
        EXPECT_EQ(g_holding->revertives, 1);
        EXPECT_EQ(f.breaches(), 0u);
        const std::string note =
            std::string("revertive 5 40 queued: ") +
            (atCreation ? "the component is not created yet" : "the component still holds a reply");
        bool noted = false;
        for (const Event& e : events)
            noted = noted || e.text == note;
        EXPECT_TRUE(noted) << note;
        f.unload(c);
    }
}

// Routes again on each revertive: inline, each would arrive one call deeper than the last.
struct ReroutingComponent : zeph_client_callback {
    explicit ReroutingComponent(zeph_client_callback* host) : host(host) {}
    ~ReroutingComponent() override { send("AS"); }
    char* send(const char* command) { return host->callback(const_cast<char*>(command), 0); }
    char* callback(void*, int type) override {
        ++depth;
        deepest = std::max(deepest, depth);
        if (type == ZEPH_PARENT)
            send("RR 5 40 40");
        if (type == ZEPH_PARENT || (type == ZEPH_REVERTIVE && ++revertives < 40))
            send("RC 5 12 40 ',' 0");
        --depth;
        return nullptr;
    }
    zeph_client_callback* host;
    int depth = 0, deepest = 0, revertives = 0;
};

TEST(facility, inline_revertives_stop_nesting_at_the_limit_and_go_on_queued) {
    std::vector<Event> events;
    Facility f([&](const Event& e) { events.push_back(e); });
    f.addRouter(5);
    f.setRouterInline(5, true);
    const int c = f.addEndpoint();
    static ReroutingComponent* s_component;
    ASSERT_TRUE(f.load(
        c,
        [](zeph_client_callback* host, const char*) -> zeph_client_callback* {
            return s_component = new ReroutingComponent(host);
        },
        ""));
    f.parent(c, "go");
    f.advance(0);
    EXPECT_EQ(s_component->deepest, 16);
    EXPECT_EQ(s_component->revertives, 40);
    EXPECT_EQ(f.breaches(), 0u);
    size_t noted = 0;
    for (const Event& e : events)
        noted += e.text == "revertive 5 40 queued: inline revertives nested too deep";
    EXPECT_EQ(noted, 2u);
    f.unload(c);
}

TEST(facility, crosspoint_reaches_every_registered_component_and_no_other) {
    Bench b;
    const int other = b.f.addEndpoint(), stranger = b.f.addEndpoint();
    ASSERT_TRUE(b.f.load(other, createProbe, ""));
    ASSERT_TRUE(b.f.load(stranger, createProbe, ""));
    auto* second = static_cast<ProbeComponent*>(b.f.host(other).component());
    auto* third = static_cast<ProbeComponent*>(b.f.host(stranger).component());
    b.inside([](ProbeComponent& p) { p.routerRegister(5, 40, 40, false); });
    second->onParent = [](ProbeComponent& p, parentNotify*) { p.routerRegister(5, 30, 50, false); };
    b.f.parent(other, "go");
    third->onParent = [](ProbeComponent& p, parentNotify*) { p.routerRegister(5, 41, 41, false); };
    b.f.parent(stranger, "go");

    b.f.route(5, 3, 40);
    EXPECT_EQ(b.probe->seen.back(), "revertive 5 40 Camera 3");
    EXPECT_EQ(second->seen.back(), "revertive 5 40 Camera 3");
    EXPECT_EQ(third->seen.back(), "parent go ");

    // A range holds both its ends and nothing past them; a range on another router is not it.
    second->onParent = [](ProbeComponent& p, parentNotify*) { p.routerRegister(6, 60, 70, true); };
    b.f.parent(other, "go");
    second->seen.clear();
    for (int destination : {29, 30, 50, 51, 65})
        b.f.route(5, 3, destination);
    EXPECT_EQ(second->seen,
              (std::vector<std::string>{"revertive 5 30 Camera 3", "revertive 5 50 Camera 3"}));

    // RU ends it: the next route is not heard.
    b.inside([](ProbeComponent& p) { p.routerUnregister(5); });
    const size_t before = b.probe->seen.size();
    b.f.route(5, 12, 40);
    EXPECT_EQ(b.probe->seen.size(), before);
}

TEST(facility, poll_answers_only_the_asker_with_each_routed_destination) {
    Bench b;
    b.f.route(5, 12, 40);
    b.f.route(5, 3, 42);
    b.inside([](ProbeComponent& p) { p.routerPoll(5, 39, 45); });
    const std::vector<std::string> tail(b.probe->seen.end() - 2, b.probe->seen.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"revertive 5 40 Camera 1", "revertive 5 42 Camera 3"}));
    // An unnamed source reads as its number; an unknown router answers nothing.
    b.f.route(5, 77, 43);
    b.inside([](ProbeComponent& p) {
        p.routerPoll(5, 43, 43);
        p.routerPoll(9, 1, 100);
    });
    EXPECT_EQ(b.probe->seen.back(), "revertive 5 43 77");
}

TEST(facility, delayed_and_dropped_revertives) {
    Bench b;
    b.f.route(5, 12, 40);
    b.f.setRouterDelay(5, 300);
    b.f.setRouterDrop(5, 1);
    b.inside([](ProbeComponent& p) {
        p.routerPoll(5, 40, 40);
        p.routerPoll(5, 40, 40);
    });
    const size_t afterPoll = b.probe->seen.size();
    b.f.advance(299);
    EXPECT_EQ(b.probe->seen.size(), afterPoll);
    b.f.advance(1);
    ASSERT_EQ(b.probe->seen.size(), afterPoll + 1) << "the first was dropped, the second delayed";
    EXPECT_EQ(b.notified().back(), "300 revertive 5 40 Camera 1");

    b.f.setRouterDrop(5, -1);
    b.inside([](ProbeComponent& p) { p.routerPoll(5, 40, 40); });
    b.f.advance(10000);
    EXPECT_EQ(b.probe->seen.back(), "parent go ");
}

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
