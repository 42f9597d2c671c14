// A trace turned into a scenario: the facility follows the field's answers, the steps and
// expectations follow the calls, and what no scenario line can say is a note.
#include "host_records.h"
#include "trace_tape.h"
#include "zeph_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace zt = zeph::bench::trace;
using zeph::test::parsed;
using zeph::test::Tape;

namespace {

// Host 1's component (0x5000) sends a command, and the revertive 5 DEST 'NAME' is delivered to it
// inside that command.
void revertedInside(Tape& t, const char* command, int32_t dest, const char* name) {
    const std::vector<char> record = zeph::host::revertiveRecord(5, dest, name);
    t.call(1, ZEPH_COMMAND, command, true);
    t.call(0x5000, ZEPH_REVERTIVE, record.data(), false);
    t.ret(nullptr);
    t.ret(nullptr);
}

} // namespace

// The facility follows the field's answers: a line where an answer is first needed, another
// where it changed, a router made inline for a revertive inside RC, and a note for what no
// facility line can give.
TEST(trace_scenario, facility_lines_follow_the_field_answers) {
    static char five[] = "5", six[] = "6", idle[] = "text=idle", alarms[] = "alm_1,alm_2",
                odd[] = "five", camera[] = "Camera 1", renamed[] = "Camera 2", pair[] = "201 7",
                other[] = "text=other", none[] = "none", three[] = "1 2 3";
    Tape t;
    t.header("Ostrel.dll");
    t.create(1, "");
    t.created(0x5000);
    const auto parent = [&](const char* text, const char* command, char* reply) {
        t.call(0x5000, ZEPH_PARENT, text, false);
        t.call(1, ZEPH_COMMAND, command, true);
        t.ret(reply);
        if (reply) { // handed back, as a component does
            t.call(1, ZEPH_RELEASE, reply, true);
            t.ret(nullptr);
        }
        t.ret(nullptr);
    };
    parent("a", "SD 'cam'", five);
    parent("b", "SD 'cam'", five);
    parent("c", "SD 'cam'", six);
    parent("d", "TG '1' 'UMD' 'text'", idle);
    parent("d", "TG '1' 'UMD' 'text'", idle);
    parent("e", "XI '1' 'alm_'", alarms);
    parent("f", "SD 'odd'", odd);
    parent("g", "RN 5 0 40", camera);
    parent("g", "RN 5 0 40", camera);
    parent("h", "RC 5 0 40", nullptr); // no query: no line
    parent("i", "RN 5 x 40", camera);  // a malformed one no line can answer
    parent("j", "RN x 0 40", camera);
    parent("k", "SD 'pair'", pair);
    parent("n", "SD 'three'", three);
    parent("o", "RC 5 x 40", nullptr);
    parent("p", "RC x 7 40", nullptr);
    alignas(4) unsigned char entry[32] = {};
    const int32_t where[4] = {5, 0, 0, 40};
    std::memcpy(entry, where, sizeof where);
    std::memcpy(entry + 16, renamed, sizeof renamed);
    t.call(0x5000, ZEPH_DATABASE, entry, false); // the facility's own change: no line needed
    t.ret(nullptr);
    parent("l", "RN 5 0 40", renamed);
    // What the component set in a step, the host's answer in that step cannot be told apart from.
    t.call(0x5000, ZEPH_PARENT, "m", false);
    const auto query = [&t](const char* command, char* reply) {
        t.call(1, ZEPH_COMMAND, command, true);
        t.ret(reply);
        t.call(1, ZEPH_RELEASE, reply, true);
        t.ret(nullptr);
    };
    query("SD 'cam'", six); // the facility line before the step gives one
    query("SD 'cam'", five);
    query("RN 5 0 41", camera); // the same for a database entry
    query("RN 5 0 41", renamed);
    t.call(1, ZEPH_COMMAND, "TP 'text=set' '1' 'UMD'", true);
    t.ret(nullptr);
    query("TG '1' 'UMD' 'text'", other);
    t.ret(nullptr);
    // A control the step asked of and found missing: no line before the step can declare it for
    // the text put that follows.
    t.call(0x5000, ZEPH_PARENT, "s", false);
    t.call(1, ZEPH_COMMAND, "TG '1' 'Spare' 'text'", true);
    t.ret(nullptr);
    t.call(1, ZEPH_COMMAND, "TP 'text=on' '1' 'Spare'", true);
    t.ret(nullptr);
    t.ret(nullptr);
    // Two names in one step are two lines before it; a new control asked of after the step read its
    // panel cannot have its line (the panel's list would change under the step).
    t.call(0x5000, ZEPH_PARENT, "u", false);
    query("SD 'left'", five);
    query("SD 'right'", six);
    query("XI '1' 'alm_'", alarms);
    query("TG '1' 'Fresh' 'text'", idle);
    t.ret(nullptr);
    parent("r", "RR 5 40 40", nullptr); // registered: a route reaches it
    // A parent text sent on as the command, and the revertive 5 DEST 'NAME' delivered inside it.
    const auto routedInside = [&t](const char* command, int32_t dest, const char* name) {
        t.call(0x5000, ZEPH_PARENT, command, false);
        revertedInside(t, command, dest, name);
        t.ret(nullptr);
    };
    // Made inline only for the very revertive the command would cause.
    const char* const unroutable[] = {"RC 5 7 41", "RP 5 41 50", "RC 5 7",  "RC 6 7 40",
                                      "RC x 7 40", "RC 5 x 40",  "RC 5 7 x"};
    std::vector<const char*> commands = {"RC 5 7 40", "RC 5 7 40", "RP 5 40 40"};
    commands.insert(commands.end(), std::begin(unroutable), std::end(unroutable));
    for (const char* command : commands)
        routedInside(command, 40, "Cam 7");
    // A poll's revertive for a destination no command of the trace routed: one route, kept.
    routedInside("RP 5 45 45", 45, "Cam 9");
    routedInside("RP 5 45 45", 45, "Cam 9");
    t.call(0x5000, ZEPH_PARENT, "crash", false);
    zb_fault fault{};
    fault.code = 0xC0000005u;
    fault.where = zb_text_of("Ostrel.traced.dll+0x00000010");
    zt_write_fault(&t.w, 0, 1, &fault);
    t.ret(none);
    zeph_button_record press{0, 0, "1", "Tarnel", nullptr};
    t.call(0x5000, ZEPH_BUTTON, &press, false);
    t.ret(nullptr);
    t.call(0x5000, ZEPH_BUTTON, nullptr, false); // no record to read: played as it came
    t.ret(nullptr);
    zb_message debug{};
    debug.kind = ZB_DEBUG;
    debug.u.debug.text = zb_text_of("between");
    t.put(debug);
    fault.where = zb_text_of("host.exe+0x00000020"); // between calls: a note, not a step
    zt_write_fault(&t.w, 0, 1, &fault);
    t.call(0x5000, ZEPH_PARENT, "last", false); // the trace ends inside it
    std::vector<std::string> notes;
    const std::string s = zt::toScenario(parsed(t.bytes), notes);
    const auto at = [&](const std::string& line) { return s.find("\n" + line + "\n"); };
    EXPECT_LT(at("name cam 5"), at("parent a"));
    EXPECT_EQ(s.find("name cam 5", at("parent a")), std::string::npos) << s; // not again for b
    EXPECT_LT(at("parent b"), at("name cam 6"));
    EXPECT_LT(at("name cam 6"), at("parent c"));
    EXPECT_LT(at("control 1 UMD text=idle"), at("parent d"));
    EXPECT_EQ(s.find("control 1 UMD text=idle", at("parent d")), std::string::npos) << s;
    EXPECT_LT(at("control 1 alm_2"), at("parent e"));
    EXPECT_LT(at("parent f"), at("expect SD 'odd'")) << s;
    EXPECT_LT(at("db 5 0 40 Camera 1"), at("parent g"));
    EXPECT_EQ(s.find("db 5 0 40 Camera 1", at("parent g")), std::string::npos) << s;
    EXPECT_EQ(s.find("db 5 x"), std::string::npos) << s;
    EXPECT_LT(at("name pair 201 7"), at("parent k"));
    EXPECT_LT(at("name left 5"), at("parent u")) << s;
    EXPECT_LT(at("name right 6"), at("parent u")) << s;
    EXPECT_EQ(s.find("db 5 0 40 Camera 2"), std::string::npos) << s;
    EXPECT_NE(s.find("\nparent crash\nexpect-none\nanswer \"none\"\n"), std::string::npos) << s;
    EXPECT_LT(at("press 1 Tarnel"), at("raw 2"));
    // Written right after the notification, the diagnostic is taken as that notification's.
    EXPECT_LT(at("raw 2"), at("expect-debug between"));
    EXPECT_LT(at("expect-debug between"), at("parent last"));
    const size_t routed = at("parent RC 5 7 40");
    EXPECT_LT(at("db 5 0 7 Cam 7"), at("router 5 inline"));
    EXPECT_LT(at("router 5 inline"), routed) << s;
    const size_t route45 = s.find(" 45\n", s.find("\nroute 5 "));
    EXPECT_NE(route45, std::string::npos) << s;
    EXPECT_EQ(s.find("\nroute 5 ", route45), std::string::npos) << s; // not again for the second
    // Said once, and the RP in range finds the source RC routed there.
    EXPECT_EQ(s.find(" Cam 7\n"), s.rfind(" Cam 7\n")) << s;
    std::vector<std::string> want = {
        "SD 'odd' with 'five'",
        "RN 5 x 40 with 'Camera 1'",
        "RN x 0 40 with 'Camera 1'",
        "SD 'three' with '1 2 3'",
        "SD 'cam' with '5'",
        "RN 5 0 41 with 'Camera 2'",
        "TG '1' 'UMD' 'text' with 'text=other'",
        "no line can declare before the step: TP 'text=on' '1' 'Spare'",
        "TG '1' 'Fresh' 'text' with 'text=idle'"};
    for (const char* command : unroutable)
        want.push_back(std::string("revertive 5 40 Cam 7 inside ") + command + ";");
    want.push_back("fault 0xc0000005 at Ostrel.traced.dll+0x00000010");
    want.push_back("press 1 Tarnel differs from the press the bench makes in its event's");
    want.push_back("fault 0xc0000005 at host.exe+0x00000020");
    want.push_back("never returned from parent last");
    ASSERT_EQ(notes.size(), want.size()) << s;
    for (size_t i = 0; i < notes.size(); ++i)
        EXPECT_NE(notes[i].find(want[i]), std::string::npos) << notes[i];
}

