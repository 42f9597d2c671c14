// Every host command's exact text, the query replies, and the neutral results without a host or
// reply.
#include "probe_fixture.h"
#include "zeph_commands.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>

using Op = std::function<void(ProbeComponent&)>;
using HostCommandsTest = ProbeTest;

TEST_F(HostCommandsTest, each_command_has_its_exact_text) {
    const struct {
        const char* name;
        Op op;
        const char* text;
    } cases[] = {
        {"hostNotify", [](ProbeComponent& c) { c.hostNotify("clear=1"); }, "HN 'clear=1'"},
        {"textPut", [](ProbeComponent& c) { c.textPut("text", "ABC", "1", "UMD"); },
         "TP 'text=ABC' '1' 'UMD'"},
        {"textPut keeps quotes and blanks",
         [](ProbeComponent& c) { c.textPut("text", "it's a b", "1", "UMD"); },
         "TP 'text=it's a b' '1' 'UMD'"},
        {"routerCrosspoint", [](ProbeComponent& c) { c.routerCrosspoint(5, 12, 40, "", false); },
         "RC 5 12 40 ',' 0"},
        {"routerCrosspoint flag",
         [](ProbeComponent& c) { c.routerCrosspoint(5, 12, 40, "x", true); }, "RC 5 12 40 ',x' 1"},
        {"routerCrosspoint keeps a placeholder in the extra text",
         [](ProbeComponent& c) { c.routerCrosspoint(5, 12, 40, "%5", false); },
         "RC 5 12 40 ',%5' 0"},
        {"routerRegister", [](ProbeComponent& c) { c.routerRegister(7, 40, 40, false); },
         "RR 7 40 40"},
        {"routerRegister add", [](ProbeComponent& c) { c.routerRegister(7, 40, 40, true); },
         "RR 7 40 40 'ADD'"},
        {"routerPoll", [](ProbeComponent& c) { c.routerPoll(5, 40, 41); }, "RP 5 40 41"},
        {"routerPoll either side of a power of ten",
         [](ProbeComponent& c) { c.routerPoll(9, 10, 99); }, "RP 9 10 99"},
        {"routerPoll at nine and ten digits",
         [](ProbeComponent& c) { c.routerPoll(100, 999999999, 1000000000); },
         "RP 100 999999999 1000000000"},
        {"routerUnregister", [](ProbeComponent& c) { c.routerUnregister(5); }, "RU 5"},
        {"timerStart", [](ProbeComponent& c) { c.timerStart(2, 250); }, "ET 2 250"},
        {"timerStart negative", [](ProbeComponent& c) { c.timerStart(-1, -250); }, "ET -1 -250"},
        {"timerStart period 0", [](ProbeComponent& c) { c.timerStart(1, 0); }, "ET 1"},
        {"timerStop", [](ProbeComponent& c) { c.timerStop(1); }, "ET 1"},
        {"hostDetach", [](ProbeComponent& c) { c.hostDetach(); }, "AS"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(during(c.op), Commands{c.text}) << c.name;
    // hostDetach told the host we are gone; let it know we are back for TearDown's checks.
    host.attach(probe);
    during([](ProbeComponent& c) {
        c.timerStop(2);
        c.timerStop(-1);
    });
}

TEST_F(HostCommandsTest, numeric_commands_never_cut_a_number) {
    const struct {
        const char* name;
        Op op;
        Commands sent;
    } cases[] = {
        // 3 + 3 * 9 = 30 characters: fits.
        {"RR at the limit",
         [](ProbeComponent& c) { c.routerRegister(-99999999, -9999999, -999999, false); },
         {"RR -99999999 -9999999 -999999"}},
        {"RR too long",
         [](ProbeComponent& c) { c.routerRegister(INT_MIN, INT_MIN, INT_MIN, false); },
         {}},
        {"RR add too long",
         [](ProbeComponent& c) { c.routerRegister(1234567, 1234567, 1234567, true); },
         {}},
        {"RR add fits",
         [](ProbeComponent& c) { c.routerRegister(123456, 123456, 1234567, true); },
         {"RR 123456 123456 1234567 'ADD'"}},
        {"RP too long", [](ProbeComponent& c) { c.routerPoll(INT_MAX, INT_MAX, INT_MAX); }, {}},
        {"RU extreme", [](ProbeComponent& c) { c.routerUnregister(INT_MIN); }, {"RU -2147483648"}},
        {"ET extreme",
         [](ProbeComponent& c) { c.timerStart(INT_MIN, INT_MIN); },
         {"ET -2147483648 -2147483648"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(during(c.op), c.sent) << c.name;
    during([](ProbeComponent& c) { c.timerStop(INT_MIN); });
}

TEST_F(HostCommandsTest, a_command_past_the_stack_room_goes_out_whole) {
    // A command is built on the stack up to 255 characters, in a block of its own past that: the
    // lengths either side of the edge, and the numbers of RN at their widest.
    for (const size_t length : {249, 250, 251, 252, 400}) {
        const std::string text(length, 'x');
        EXPECT_EQ(during([&](ProbeComponent& c) { c.hostNotify(text.c_str()); }),
                  Commands{"HN '" + text + "'"})
            << length;
        const std::string name(length, 'n');
        EXPECT_EQ(during([&](ProbeComponent& c) { c.textPut("text", "%1", "1", name.c_str()); }),
                  Commands{"TP 'text=%1' '1' '" + name + "'"})
            << length;
    }
    EXPECT_EQ(during([](ProbeComponent& c) {
                  zeph_string name;
                  c.routerName(INT_MIN, INT_MIN, -1, name);
              }),
              Commands{"RN -2147483648 -2147483648 -1"});
}

TEST_F(HostCommandsTest, panel_show_joins_the_base_path_with_a_slash) {
    const struct {
        const char* path;
        const char* parameters;
        const char* text;
    } cases[] = {
        {"X:/ui", "", "PS '1' 'X:/ui/MyMonitor.zeph_ui'"},
        {"X:/ui/", "", "PS '1' 'X:/ui//MyMonitor.zeph_ui'"},
        {"", "", "PS '1' 'MyMonitor.zeph_ui'"},
        {"", "x=1", "PS '1' 'MyMonitor.zeph_ui' 'x=1'"},
    };
    for (const auto& c : cases) {
        zeph::host::RecordingHost h;
        ASSERT_TRUE(h.create(createProbe, c.path));
        auto* p = static_cast<ProbeComponent*>(h.component());
        bool shown = false;
        p->onParent = [&](ProbeComponent& self, parentNotify*) {
            shown = self.panelShow("1", "MyMonitor.zeph_ui", c.parameters);
        };
        h.parent("show");
        EXPECT_EQ(h.commands(), Commands{c.text});
        EXPECT_TRUE(shown);
        h.destroy();
    }
    host.setPanelShowAccepted(false);
    bool shown = true;
    during([&](ProbeComponent& c) { shown = c.panelShow("1", "f", ""); });
    EXPECT_FALSE(shown);
}

TEST_F(HostCommandsTest, get_dev_reads_two_numbers) {
    const struct {
        const char* reply;
        int device;
        int offset;
    } cases[] = {
        {"201 7", 201, 7}, {"201", 201, 0},  {"'201' '7'", 0, 201}, {" 5 6", 0, 5},
        {"abc def", 0, 0}, {"-3 +4", -3, 4}, {"12x 7y", 12, 7},     {"99999999999 1", INT_MAX, 1},
        {"", 0, 0},
    };
    for (const auto& c : cases) {
        host.setReply("SD 'pkg/mon1'", std::string(c.reply));
        int device = -1, offset = -1;
        bool ok = false;
        EXPECT_EQ(during([&](ProbeComponent& p) { ok = p.getDev("pkg/mon1", &device, &offset); }),
                  Commands{"SD 'pkg/mon1'"});
        EXPECT_TRUE(ok) << c.reply;
        EXPECT_EQ(device, c.device) << c.reply;
        EXPECT_EQ(offset, c.offset) << c.reply;
    }
    // Null outputs: only the command and the release.
    bool ok = false;
    during([&](ProbeComponent& p) { ok = p.getDev("pkg/mon1", nullptr, nullptr); });
    EXPECT_TRUE(ok);
    // No reply: outputs zeroed, result false.
    host.setReply("SD 'pkg/mon1'", std::nullopt);
    int device = -1, offset = -1;
    during([&](ProbeComponent& p) { ok = p.getDev("pkg/mon1", &device, &offset); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(device, 0);
    EXPECT_EQ(offset, 0);
}

TEST_F(HostCommandsTest, a_placeholder_in_a_name_goes_out_unchanged) {
    EXPECT_EQ(during([](ProbeComponent& p) { p.getDev("a%1b", nullptr, nullptr); }),
              Commands{"SD 'a%1b'"});
    EXPECT_EQ(during([](ProbeComponent& p) { p.controlList("%2", "alm_"); }),
              Commands{"XI '%2' 'alm_'"});
}

TEST_F(HostCommandsTest, control_list_and_router_name_copy_the_reply) {
    host.setReply("XI '1' 'alm_'", std::string("alm_1,alm_2"));
    std::vector<std::string> ids;
    during([&](ProbeComponent& p) {
        const zeph_stringlist list = p.controlList("1", "alm_");
        for (zeph_stringlistIterator it = list.begin(); it != list.end(); ++it)
            ids.push_back(static_cast<const char*>(*it));
    });
    EXPECT_EQ(ids, (std::vector<std::string>{"alm_1", "alm_2"}));

    host.setReply("RN 201 0 7", std::string("12,Camera 1"));
    std::string name;
    EXPECT_EQ(during([&](ProbeComponent& p) {
                  zeph_string n("before");
                  p.routerName(201, 0, 7, n);
                  name = static_cast<const char*>(n);
              }),
              Commands{"RN 201 0 7"});
    EXPECT_EQ(name, "12,Camera 1");

    // No reply: the name is kept and the host sees no release (a null release would be an error).
    during([&](ProbeComponent& p) {
        zeph_string n("before");
        p.routerName(201, 0, 8, n);
        name = static_cast<const char*>(n);
    });
    EXPECT_EQ(name, "before");
    EXPECT_EQ(host.repliesHandedOut(), 2u);
}

TEST_F(HostCommandsTest, text_get_takes_the_value_of_the_named_property) {
    const struct {
        const char* property;
        std::optional<std::string> reply;
        const char* value;
        const char* diagnostic;
    } cases[] = {
        {"value", "value=2", "2", ""},
        {"value", "value=a=b", "a=b", ""},
        {"value", "Value=2", "",
         "textGet: value returned \"Value\" was not the value requested \"value\" (value returned "
         "was \"Value=2\" from control \"alm_3\", on panel \"1\")"},
        // Without '=' the whole reply is the returned name; it matches, and the value is empty.
        {"value", "value", "", ""},
        {"all", "no equals sign", "no equals sign", ""},
        {"value", std::nullopt, "", ""},
    };
    for (const auto& c : cases) {
        host.setReply("TG '1' 'alm_3' '" + std::string(c.property) + "'", c.reply);
        std::string value;
        testing::internal::CaptureStderr();
        const Commands sent = during([&](ProbeComponent& p) {
            zeph_string v("stale");
            p.textGet(c.property, "1", "alm_3", v);
            value = static_cast<const char*>(v);
        });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.diagnostic) << c.property;
        EXPECT_EQ(sent, Commands{"TG '1' 'alm_3' '" + std::string(c.property) + "'"});
        EXPECT_EQ(value, c.value) << (c.reply ? *c.reply : "no reply");
    }
}

TEST_F(HostCommandsTest, debug_print_fills_placeholders_once) {
    testing::internal::CaptureStderr();
    during([](ProbeComponent& p) {
        p.debugPrint("%1|%2|%9", "has %2 inside", "two", "3", "4", "5", "6", "7", "8", "nine");
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "has %2 inside|two|nine");
    EXPECT_TRUE(host.commands().empty());
}

TEST(host_commands, without_a_host_nothing_is_sent_and_results_are_neutral) {
    ProbeComponent* p = static_cast<ProbeComponent*>(createProbe(nullptr, "X:/ui"));
    int device = -1, offset = -1;
    EXPECT_FALSE(p->getDev("pkg", &device, &offset));
    EXPECT_EQ(device, 0);
    EXPECT_EQ(offset, 0);
    EXPECT_TRUE(p->panelShow("1", "f", ""));
    const zeph_stringlist list = p->controlList("1", "alm_");
    EXPECT_FALSE(list.begin() != list.end());
    zeph_string value("stale");
    p->textGet("value", "1", "c", value);
    EXPECT_STREQ(value, "");
    zeph_string name("kept");
    p->routerName(1, 0, 1, name);
    EXPECT_STREQ(name, "kept");
    p->hostNotify("x");
    p->textPut("a", "b", "1", "c");
    p->routerCrosspoint(1, 2, 3, "", false);
    p->routerRegister(1, 2, 3, true);
    p->routerPoll(1, 2, 3);
    p->routerUnregister(1);
    p->timerStart(1, 10);
    p->timerStop(1);
    p->alarmAction("ack");
    delete p; // reaching here without a crash is the check: there is no host to call
}

// A host that answers every command, so the base can show which replies it reads: it hands each
// one back with ZEPH_RELEASE exactly when the command is a query of zeph_commands.h.
class AnswerEverythingHost : public zeph_client_callback {
public:
    std::set<std::string> released, sent, unknown, tooLong;
    ~AnswerEverythingHost() override {
        for (auto& out : m_out)
            std::free(out.first);
    }
    char* callback(void* data, int type) override {
        if (type == ZEPH_RELEASE) {
            auto it = m_out.find(static_cast<char*>(data));
            if (it != m_out.end()) {
                released.insert(it->second);
                std::free(it->first);
                m_out.erase(it);
            }
            return nullptr;
        }
        const std::string text = static_cast<const char*>(data);
        const zeph_command_info* info = zeph_command_of(text.c_str());
        const std::string mnemonic = text.substr(0, 2);
        if (!info)
            unknown.insert(text);
        else if (info->numeric && text.size() > ZEPH_NUMERIC_LIMIT)
            tooLong.insert(text);
        sent.insert(mnemonic);
        char* reply = strdup("1 2");
        m_out[reply] = mnemonic;
        return reply;
    }

private:
    std::map<char*, std::string> m_out;
};

TEST(host_commands, the_base_reads_the_replies_of_the_queries_and_no_others) {
    AnswerEverythingHost host;
    {
        auto* p = static_cast<ProbeComponent*>(createProbe(&host, "X:/ui"));
        p->setAlarmHandling(true);
        zeph_string text;
        int device, offset;
        p->hostNotify("x");
        p->textPut("a", "b", "1", "c");
        p->textGet("value", "1", "c", text);
        p->panelShow("1", "f", "");
        p->getDev("pkg", &device, &offset);
        p->controlList("1", "alm_");
        p->routerName(1, 0, 1, text);
        p->routerCrosspoint(1, 2, 3, "", false);
        p->routerRegister(-99999999, -9999999, -999999, false);
        p->routerPoll(1, 2, 3);
        p->routerUnregister(1);
        p->timerStart(INT_MIN, INT_MIN);
        p->timerStop(1);
        p->alarmAction("ack");
        delete p; // sends AS
    }
    std::set<std::string> queries, all;
    for (const zeph_command_info& c : zeph_commands) {
        all.insert(c.mnemonic);
        if (c.query)
            queries.insert(c.mnemonic);
    }
    EXPECT_EQ(host.released, queries);
    EXPECT_EQ(host.sent, all) << "every command of the table is sent by one operation";
    EXPECT_TRUE(host.unknown.empty());
    EXPECT_TRUE(host.tooLong.empty());
}
