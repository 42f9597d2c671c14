// Vigil against list replies no facility gives: missing, empty, with empty items, or far longer
// than a panel. The workout plays the ordinary cases through the bench, and the base's own tests
// every read-back rule; here the host answers what a test says.
#include "built_paths.h"
#include "module_loader.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using Commands = std::vector<std::string>;

namespace {

struct HostileCase {
    const char* name;
    std::optional<std::string> list;     // the reply to XI
    std::optional<std::string> readBack; // the reply to every TG
    Commands expected;                   // what "AckAll" makes the panel send
};

const HostileCase kCases[] = {
    {"no list", std::nullopt, "value=1", {"XI '1' 'alm_'"}},
    {"empty list", "", "value=1", {"XI '1' 'alm_'"}},
    {"empty item kept",
     "alm_1,",
     "value=1",
     {"XI '1' 'alm_'", "TP 'alarm=4' '1' 'alm_1'", "TG '1' 'alm_1' 'value'",
      "TP 'value=4' '1' 'alm_1'", "TP 'alarm=4' '1' ''", "TG '1' '' 'value'",
      "TP 'value=4' '1' ''"}},
};

class VigilTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module.open(zeph::built::vigilModule)) << module.error();
        ASSERT_TRUE(host.create(module.factory(), ""));
        EXPECT_EQ(host.takeCommands(), Commands{"PS '1' 'AlarmPanel.zeph_ui'"});
    }
    void TearDown() override {
        host.destroy();
        EXPECT_EQ(host.takeCommands(), Commands{"AS"});
        EXPECT_EQ(host.errors(), Commands());
    }
    zeph::host::Module module;
    zeph::host::RecordingHost host;
};

} // namespace

TEST_F(VigilTest, acknowledge_walks_whatever_list_the_host_gives) {
    for (const HostileCase& c : kCases) {
        host.setResponder([&](const std::string& command) {
            return zeph::host::mnemonic(command) == "XI" ? c.list : c.readBack;
        });
        host.press("1", "AckAll");
        EXPECT_EQ(host.takeCommands(), c.expected) << c.name;
        EXPECT_EQ(host.outstandingReplies(), 0u) << c.name;
    }
}

TEST_F(VigilTest, huge_list_is_walked_whole_and_every_reply_released) {
    const int count = 20000;
    std::string list;
    for (int i = 1; i <= count; ++i)
        list += (i > 1 ? "," : "") + ("alm_" + std::to_string(i));
    host.setResponder([&](const std::string& command) -> std::optional<std::string> {
        return zeph::host::mnemonic(command) == "XI" ? list : "value=9";
    });
    host.parent("ack=1");
    const Commands sent = host.takeCommands();
    ASSERT_EQ(sent.size(), 1u + 3u * count);
    EXPECT_EQ(sent.back(), "TP 'value=4' '1' 'alm_20000'");
    EXPECT_EQ(host.repliesHandedOut(), 1u + count);
    EXPECT_EQ(host.outstandingReplies(), 0u);
}
