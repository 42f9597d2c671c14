// Scenario lines read and their errors named, texts quoted back, expectation patterns matched, and
// a component's workout read from its folder.
#include "built_paths.h"
#include "scenario/scenario.h"
#include "workout/workout.h"

#include <gtest/gtest.h>

#include <functional>

#include <string>
#include <vector>

using namespace zeph::bench;

TEST(scenario_parser, bad_lines_name_the_line_and_the_reason) {
    struct Case {
        std::string line;
        const char* reason;
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"jump 5", "unknown keyword \"jump\""},
        {"expect SD 'a\0b'"s, "a NUL byte"},
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
        {"answer a\"b", "double quotes"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::string text = "# header\nload\n" + c.line + "\nunload\n";
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

// What a line must survive: quotes, escapes, blanks where they end a word or a line, control
// bytes, UTF-8, a leading '#', the word none, and nothing at all.
const std::string kHostile[] = {
    "plain",       "",      " lead",        "trail ",
    "two  words",  "\"q\"", "a\"b",         "\"",
    "back\\slash", "\\",    "t\tab",        "l\nf",
    "c\rr",        "cr\r",  "\x01\x1f\x7f", "caf\xc3\xa9 \xe2\x86\x92",
    "#hash",       "none",  "'single'",     "@mon2",
};

TEST(scenario_writer, every_keyword_reads_back_what_it_wrote) {
    using K = Step::Kind;
    using Text = std::optional<std::string>;
    // One row a keyword (two where a text may be absent), the hostile text put wherever the
    // grammar lets a text or a word stand.
    const std::function<Step(const std::string&)> rows[] = {
        [](const std::string& h) {
            return makeStep(K::Name, {201, 7}, {h});
        },
        [](const std::string& h) {
            return makeStep(K::Db, {5, 0, 12}, {}, h);
        },
        [](const std::string& h) {
            return makeStep(K::Source, {5, 12}, {}, h);
        },
        [](const std::string&) {
            return makeStep(K::Router, {5}, {"drop", "all"});
        },
        [](const std::string& h) {
            return makeStep(K::Control, {}, {h, h, "text=" + h});
        },
        [](const std::string& h) { return makeStep(K::PanelFile, {}, {h}); },
        [](const std::string& h) {
            return makeStep(K::Load, {}, {"module=Vigil", "panel=2,5", "base=" + h}, {}, "mon2");
        },
        [](const std::string& h) { return makeStep(K::Load, {}, {h}); },
        [](const std::string&) { return makeStep(K::Unload, {}, {}, {}, "mon2"); },
        [](const std::string&) { return makeStep(K::Skip); },
        [](const std::string& h) { return makeStep(K::Parent, {}, {}, h, "mon2"); },
        [](const std::string& h) {
            return makeStep(K::Press, {}, {h, h}, h, "a.b-c_1");
        },
        [](const std::string& h) {
            return makeStep(K::Revertive, {5, 40}, {}, h);
        },
        [](const std::string& h) {
            return makeStep(K::DbChange, {5, 0, 12}, {}, h);
        },
        [](const std::string&) {
            return makeStep(K::Route, {5, 12, 40});
        },
        [](const std::string&) { return makeStep(K::Tick, {-2147483647 - 1}); },
        [](const std::string& h) { return makeStep(K::Raw, {7}, {}, h); },
        [](const std::string&) { return makeStep(K::Raw, {8}); },
        [](const std::string&) { return makeStep(K::Advance, {250}); },
        [](const std::string& h) { return makeStep(K::Answer, {}, {}, h); },
        [](const std::string&) { return makeStep(K::Answer, {}, {}, Text()); },
        [](const std::string& h) { return makeStep(K::Expect, {}, {}, h, "mon2"); },
        [](const std::string&) { return makeStep(K::ExpectNone); },
        [](const std::string& h) { return makeStep(K::ExpectParent, {}, {}, h); },
        [](const std::string& h) {
            return makeStep(K::ExpectControl, {}, {h, h, h}, h);
        },
        [](const std::string&) {
            return makeStep(K::ExpectRoute, {5, 12, 40});
        },
        [](const std::string&) { return makeStep(K::ExpectTimer, {3}, {"stopped"}); },
    };
    for (const auto& row : rows)
        for (const std::string& h : kHostile) {
            const Step want = row(h);
            // A text left empty is what a line without one reads as.
            const bool optionalText = want.kind == K::Db || want.kind == K::Source ||
                                      want.kind == K::Press || want.kind == K::Revertive ||
                                      want.kind == K::DbChange || want.kind == K::ExpectControl;
            const std::string line = stepText(want);
            EXPECT_EQ(want.source, line);
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
            std::string error;
            const std::optional<Step> got = parseLine(line, 1, error);
            ASSERT_TRUE(got) << line << ": " << error;
            EXPECT_EQ(got->kind, want.kind) << line;
            EXPECT_EQ(got->instance, want.instance) << line;
            EXPECT_EQ(got->numbers, want.numbers) << line;
            EXPECT_EQ(got->words, want.words) << line;
            EXPECT_EQ(got->text, optionalText && !want.text ? Text("") : want.text) << line;
        }
}

TEST(scenario_writer, writes_what_a_person_would) {
    // Bare where a reader needs no quotes; the recordings and the page's lines are made of these.
    using K = Step::Kind;
    const std::pair<Step, const char*> rows[] = {
        {makeStep(K::Press, {}, {"1", "Tarnel"}, std::string()), "press 1 Tarnel"},
        {makeStep(K::Press, {}, {"1", "Big Go"}, std::string("a=b c")), "press 1 \"Big Go\" a=b c"},
        {makeStep(K::Parent, {}, {}, std::string("take=12"), "mon2"), "@mon2 parent take=12"},
        {makeStep(K::Parent, {}, {}, std::string()), "parent \"\""},
        {makeStep(K::Expect, {}, {}, std::string("TP 'a' '1'")), "expect TP 'a' '1'"},
        {makeStep(K::Expect, {}, {}, std::string("HN 'a\nb'")), "expect \"HN 'a\\nb'\""},
        {makeStep(K::Answer, {}, {}, std::string("none")), "answer \"none\""},
        {makeStep(K::Answer, {}, {}, std::nullopt), "answer none"},
        {makeStep(K::Raw, {7}), "raw 7"},
        {makeStep(K::Router, {5}, {"delay", "500"}), "router 5 delay 500"},
        {makeStep(K::Load, {}, {"module=Vigil", "panel=2,5"}, {}, "alarms"),
         "@alarms load module=Vigil panel=2,5"},
    };
    for (const auto& [step, line] : rows)
        EXPECT_EQ(stepText(step), line);
}

TEST(scenario_writer, reads_back_says_yes_only_for_what_parses_as_made) {
    // A player of made steps (the trace converter) skips reading back those readsBack passes: each
    // must parse as it was made; the others must at least be what it cannot vouch for.
    using K = Step::Kind;
    const std::string nul("a\0b", 3);
    const std::pair<Step, bool> rows[] = {
        {makeStep(K::Parent, {}, {}, std::string("take=12"), "mon2"), true},
        {makeStep(K::Press, {}, {"1", "Big Go"}, std::string(" a=b\t")), true},
        {makeStep(K::Router, {5}, {"drop", "all"}), true},
        {makeStep(K::Control, {}, {"1", "UMD", "colour=3"}), true},
        {makeStep(K::Name, {}, {"pkg/mon1"}, std::nullopt), false}, // no device
        {makeStep(K::Tick, {2147483648LL}), false},                 // past 32 bits
        {makeStep(K::Route, {5, 12, 40, 7}), false},                // one number too many
        {makeStep(K::Parent, {}, {}, nul), false},                  // a NUL no line carries
        {makeStep(K::Press, {}, {"1", nul}, std::string()), false},
        {makeStep(K::Parent, {}, {}, std::string("x"), "no name"), false},
        {makeStep(K::Router, {5}, {}, std::nullopt, "mon2"), false}, // the facility's line
        {makeStep(K::Press, {}, {"1", "Go"}, std::nullopt), false},  // reads back ""
        {makeStep(K::Control, {}, {"1", "Go", "colour"}), false},
        {makeStep(K::Load, {}, {"base=null", "base=x"}), false},
        {makeStep(K::Advance, {-1}), false},
    };
    for (const auto& [made, reads] : rows) {
        const std::string line = stepText(made);
        EXPECT_EQ(readsBack(made), reads) << line;
        std::string error;
        const std::optional<Step> got = parseLine(line, 1, error);
        if (!readsBack(made))
            continue;
        ASSERT_TRUE(got) << line << ": " << error;
        EXPECT_EQ(got->kind, made.kind) << line;
        EXPECT_EQ(got->instance, made.instance) << line;
        EXPECT_EQ(got->numbers, made.numbers) << line;
        EXPECT_EQ(got->words, made.words) << line;
        EXPECT_EQ(got->text, made.text) << line;
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
    const std::string dir =
        std::string(zeph::built::projectDir) + "/panels/components/Ostrel/workout";
    auto w = loadWorkout(dir, error);
    ASSERT_TRUE(w) << error;
    ASSERT_NE(w->take(), nullptr);
    EXPECT_EQ(w->take()->file, dir + "/take.zs");
    EXPECT_GT(w->scenarios.size(), 1u);
    EXPECT_FALSE(loadWorkout(dir + "/none", error));
    EXPECT_NE(error.find("no such workout"), std::string::npos) << error;
}
