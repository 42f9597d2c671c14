// The "ActionAll" and "AckAll" alarm actions over every "alm_" control of panel 1.
#include "probe_fixture.h"

class AlarmTest : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        probe->setAlarmHandling(true);
        host.setReply("XI '1' 'alm_'", std::string("alm_1,alm_2"));
        host.takeCommands();
    }
    void readsBack(const char* control, std::optional<std::string> reply) {
        host.setReply("TG '1' '" + std::string(control) + "' 'value'", std::move(reply));
    }
};

TEST_F(AlarmTest, ack_all_writes_four_only_where_the_value_asks_for_it) {
    readsBack("alm_1", "value=1");
    readsBack("alm_2", "value=3");
    host.press("1", "AckAll");
    EXPECT_EQ(host.takeCommands(),
              (Commands{"XI '1' 'alm_'", "TP 'alarm=4' '1' 'alm_1'", "TG '1' 'alm_1' 'value'",
                        "TP 'value=4' '1' 'alm_1'", "TP 'alarm=4' '1' 'alm_2'",
                        "TG '1' 'alm_2' 'value'"}));
    EXPECT_TRUE(probe->seen.empty()); // consumed
}

TEST_F(AlarmTest, acknowledge_rule_by_read_back) {
    const struct {
        std::optional<std::string> reply;
        bool writesFour;
    } cases[] = {
        {"value=0", false}, {"value=1", true},  {"value=2", false}, {"value=3", false},
        {"value=4", false}, {"value=5", false}, {"value=6", true},  {"value=7", true},
        {"value=-1", true}, {"value=", false},  {"Value=1", false}, {std::nullopt, false},
    };
    host.setReply("XI '1' 'alm_'", std::string("alm_3"));
    for (const auto& c : cases) {
        readsBack("alm_3", c.reply);
        testing::internal::CaptureStderr(); // an unmatched reply writes its diagnostic
        host.press("1", "ActionAll", "alarm=ack");
        testing::internal::GetCapturedStderr();
        Commands expected{"XI '1' 'alm_'", "TP 'alarm=ack' '1' 'alm_3'", "TG '1' 'alm_3' 'value'"};
        if (c.writesFour)
            expected.push_back("TP 'value=4' '1' 'alm_3'");
        EXPECT_EQ(host.takeCommands(), expected) << (c.reply ? *c.reply : "no reply");
    }
}

TEST_F(AlarmTest, action_codes) {
    const struct {
        const char* event;
        Commands perControl; // for alm_1; alm_2 follows the same pattern
    } cases[] = {
        {"alarm=2", {"TP 'alarm=2' '1' 'alm_1'", "TP 'value=2' '1' 'alm_1'"}},
        {"alarm=0", {"TP 'alarm=0' '1' 'alm_1'", "TP 'value=0' '1' 'alm_1'"}},
        {"alarm=12", {"TP 'alarm=12' '1' 'alm_1'"}},
        {"alarm=x", {"TP 'alarm=x' '1' 'alm_1'", "TP 'value=0' '1' 'alm_1'"}},
        {"alarm=", {"TP 'alarm=' '1' 'alm_1'"}},
    };
    for (const auto& c : cases) {
        host.press("1", "ActionAll", c.event);
        Commands expected{"XI '1' 'alm_'"};
        for (const char* control : {"alm_1", "alm_2"}) {
            for (std::string cmd : c.perControl) {
                cmd.replace(cmd.rfind("alm_1"), 5, control);
                expected.push_back(cmd);
            }
        }
        EXPECT_EQ(host.takeCommands(), expected) << c.event;
    }
}

TEST_F(AlarmTest, other_presses_reach_the_button_handler) {
    host.press("1", "ActionAll", "reset=1");
    host.press("2", "Tarnel", "");
    host.press("1", "ackall");
    EXPECT_TRUE(host.takeCommands().empty());
    EXPECT_EQ(probe->seen,
              (Commands{"button 1 ActionAll reset 1", "button 2 Tarnel  ", "button 1 ackall  "}));
}

TEST_F(AlarmTest, no_controls_no_commands_after_the_list) {
    host.setReply("XI '1' 'alm_'", std::nullopt);
    host.press("1", "AckAll");
    EXPECT_EQ(host.takeCommands(), Commands{"XI '1' 'alm_'"});
}
