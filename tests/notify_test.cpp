// The parent-command parser and the reply tokenizer.
#include "zeph_notify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::vector<std::string> subs(const parentNotify& p) {
    std::vector<std::string> out;
    for (int i = 0; i < p.subCount; ++i)
        out.push_back(p.sub[i]);
    return out;
}

std::vector<std::string> tokens(const decodeZEPHString& d) {
    std::vector<std::string> out;
    for (int i = 0; i < d.count; ++i)
        out.push_back(d.token[i]);
    return out;
}

std::string words(int n, const char* separator) {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += (i ? separator : "") + std::string("w") + std::to_string(i);
    return text;
}
} // namespace

TEST(parent_notify, splits_command_sub_fields_and_value) {
    const struct {
        const char* text;
        const char* command;
        std::vector<std::string> subs;
        bool hasValue;
        const char* value;
    } cases[] = {
        {"sourceID=12", "sourceID", {}, true, "12"},
        {"return", "return", {}, false, ""},
        {"a.b.d=x.y", "a", {"b", "d"}, true, "x.y"},
        {"=5", "", {}, true, "5"},
        {"k=v=w", "k", {}, true, "v=w"},
        {"k=", "k", {}, true, ""},
        {"a..b", "a", {"", "b"}, false, ""},
        {".x=1", "", {"x"}, true, "1"},
    };
    for (const auto& c : cases) {
        parentNotify p(c.text);
        EXPECT_STREQ(p.command, c.command) << c.text;
        EXPECT_EQ(subs(p), c.subs) << c.text;
        EXPECT_EQ(p.hasValue, c.hasValue) << c.text;
        EXPECT_STREQ(p.value, c.value) << c.text;
        EXPECT_NE(p.buffer, nullptr);
        EXPECT_STREQ(p.getCommand(), c.command);
    }
}

TEST(parent_notify, empty_and_null_texts_give_empty_fields_and_no_buffer) {
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        parentNotify p(text);
        EXPECT_STREQ(p.command, "");
        EXPECT_STREQ(p.value, "");
        EXPECT_EQ(p.subCount, 0);
        EXPECT_FALSE(p.hasValue);
        EXPECT_EQ(p.buffer, nullptr);
        EXPECT_EQ(p.sub[31], zeph_empty_text);
    }
}

TEST(parent_notify, stops_after_thirty_two_sub_fields) {
    // 32 dots fill every slot; the walk then ends before the '='.
    parentNotify full(("c." + words(32, ".") + "=v").c_str());
    EXPECT_EQ(full.subCount, 32);
    EXPECT_STREQ(full.sub[31], "w31=v");
    EXPECT_FALSE(full.hasValue);
    EXPECT_STREQ(full.value, "");

    parentNotify under(("c." + words(31, ".") + "=v").c_str());
    EXPECT_EQ(under.subCount, 31);
    EXPECT_TRUE(under.hasValue);
    EXPECT_STREQ(under.value, "v");
}

TEST(parent_notify, texts_either_side_of_the_inline_copy_parse_whole) {
    // The copy lives inside the parser up to 63 characters and on the heap past them.
    for (const size_t length : {61, 62, 63, 64, 65, 200}) {
        const std::string command(length - 2, 'c');
        parentNotify p((command + "=v").c_str());
        EXPECT_EQ(std::string(p.command), command) << length;
        EXPECT_STREQ(p.value, "v") << length;
        EXPECT_EQ(p.buffer == p.shortText, length < sizeof p.shortText) << length;
    }
}

TEST(decode_zeph_string, tokenizes_with_quotes) {
    const struct {
        const char* text;
        std::vector<std::string> tokens;
    } cases[] = {
        {"101 4", {"101", "4"}},
        {"'a b' d", {"", "a b", "d"}},
        {"x ''", {"x", ""}},
        {"201 7", {"201", "7"}},
        {"'201' '7'", {"", "201", "7"}},
        {" 5", {"", "5"}},
        {"a  b", {"a", "b"}},
        {"single", {"single"}},
        {"'open quote", {"", "open quote"}},
    };
    for (const auto& c : cases) {
        decodeZEPHString d(c.text, '\'');
        EXPECT_EQ(tokens(d), c.tokens) << c.text;
        EXPECT_EQ(d.quote, '\'');
    }
}

TEST(decode_zeph_string, empty_and_null_replies_have_no_tokens) {
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        decodeZEPHString d(text, '\'');
        EXPECT_EQ(d.count, 0);
        EXPECT_EQ(d.buffer, nullptr);
        EXPECT_STREQ(d.token[0], "");
    }
}

TEST(decode_zeph_string, keeps_the_first_thirty_two_tokens) {
    for (int n : {31, 32, 33, 40}) {
        decodeZEPHString d(words(n, " ").c_str(), '\'');
        const int kept = n < 32 ? n : 32;
        EXPECT_EQ(d.count, kept) << n;
        EXPECT_STREQ(d.token[kept - 1], ("w" + std::to_string(kept - 1)).c_str()) << n;
    }
    // Empty quoted tokens count towards the limit too.
    std::string quoted;
    for (int i = 0; i < 40; ++i)
        quoted += "'' ";
    decodeZEPHString d(quoted.c_str(), '\'');
    EXPECT_EQ(d.count, 32);
}