// The panel files follow the field's PS answers: a refusal lists none, and a file shown after
// one is listed by its last path part. A destination polled and then routed in one step gets the
// poll's lines alone: the route's would change what the poll heard.
TEST(trace_scenario, panel_files_and_a_routers_lines_follow_the_field) {
    static char ok[] = "ok";
    Tape t;
    t.header("Ostrel.dll");
    t.create(1, "");
    t.call(1, ZEPH_COMMAND, "PS '1' 'a.zeph_ui'", true);
    t.ret(nullptr);
    t.created(0x5000);
    t.call(0x5000, ZEPH_PARENT, "show", false);
    t.call(1, ZEPH_COMMAND, "PS '1' 'dir/b.zeph_ui'", true);
    t.ret(ok);
    t.ret(nullptr);
    t.call(0x5000, ZEPH_PARENT, "watch", false); // registered: a route's revertive reaches it
    t.call(1, ZEPH_COMMAND, "RR 5 40 40", true);
    t.ret(nullptr);
    t.ret(nullptr);
    t.call(0x5000, ZEPH_PARENT, "both", false);
    revertedInside(t, "RP 5 40 40", 40, "Cam 9");
    revertedInside(t, "RC 5 7 40", 40, "Cam 7");
    t.ret(nullptr);
    std::vector<std::string> notes;
    const std::string s = zt::toScenario(parsed(t.bytes), notes);
    const auto at = [&](const std::string& line) { return s.find("\n" + line + "\n"); };
    EXPECT_LT(at("panel-file (none)"), at("load")) << s;
    EXPECT_LT(at("load"), at("panel-file b.zeph_ui")) << s;
    EXPECT_LT(at("panel-file b.zeph_ui"), at("parent show")) << s;
    EXPECT_LT(at("route 5 9000 40"), at("parent both")) << s;
    EXPECT_EQ(s.find("Cam 7\n"), std::string::npos) << s;
    EXPECT_TRUE(notes.empty()) << notes[0];
}
