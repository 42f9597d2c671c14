// The string library: numbers, placeholders, splitting, comparison and lists.
#include "zeph_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {
std::vector<std::string> items(const zeph_stringlist& list) {
    std::vector<std::string> out;
    for (zeph_stringlistIterator it = list.begin(); it != list.end(); ++it)
        out.push_back(static_cast<const char*>(*it));
    return out;
}
} // namespace

TEST(zeph_string, to_int_reads_the_leading_number) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"12", 12},
        {"12,Camera 1", 12},
        {"  7", 7},
        {"\n\r\v 8", 8},
        {"\t-3x", -3},
        {"+40", 40},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {" - 5", 0},
        {"0012", 12},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999999999999", INT_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zeph_string(c.text).toInt(), c.value) << '"' << c.text << '"';
}

TEST(zeph_string, numbers_render_in_plain_decimal) {
    EXPECT_STREQ(zeph_string(250, 0, 0, 10), "250");
    EXPECT_STREQ(zeph_string(0, 0, 0, 10), "0");
    EXPECT_STREQ(zeph_string(-4, 0, 0, 10), "-4");
    EXPECT_STREQ(zeph_string(INT_MIN, 0, 0, 10), "-2147483648");
    EXPECT_STREQ(zeph_string(7, '0', 3, 10), "007");
    EXPECT_STREQ(zeph_string(255, 0, 0, 16), "ff");
}

TEST(zeph_string, arg_fills_the_lowest_placeholder_first) {
    const zeph_string tmpl("RC %1 %2 %3 ',%4' %5");
    EXPECT_STREQ(tmpl.arg(5, 0, 0, 10).arg(12, 0, 0, 10).arg(40, 0, 0, 10).arg("").arg("0"),
                 "RC 5 12 40 ',' 0");
    // Order of placeholders in the text does not matter, only their numbers.
    EXPECT_STREQ(zeph_string("%2=%1").arg("b").arg("a"), "a=b");
    // Every occurrence of the lowest number is filled; surplus arguments change nothing.
    EXPECT_STREQ(zeph_string("%1+%1").arg("x").arg("y"), "x+x");
    EXPECT_STREQ(zeph_string("no placeholder").arg("x"), "no placeholder");
    EXPECT_STREQ(zeph_string("%10 %9").arg("nine").arg("ten"), "ten nine");
    EXPECT_STREQ(zeph_string("100%").arg("x"), "100%");
}

