// The recording host catches the ownership faults a component can make at the boundary.
#include "recording_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A component that misbehaves on purpose: each timer id selects one fault.
class Faulty : public zeph_client_callback {
public:
    explicit Faulty(zeph_client_callback* h) : host(h) {}
    ~Faulty() override { send("AS"); }
    char* callback(void*, int type) override {
        (void)type;
        return nullptr;
    }
    char* send(const char* text) { return host->callback(const_cast<char*>(text), ZEPH_COMMAND); }
    zeph_client_callback* host;
};

class Fault : public ::testing::Test {
protected:
    void SetUp() override {
        faulty = new Faulty(&host);
        host.attach(faulty);
        host.setResponder([](const std::string&) { return std::string("reply"); });
    }
    void TearDown() override {
        if (host.component())
            host.destroy();
    }
    bool mentions(const std::string& words) const {
        for (const std::string& e : host.errors())
            if (e.find(words) != std::string::npos)
                return true;
        return false;
    }
    zeph::host::RecordingHost host;
    Faulty* faulty = nullptr;
};

} // namespace

TEST_F(Fault, a_query_reply_kept_past_the_notification_is_reported) {
    faulty->send("SD 'x'");
    host.checkAfterNotification("a test");
    EXPECT_TRUE(mentions("1 reply not released by the end of a test"));
}

TEST_F(Fault, double_foreign_and_null_releases_are_reported) {
    char* reply = faulty->send("RN 1 0 1");
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "reply");
    host.callback(reply, ZEPH_RELEASE);
    EXPECT_TRUE(host.errors().empty());
    host.callback(reply, ZEPH_RELEASE);
    char foreign[] = "x";
    host.callback(foreign, ZEPH_RELEASE);
    host.callback(nullptr, ZEPH_RELEASE);
    EXPECT_TRUE(mentions("released twice"));
    EXPECT_TRUE(mentions("never handed out"));
    EXPECT_TRUE(mentions("null pointer"));
}

TEST_F(Fault, only_the_four_queries_get_a_reply) {
    for (const char* q : {"SD 'a'", "XI '1' 'alm_'", "RN 1 0 1", "TG '1' 'c' 'p'"}) {
        char* r = faulty->send(q);
        ASSERT_NE(r, nullptr) << q;
        host.callback(r, ZEPH_RELEASE);
    }
    for (const char* c : {"HN 'x'", "TP 'a=b' '1' 'c'", "RC 1 2 3 ',' 0", "RR 1 2 2", "ET 1 5"})
        EXPECT_EQ(faulty->send(c), nullptr) << c;
    EXPECT_NE(faulty->send("PS '1' 'f'"), nullptr);
    host.setPanelShowAccepted(false);
    EXPECT_EQ(faulty->send("PS '1' 'f'"), nullptr);
    EXPECT_TRUE(host.errors().empty());
}

TEST_F(Fault, commands_after_as_and_running_timers_are_reported) {
    faulty->send("ET 1 10000");
    faulty->send("ET 2 250");
    faulty->send("ET 2");
    EXPECT_EQ(host.runningTimers(), (std::set<int>{1}));
    host.destroy();
    EXPECT_TRUE(mentions("timer left running after destruction: 1"));
    faulty = new Faulty(&host);
    host.attach(faulty);
    faulty->send("AS");
    faulty->send("HN 'late'");
    EXPECT_TRUE(mentions("command after \"AS\": HN 'late'"));
}
