// The recording host catches the ownership faults a component can make at the boundary.
#include "recording_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
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
    // Replies handed out again (the heap reuses the released block) and released in any order
    // are released once each.
    char* first = faulty->send("RN 1 0 2");
    char* second = faulty->send("RN 1 0 3");
    host.callback(second, ZEPH_RELEASE);
    host.callback(first, ZEPH_RELEASE);
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

namespace {

using zeph::host::ErrorKind;

// Each breach a component can make at the boundary, and the kind the host files it under.
struct KindCase {
    const char* what;
    ErrorKind kind;
    void (*commit)(zeph::host::RecordingHost& host, Faulty& faulty);
};

const KindCase kKindCases[] = {
    {"reply kept", ErrorKind::ReplyNotReleased,
     [](zeph::host::RecordingHost& h, Faulty& f) {
         f.send("SD 'x'");
         h.checkAfterNotification("a test");
     }},
    {"reply released twice", ErrorKind::ReleasedTwice,
     [](zeph::host::RecordingHost& h, Faulty& f) {
         char* reply = f.send("TG '1' 'c' 'p'");
         h.callback(reply, ZEPH_RELEASE);
         h.callback(reply, ZEPH_RELEASE);
     }},
    {"foreign release", ErrorKind::ForeignRelease,
     [](zeph::host::RecordingHost& h, Faulty&) {
         char foreign[] = "x";
         h.callback(foreign, ZEPH_RELEASE);
     }},
    {"null release", ErrorKind::NullRelease,
     [](zeph::host::RecordingHost& h, Faulty&) { h.callback(nullptr, ZEPH_RELEASE); }},
    {"call with type 3", ErrorKind::UnknownCallType,
     [](zeph::host::RecordingHost& h, Faulty&) {
         char text[] = "x";
         h.callback(text, ZEPH_PARENT);
     }},
    {"null command", ErrorKind::NullCommand,
     [](zeph::host::RecordingHost& h, Faulty&) { h.callback(nullptr, ZEPH_COMMAND); }},
    {"command after AS", ErrorKind::CommandAfterDetach,
     [](zeph::host::RecordingHost&, Faulty& f) {
         f.send("AS");
         f.send("HN 'late'");
     }},
    {"timer left", ErrorKind::TimerLeftRunning,
     [](zeph::host::RecordingHost& h, Faulty& f) {
         f.send("ET 4 100");
         h.destroy();
     }},
};

} // namespace

TEST_F(Fault, every_breach_carries_its_kind_beside_its_words) {
    for (const KindCase& c : kKindCases) {
        if (host.component())
            host.destroy();
        faulty = new Faulty(&host);
        host.attach(faulty);
        host.clearErrors();
        c.commit(host, *faulty);
        ASSERT_FALSE(host.breaches().empty()) << c.what;
        EXPECT_EQ(host.breaches().front().kind, c.kind) << c.what;
        // errors() stays the words of the same breaches, in the same order.
        ASSERT_EQ(host.errors().size(), host.breaches().size()) << c.what;
        for (size_t i = 0; i < host.errors().size(); ++i)
            EXPECT_EQ(host.errors()[i], host.breaches()[i].text) << c.what;
    }
}

TEST(recording_host, destruction_without_as_or_with_as_not_last_has_its_own_kinds) {
    class Silent : public zeph_client_callback {
    public:
        explicit Silent(zeph_client_callback* h, bool asFirst) : m_host(h), m_asFirst(asFirst) {}
        ~Silent() override {
            if (m_asFirst) {
                m_host->callback(const_cast<char*>("AS"), ZEPH_COMMAND);
                m_host->callback(const_cast<char*>("HN 'x'"), ZEPH_COMMAND);
            }
        }
        char* callback(void*, int) override { return nullptr; }

    private:
        zeph_client_callback* m_host;
        bool m_asFirst;
    };
    // The same with the commands counted but not kept, as a soak runs its hosts.
    for (bool asFirst : {false, true})
        for (bool keep : {true, false}) {
            zeph::host::RecordingHost host;
            host.setKeepCommands(keep);
            host.attach(new Silent(&host, asFirst));
            host.destroy();
            std::vector<ErrorKind> kinds;
            for (const auto& b : host.breaches())
                kinds.push_back(b.kind);
            const std::vector<ErrorKind> expected =
                asFirst ? std::vector<ErrorKind>{ErrorKind::CommandAfterDetach,
                                                 ErrorKind::DetachNotLast}
                        : std::vector<ErrorKind>{ErrorKind::NoDetach};
            EXPECT_EQ(kinds, expected) << "AS first: " << asFirst << ", kept: " << keep;
            EXPECT_EQ(host.commands().size(), keep && asFirst ? 2u : 0u);
        }
}

TEST(recording_host, every_kind_has_its_own_name) {
    std::set<std::string> names;
    for (ErrorKind k : zeph::host::allErrorKinds())
        EXPECT_TRUE(names.insert(zeph::host::errorKindName(k)).second)
            << zeph::host::errorKindName(k);
    EXPECT_EQ(names.size(), static_cast<size_t>(ErrorKind::Runaway) + 1);
}