TEST(zeph_string, split_at_the_first_separator) {
    const struct {
        const char* text;
        const char* left;
        const char* right;
    } cases[] = {
        {"12,Camera 1", "12", "Camera 1"},
        {"a,b,c", "a", "b,c"},
        {"value=2", "value", "2"},
        {"no separator", "no separator", ""},
        {",x", "", "x"},
        {"x,", "x", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        zeph_string left("old"), right("old");
        zeph_string(c.text).split(c.text[0] == 'v' ? '=' : ',', left, right);
        EXPECT_STREQ(left, c.left) << c.text;
        EXPECT_STREQ(right, c.right) << c.text;
    }
}

TEST(zeph_string, split_into_itself_is_safe) {
    zeph_string s("left,right");
    zeph_string other;
    s.split(',', s, other);
    EXPECT_STREQ(s, "left");
    EXPECT_STREQ(other, "right");
}

TEST(zeph_string, comparisons_are_exact_and_case_sensitive) {
    EXPECT_TRUE(zeph_string("Tarnel") == "Tarnel");
    EXPECT_FALSE(zeph_string("tarnel") == "Tarnel");
    EXPECT_FALSE(zeph_string("Tarnel ") == "Tarnel");
    EXPECT_TRUE(zeph_string("") == static_cast<const char*>(nullptr));
    EXPECT_TRUE(zeph_string("1") == 1);
    EXPECT_FALSE(zeph_string("01") == 1);
    EXPECT_FALSE(zeph_string("1 ") == 1);
    EXPECT_TRUE(zeph_string("-3") == -3);
    EXPECT_TRUE(zeph_string("0") == 0);
    EXPECT_FALSE(zeph_string("-0") == 0);
    EXPECT_TRUE(zeph_string("250") == 250);
    EXPECT_FALSE(zeph_string("205") == 250);
    EXPECT_TRUE(zeph_string("2147483647") == INT_MAX);
    EXPECT_TRUE(zeph_string("-2147483648") == INT_MIN);
    EXPECT_FALSE(zeph_string("a") != zeph_string("a"));
    EXPECT_TRUE(zeph_string("a") != zeph_string("ab"));
}

TEST(zeph_string, long_texts_grow_past_the_inline_buffer) {
    std::string expected;
    zeph_string s;
    for (int i = 0; i < 200; ++i) {
        s += "abc";
        expected += "abc";
    }
    EXPECT_EQ(s.length(), 600);
    EXPECT_EQ(std::string(s), expected);
    zeph_string copy(s);
    copy += copy; // appending to itself must read the old text
    EXPECT_EQ(std::string(copy), expected + expected);
    zeph_string assigned;
    assigned = copy;
    assigned = static_cast<const char*>(assigned) + 3; // assign from own buffer
    EXPECT_EQ(std::string(assigned), (expected + expected).substr(3));
    EXPECT_STREQ(zeph_string("a") + zeph_string("b") + "c", "abc");
    EXPECT_STREQ("x" + zeph_string("y"), "xy");
}

TEST(zeph_string, texts_either_side_of_the_inline_room_read_back_whole) {
    // 63 characters fit inside; a copy, a construction and an assignment each cross that edge.
    for (const size_t length : {0, 1, 62, 63, 64, 65, 300}) {
        std::string text;
        for (size_t i = 0; i < length; ++i)
            text += static_cast<char>('a' + i % 26);
        const zeph_string made(text.c_str());
        zeph_string assigned("short");
        assigned = text.c_str();
        zeph_string grown(std::string(100, 'z').c_str());
        grown = text.c_str();
        zeph_string shifted("0123456789");
        shifted = static_cast<const char*>(shifted) + 4; // from its own inline text
        const zeph_string copied(made);
        for (const zeph_string* s :
             std::vector<const zeph_string*>{&made, &assigned, &grown, &copied})
            EXPECT_EQ(std::string(*s), text) << length;
        EXPECT_EQ(made.length(), static_cast<int>(length));
        EXPECT_EQ(assigned.length(), static_cast<int>(length));
        EXPECT_STREQ(shifted, "456789");
        EXPECT_TRUE(made == text.c_str());
        EXPECT_FALSE(made == (text + "x").c_str());
        if (length > 0) {
            EXPECT_FALSE(made == text.substr(0, length - 1).c_str());
        }
    }
}

TEST(zeph_stringlist, items_between_separators_keep_empties) {
    const struct {
        const char* text;
        std::vector<std::string> items;
    } cases[] = {
        {"alm_1,alm_2", {"alm_1", "alm_2"}},
        {"one", {"one"}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}},
        {",", {"", ""}},
        {"", {}},
        {nullptr, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(items(zeph_stringlist(c.text, ',')), c.items) << (c.text ? c.text : "null");
}

TEST(zeph_stringlist, joins_appended_items) {
    zeph_stringlist list;
    EXPECT_STREQ(list.toString('\n'), "");
    list << zeph_string("sdiID=rtr") << zeph_string("") << zeph_string("onState=on");
    EXPECT_STREQ(list.toString('\n'), "sdiID=rtr\n\nonState=on");
    zeph_stringlist copy(list);
    copy << zeph_string("x");
    zeph_stringlist assigned;
    assigned = copy;
    EXPECT_EQ(items(assigned), (std::vector<std::string>{"sdiID=rtr", "", "onState=on", "x"}));
    EXPECT_EQ(items(list).size(), 3u); // the copy did not share storage
    EXPECT_STREQ(zeph_stringlist("a,b", ',').toString(';'), "a;b");
}
