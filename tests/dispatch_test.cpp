// The base's dispatcher through its callback: handlers, parent answers and their release.
#include "probe_fixture.h"

#include <cstdint>
#include <cstring>

using DispatchTest = ProbeTest;

TEST_F(DispatchTest, each_type_code_reaches_its_handler) {
    host.revertive(5, 40, "Camera 1");
    host.press("1", "Tarnel", "press=down");
    host.tick(2);
    host.database(5, 0, 12, "Cam 12");
    int spare = 0;
    EXPECT_EQ(host.raw(&spare, ZEPH_SPARE), nullptr);
    EXPECT_EQ(host.parent("sourceID=7"), std::nullopt);
    EXPECT_EQ(probe->seen,
              (Commands{"revertive 5 40 Camera 1", "button 1 Tarnel press down", "timer 2",
                        "database 5 0 12 Cam 12", "extra data", "parent sourceID 7"}));
}

TEST_F(DispatchTest, unknown_type_codes_do_nothing_and_return_null) {
    char text[] = "sourceID=7";
    for (int type : {0, 8, 9, 100, -1, -5, INT32_MIN, INT32_MAX})
        EXPECT_EQ(host.raw(text, type), nullptr) << type;
    EXPECT_TRUE(probe->seen.empty());
    EXPECT_TRUE(host.commands().empty());
}

TEST_F(DispatchTest, timer_id_travels_in_the_pointer) {
    for (int id : {0, 1, 7, -3, 65536})
        host.tick(id);
    EXPECT_EQ(probe->seen, (Commands{"timer 0", "timer 1", "timer 7", "timer -3", "timer 65536"}));
}

TEST_F(DispatchTest, null_records_read_as_empty) {
    host.raw(nullptr, ZEPH_REVERTIVE);
    host.raw(nullptr, ZEPH_BUTTON);
    host.raw(nullptr, ZEPH_DATABASE);
    host.raw(nullptr, ZEPH_PARENT);
    host.raw(nullptr, ZEPH_SPARE);
    EXPECT_EQ(probe->seen, (Commands{"revertive 0 0 ", "button    ", "database 0 0 0 ", "parent  ",
                                     "extra null"}));
}

TEST_F(DispatchTest, button_without_event_or_texts_reads_empty) {
    zeph_button_record record{};
    host.raw(&record, ZEPH_BUTTON);
    EXPECT_EQ(probe->seen, Commands{"button    "});
}

TEST_F(DispatchTest, an_answer_is_a_fresh_copy_released_by_type_5) {
    probe->answer = "abc";
    char text[] = "return=all";
    char* answer = host.raw(text, ZEPH_PARENT);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "abc");
    EXPECT_EQ(std::strlen(answer), 3u);
    EXPECT_EQ(host.raw(answer, ZEPH_RELEASE), nullptr); // freed; ASan would report a leak otherwise
}

TEST_F(DispatchTest, an_empty_answer_reaches_the_host_as_null) {
    probe->answer = "";
    EXPECT_EQ(host.parent("return=all"), std::nullopt);
}

TEST_F(DispatchTest, foreign_and_repeated_releases_are_ignored) {
    probe->answer = "kept";
    char text[] = "x";
    char* first = host.raw(text, ZEPH_PARENT);
    char* second = host.raw(text, ZEPH_PARENT);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, first);

    char foreign[] = "not ours";
    char* heapForeign = static_cast<char*>(std::malloc(8));
    host.raw(foreign, ZEPH_RELEASE);     // a stack pointer: freeing it would crash
    host.raw(heapForeign, ZEPH_RELEASE); // another heap block: freeing it would corrupt
    host.raw(first + 1, ZEPH_RELEASE);   // inside an answer, not its start
    host.raw(nullptr, ZEPH_RELEASE);
    EXPECT_STREQ(first, "kept");
    EXPECT_STREQ(second, "kept");

    host.raw(first, ZEPH_RELEASE);
    host.raw(first, ZEPH_RELEASE); // a second release of the same answer is ignored
    host.raw(second, ZEPH_RELEASE);
    std::free(heapForeign);
}

TEST_F(DispatchTest, answers_never_handed_back_are_freed_with_the_component) {
    probe->answer = "left behind";
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(host.parent("x", /*releaseAnswer=*/false), "left behind");
    EXPECT_EQ(host.keptAnswers().size(), 10u);
    // TearDown destroys the component; LeakSanitizer fails the run if these are lost.
}

TEST_F(DispatchTest, alarm_handling_is_off_after_construction) {
    host.press("1", "ActionAll", "alarm=2");
    host.press("1", "AckAll");
    EXPECT_EQ(probe->seen, (Commands{"button 1 ActionAll alarm 2", "button 1 AckAll  "}));
    EXPECT_TRUE(host.commands().empty());
}

TEST(dispatch, destruction_sends_as_last) {
    zeph::host::RecordingHost host;
    ASSERT_TRUE(host.create(createProbe, "X:/ui"));
    host.destroy();
    EXPECT_EQ(host.commands(), Commands{"AS"});
    EXPECT_EQ(host.errors(), Commands{});
}

TEST(dispatch, a_component_without_host_takes_every_notification_quietly) {
    zeph_client_callback* c = createProbe(nullptr, "path");
    ASSERT_NE(c, nullptr);
    char parent[] = "sourceID=7";
    zeph_button_record button{};
    char record[32] = {};
    EXPECT_EQ(c->callback(record, ZEPH_REVERTIVE), nullptr);
    EXPECT_EQ(c->callback(&button, ZEPH_BUTTON), nullptr);
    EXPECT_EQ(c->callback(parent, ZEPH_PARENT), nullptr);
    EXPECT_EQ(c->callback(reinterpret_cast<void*>(1), ZEPH_TIMER), nullptr);
    EXPECT_EQ(c->callback(record, ZEPH_DATABASE), nullptr);
    EXPECT_EQ(c->callback(record, ZEPH_SPARE), nullptr);
    EXPECT_EQ(c->callback(parent, 42), nullptr);
    delete c; // must not call a host that is not there
}
