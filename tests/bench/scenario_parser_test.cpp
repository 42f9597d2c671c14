// Scenario lines read and their errors named, texts quoted back, expectation patterns matched, and
// a component's workout read from its folder.
#include "scenario/scenario.h"
#include "workout/workout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zeph::bench;

TEST(scenario_parser, bad_lines_name_the_line_and_the_reason) {
    struct Case {
        const char* line;
        const char* reason;
    };
    const Case cases[] = {
        {"jump 5", "unknown keyword \"jump\""},
        {"tick", "missing number"},
        {"tick one", "\"one\" is not a number"},
        {"tick 1 2", "unexpected \"2\""},
        {"advance -5", "time cannot go back"},
        {"route 5 12", "missing number"},
        {"parent", "missing text"},
        {"parent \"open", "missing closing quote"},
        {"parent \"a\" b", "text after the closing quote"},
        {"parent \"a\\q\"", "unknown escape \\q"},
        {"parent \"\\x00\"", "\\x needs two hex digits"},
        {"parent \"a\\", "missing closing quote"},
        {"control 1 UMD \"text=a", "missing closing quote"},
        {"press 1", "missing argument"},
        {"router 5 fast", "bad router setting"},
        {"router 5 drop -5", "bad router setting"},
        {"router 5 delay -1", "bad router setting"},
        {"router 5 inline now", "bad router setting"},
        {"router 5 drop 99999999999", "bad router setting"},
        {"control 1 UMD lamp", "is not PROPERTY=VALUE nor a kind"},
        {"control 1 UMD button text", "\"text\" is not PROPERTY=VALUE"},
        {"expect", "missing command"},
        {"expect-none now", "unexpected \"now\""},
        {"tick 99999999999", "out of range"},
        {"answer abc", "double quotes"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::string text = "# header\nload\n" + std::string(c.line) + "\nunload\n";
        EXPECT_FALSE(parseScenario(text, "bad.zs", error)) << c.line;
        EXPECT_EQ(error.rfind("bad.zs:3: ", 0), 0u) << c.line << " -> " << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
    }
    std::string error;
    EXPECT_TRUE(parseScenario("load\nadvance 0\nunload\n", "edge.zs", error)) << error;
}

TEST(scenario_parser, answer_must_follow_a_parent_line) {
    std::string error;
    EXPECT_FALSE(parseScenario("load\nanswer none\n", "a.zs", error));
    EXPECT_NE(error.find("a.zs:2:"), std::string::npos);
    EXPECT_TRUE(parseScenario("load\nparent x\nexpect HN 'x'\n# why\nanswer none\n", "a.zs", error))
        << error;
}

TEST(scenario_parser, texts_words_and_escapes) {
    std::string error;
    auto s = parseScenario("parent \"a\\tb\\n\\\"c\\\"\\x0a\"\n"
                           "revertive 5 40 Camera 1\n"
                           "press 1 Tarnel alarm=ack\n"
                           "name \"pkg mon\" 201 7\n"
                           "raw 7\n"
                           "  # indented comment\r\n"
                           "expect TP 'text=Camera 1' '1' 'UMD'  \n",
                           "ok.zs", error);
    ASSERT_TRUE(s) << error;
    ASSERT_EQ(s->steps.size(), 7u);
    EXPECT_EQ(*s->steps[0].text, "a\tb\n\"c\"\n");
    EXPECT_EQ(s->steps[1].numbers, (std::vector<long long>{5, 40}));
    EXPECT_EQ(*s->steps[1].text, "Camera 1");
    EXPECT_EQ(s->steps[2].words, (std::vector<std::string>{"1", "Tarnel"}));
    EXPECT_EQ(*s->steps[2].text, "alarm=ack");
    EXPECT_EQ(s->steps[3].words, (std::vector<std::string>{"pkg mon"}));
    EXPECT_FALSE(s->steps[4].text.has_value());
    EXPECT_EQ(s->steps[5].kind, Step::Kind::Comment);
    EXPECT_EQ(*s->steps[6].text, "TP 'text=Camera 1' '1' 'UMD'");
}

TEST(scenario_parser, quoted_texts_read_back_the_same) {
    for (const std::string text :
         {"plain", "", " lead", "trail ", "a\nb", "\"q\"", "#x", "t\tab"}) {
        std::string error;
        auto step = parseLine("parent " + quoteText(text), 1, error);
        ASSERT_TRUE(step) << text << ": " << error;
        EXPECT_EQ(step->text.value_or("<none>"), text);
    }
}

TEST(command_match, star_matches_exactly_one_field) {
    struct Case {
        const char* pattern;
        const char* command;
        bool match;
    };
    const Case cases[] = {
        {"RC 5 12 40 ',' 0", "RC 5 12 40 ',' 0", true},
        {"RC 5 * 40 ',' 0", "RC 5 12 40 ',' 0", true},
        {"RC 5 * 40", "RC 5 12 40 ',' 0", false},
        {"TP * '1' 'UMD'", "TP 'text=Camera 1' '1' 'UMD'", true},
        {"TP 'text=*' '1' 'UMD'", "TP 'text=Camera 1' '1' 'UMD'", false},
        {"* 1", "ET 1", true},
        {"ET 1", "ET 1 10000", false},
        {"ET 2", "ET 1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(commandMatches(c.pattern, c.command), c.match) << c.pattern << " ~ " << c.command;
}

TEST(workout, a_component_workout_parses_and_has_its_take) {
    std::string error;
    const std::string dir = std::string(ZEPH_PROJECT_DIR) + "/panels/components/Ostrel/workout";
    auto w = loadWorkout(dir, error);
    ASSERT_TRUE(w) << error;
    ASSERT_NE(w->take(), nullptr);
    EXPECT_EQ(w->take()->file, dir + "/take.zs");
    EXPECT_GT(w->scenarios.size(), 1u);
    EXPECT_FALSE(loadWorkout(dir + "/none", error));
    EXPECT_NE(error.find("no such workout"), std::string::npos) << error;
}
