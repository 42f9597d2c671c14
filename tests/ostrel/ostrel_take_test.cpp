// The selector end to end, and the life of its revertive poll across registrations.
#include "built_paths.h"
#include "ostrel_fixture.h"

TEST_F(OstrelTest, road_of_a_take) {
    create("D:/panels");
    EXPECT_EQ(host.takeCommands(), (Commands{"PS '1' 'D:/panels/MyMonitor.zeph_ui'",
                                             "TP 'statesheet=' '1' 'StateIndicate'"}));

    host.setReply("SD 'pkg'", "201 3");
    host.setReply("RN 201 1 3", "40,Mon 1");
    host.setReply("SD 'rtr'", "5");
    host.setReply("RN 201 0 7", "12,Camera 1");
    EXPECT_FALSE(host.parent("instance=pkg"));
    EXPECT_FALSE(host.parent("sdiID=rtr"));
    EXPECT_FALSE(host.parent("offState=off"));
    EXPECT_FALSE(host.parent("onState=on"));
    EXPECT_EQ(host.takeCommands(),
              (Commands{"SD 'pkg'", "RN 201 1 3", "SD 'rtr'", "RR 5 40 40", "RP 5 40 40",
                        "ET 1 10000", "TP 'statesheet=off' '1' 'StateIndicate'"}));

    host.press("1", "Tarnel");
    EXPECT_EQ(host.takeCommands(),
              (Commands{"TP 'statesheet=on' '1' 'StateIndicate'", "HN 'clear=1'"}));

    EXPECT_EQ(host.parent("sourceID=7"), std::nullopt);
    EXPECT_EQ(host.takeCommands(), (Commands{"RN 201 0 7", "RC 5 12 40 ',' 0", "ET 2 250"}));

    host.revertive(5, 40, "Camera 1");
    EXPECT_EQ(host.takeCommands(), (Commands{"TP 'text=Camera 1' '1' 'UMD'", "ET 1"}));

    host.tick(2);
    EXPECT_EQ(host.takeCommands(), (Commands{"HN 'setindex=-1'", "ET 2"}));
    EXPECT_TRUE(host.runningTimers().empty());

    EXPECT_EQ(destroy(), (Commands{"RU 5", "AS"}));
}

TEST_F(OstrelTest, module_carries_its_identification) {
    FILE* file = std::fopen(zeph::built::ostrelModule, "rb");
    ASSERT_NE(file, nullptr);
    std::string bytes;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, n);
    std::fclose(file);
    EXPECT_NE(bytes.find("ZEPH_SIG,name=zeph_script_helper,type=LIB,version=4.8.6.0,"
                         "date=16/06/2017,author=Ostrel developers"),
              std::string::npos);
}

TEST_F(OstrelTest, never_configured_selector_stops_the_poll_and_detaches) {
    create();
    EXPECT_EQ(destroy(), (Commands{"ET 1", "AS"}));
}

TEST_F(OstrelTest, null_host_gets_nothing_and_nothing_breaks) {
    zeph_client_callback* selector = module.factory()(nullptr, "X:/ui");
    ASSERT_NE(selector, nullptr);
    std::string answers;
    for (std::string text :
         {"instance=pkg", "sdiID=rtr", "onState=on", "sourceID=7", "return=all"}) {
        char* answer = selector->callback(text.data(), ZEPH_PARENT);
        if (answer) {
            answers += answer;
            selector->callback(answer, ZEPH_RELEASE);
        }
    }
    selector->callback(reinterpret_cast<void*>(static_cast<intptr_t>(2)), ZEPH_TIMER);
    delete selector;
    // Settings are still kept; the look-ups simply found nothing.
    EXPECT_EQ(answers, "sdiID=rtr\noffState=\nonState=on");
}

// After a revertive ended the first poll, a new registration polls again until its own revertive.
TEST_F(OstrelTest, each_registration_has_its_own_poll) {
    configure();
    host.revertive(5, 40, "Camera 1");
    host.setReply("SD 'pkg2'", "201 4");
    host.setReply("RN 201 1 4", "41,Mon 2");
    host.takeCommands();

    host.parent("instance=pkg2");
    EXPECT_EQ(host.takeCommands(), (Commands{"SD 'pkg2'", "RN 201 1 4", "RU 5", "RR 5 41 41",
                                             "RP 5 41 41", "ET 1 10000"}));
    host.revertive(5, 41, "Camera 2");
    EXPECT_EQ(host.takeCommands(), (Commands{"TP 'text=Camera 2' '1' 'UMD'", "ET 1"}));
    EXPECT_TRUE(host.runningTimers().empty());
    EXPECT_EQ(destroy(), (Commands{"RU 5", "AS"}));
}

TEST_F(OstrelTest, destruction_stops_the_poll_of_a_later_registration) {
    configure();
    host.revertive(5, 40, "Camera 1");
    host.setReply("SD 'rtr2'", "6");
    host.parent("sdiID=rtr2");
    EXPECT_EQ(host.runningTimers(), std::set<int>{1});
    EXPECT_EQ(destroy(), (Commands{"RU 6", "ET 1", "AS"}));
}

// A registration that ends unregistered stops the poll only when one is running.
TEST_F(OstrelTest, unregistering_stops_a_running_poll) {
    struct Case {
        bool revertiveFirst;
        Commands onUnregister;
        Commands onDestroy;
    };
    for (const Case& c : {Case{false, {"SD 'gone'", "RU 5", "ET 1"}, {"ET 1", "AS"}},
                          Case{true, {"SD 'gone'", "RU 5"}, {"AS"}}}) {
        SCOPED_TRACE(c.revertiveFirst ? "after a revertive" : "while polling");
        configure();
        if (c.revertiveFirst)
            host.revertive(5, 40, "Camera 1");
        host.setReply("SD 'gone'", "201 0");
        host.takeCommands();
        host.parent("instance=gone");
        EXPECT_EQ(host.takeCommands(), c.onUnregister);
        EXPECT_TRUE(host.runningTimers().empty());
        EXPECT_EQ(destroy(), c.onDestroy);
    }
}
