// What the bench prints: the readable transcript, JSON lines and JUnit reports.
#include "report/json.h"
#include "report/junit.h"
#include "report/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace zeph::bench;
using namespace zeph::host;

namespace {
Event make(Event::Kind kind, std::string text, std::optional<std::string> reply = std::nullopt) {
    Event e;
    e.kind = kind;
    e.time = 250;
    e.text = std::move(text);
    e.reply = std::move(reply);
    e.file = "t.zs";
    e.line = 7;
    return e;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
} // namespace

TEST(text_transcript, shows_time_notifications_commands_replies_and_failures) {
    std::ostringstream out;
    TextTranscript t(out, false);
    t(make(Event::Kind::Notify, "parent sourceID=7"));
    t(make(Event::Kind::Command, "RN 201 0 7", "12,Camera 1"));
    t(make(Event::Kind::Command, "SD 'nobody'"));
    t(make(Event::Kind::Command, "ET 2 250"));
    t(make(Event::Kind::Answer, "sourceID=7"));
    t(make(Event::Kind::Answer, "return=all", "a\nb"));
    t(make(Event::Kind::Expect, "expect ET 2 250"));
    t(make(Event::Kind::Failure, "expected `AS`"));
    EXPECT_EQ(out.str(), "     250 ms  => parent sourceID=7\n"
                         "            <= RN 201 0 7   -> \"12,Camera 1\"\n"
                         "            <= SD 'nobody'   -> (no reply)\n"
                         "            <= ET 2 250\n"
                         "            answer (null)\n"
                         "            answer \"a\\nb\"\n"
                         "            FAIL t.zs:7: expected `AS`\n");
}

TEST(text_transcript, colours_only_when_asked) {
    std::ostringstream plain, coloured;
    TextTranscript(plain, false)(make(Event::Kind::HostError, "reply released twice"));
    TextTranscript(coloured, true)(make(Event::Kind::HostError, "reply released twice"));
    EXPECT_EQ(plain.str().find('\x1b'), std::string::npos);
    EXPECT_NE(coloured.str().find("\x1b[31;1m! reply released twice\x1b[0m"), std::string::npos);
}

TEST(json_transcript, one_valid_object_per_event_whatever_the_bytes) {
    std::ostringstream out;
    JsonTranscript j(out);
    j(make(Event::Kind::Command, "TP 'text=\xe9t\xe9' '1' 'UMD'"));
    j(make(Event::Kind::Answer, "x", std::string("caf\xe9\n")));
    std::istringstream in(out.str());
    std::string line;
    std::vector<nlohmann::json> objects;
    while (std::getline(in, line))
        objects.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0]["event"], "command");
    EXPECT_TRUE(objects[0]["reply"].is_null());
    EXPECT_EQ(objects[0]["time"], 250);
    EXPECT_EQ(objects[0]["line"], 7);
    EXPECT_EQ(objects[1]["reply"], "caf\xc3\xa9\n");

    auto summary = nlohmann::json::parse(summaryJson("t.zs", 3, {"t.zs:2: expected `AS`"}));
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["passed"], false);
    EXPECT_EQ(summary["failures"].size(), 1u);
}

TEST(junit, counts_failures_and_errors_and_escapes_text) {
    const std::string path = ::testing::TempDir() + "zeph_junit_" + std::to_string(getpid());
    ASSERT_TRUE(writeJUnit(
        path, "suite <1>",
        {{"take.zs", "run", 0.5, {}, false, "ok"},
         {"poll.zs", "run", 0.1, {"poll.zs:3: expected `RP \"5\"` & more"}, false, ""},
         junitCase(CheckResult{"random", CheckResult::Status::Crashed, 2, {"signal 11"}})}));
    const std::string xml = slurp(path);
    EXPECT_NE(
        xml.find("<testsuite name=\"suite &lt;1&gt;\" tests=\"3\" failures=\"1\" errors=\"1\" "
                 "skipped=\"0\" time=\"2.6\">"),
        std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<failure message=\"poll.zs:3: expected `RP &quot;5&quot;` &amp; more\">"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<error message=\"CRASHED\">CRASHED\nsignal 11\n</error>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<system-out>ok</system-out>"), std::string::npos) << xml;
    EXPECT_FALSE(writeJUnit("/nonexistent/dir/report.xml", "s", {}));
    EXPECT_EQ(xmlEscape(std::string("a\x01"
                                    "b")),
              "a?b");
}
