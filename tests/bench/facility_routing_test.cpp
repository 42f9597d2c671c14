// The simulated facility's routers: who hears a crosspoint or a poll, and when a revertive arrives
// (queued after the notification, delayed, dropped, or inline inside the call).
#include "facility_bench.h"

#include <algorithm>

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
