#include <gtest/gtest.h>

#include <string>

#include "common/FXString.h"

namespace {

TEST(FXStringTest, MatchLeft) {
    struct Case {
        const char* text;
        const char* prefix;
        bool match;
    };
    constexpr Case kCases[] = {
        {"TZOP_1_2_", "TZOP_1_2_", true},
        {"TZOP_1_2_", "TZOP_1_2_3", false},
        {"TZOP_1_2_3_x", "TZOP_1_2_", true},
        {"anything", "", true},
        {"", "", true},
        {"", "a", false},
        {"tzop_1", "TZOP", false},
        {"ab", "abc", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.prefix);
        EXPECT_EQ(FXString::MatchLeft(c.text, c.prefix), c.match);
    }
}

TEST(FXStringTest, CompareNoCaseOrdersWithoutCase) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    };
    constexpr Case kCases[] = {
        {"ABC", "abc", 0}, {"abc", "abc", 0},   {"", "", 0},       {"", "a", -1},
        {"a", "", 1},      {"abc", "abcd", -1}, {"abd", "ABC", 1}, {"8.1.0.2", "8.1.0.10", 1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        const int result = FXString::CompareNoCase(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
    // Compared as C texts: nothing after a zero byte counts.
    EXPECT_EQ(FXString::CompareNoCase(std::string("ab\0x", 4), std::string("AB\0y", 4)), 0);
}

TEST(FXStringTest, RemoveRight) {
    struct Case {
        const char* text;
        const char* suffix;
        const char* after;
        bool removed;
    };
    constexpr Case kCases[] = {
        {"/ifs/data/", "/", "/ifs/data", true},
        {"/ifs/data//", "/", "/ifs/data/", true},
        {"/ifs/data", "/", "/ifs/data", false},
        {"/", "/", "", true},
        {"", "/", "", false},
        {"abc", "", "abc", false},
        {"abc", "abc", "", true},
        {"bc", "abc", "bc", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.text) + " - " + c.suffix);
        std::string text = c.text;
        EXPECT_EQ(FXString::RemoveRight(text, c.suffix), c.removed);
        EXPECT_EQ(text, c.after);
    }
}

TEST(FXStringTest, ReplaceAll) {
    struct Case {
        const char* text;
        const char* from;
        const char* to;
        uint64_t start;
        const char* after;
    };
    constexpr Case kCases[] = {
        {"a/b/c", "/", "//", 0, "a//b//c"},  // replaced text is not scanned again
        {"aaa", "a", "aa", 0, "aaaaaa"},       {"aaaa", "aa", "b", 0, "bb"},
        {"x.x.x", ".", "", 2, "x.xx"},         {"abc", "", "z", 0, "abc"},
        {"abc", "b", "z", 10, "abc"},          {"", "a", "b", 0, ""},
        {"no match", "q", "r", 0, "no match"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.text) + " " + c.from + "->" + c.to);
        std::string text = c.text;
        FXString::ReplaceAll(text, c.from, c.to, c.start);
        EXPECT_EQ(text, c.after);
    }
}

TEST(FXStringTest, FormatAnyLength) {
    EXPECT_EQ(FXString::Format("%s%llu_%s", "TZOP_12_345_", 789ULL, "id"), "TZOP_12_345_789_id");
    EXPECT_EQ(FXString::Format("%s", ""), "");
    const std::string big(100000, 'x');
    EXPECT_EQ(FXString::Format("<%s>", big.c_str()), "<" + big + ">");
}

}  // namespace
