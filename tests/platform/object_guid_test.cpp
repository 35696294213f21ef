#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "host/GetObjectGuid.h"

namespace {

std::string Id(const std::string& path, int delimiter = '/') {
    std::string id;
    EXPECT_TRUE(GetObjectGuid(path, 0, delimiter, id)) << path;
    return id;
}

TEST(ObjectGuidTest, IdentifierIs32LowercaseHexDigits) {
    for (const char* path : {"/ifs/data/projects", "/", "", "relative", "/ifs/\xff\x01"}) {
        SCOPED_TRACE(path);
        const std::string id = Id(path);
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    }
}

TEST(ObjectGuidTest, SpellingsOfOnePathShareAnIdentifier) {
    const std::vector<std::vector<std::string>> kGroups = {
        {"/ifs/data", "/ifs/data/", "//ifs//data", "/ifs//data///"},
        {"/", "//", "///"},
        {"ifs/data", "ifs//data/"},
        {""},
        {"/ifs/data/a"},
        {"/ifs/dat"},
        {"/ifs/Data"},
    };
    std::set<std::string> distinct;
    for (const auto& group : kGroups) {
        SCOPED_TRACE(group.front());
        const std::string id = Id(group.front());
        for (const std::string& spelling : group) EXPECT_EQ(Id(spelling), id) << spelling;
        EXPECT_TRUE(distinct.insert(id).second) << "collides with another group";
    }
}

TEST(ObjectGuidTest, DelimiterIsTheOneGiven) {
    EXPECT_EQ(Id("\\ifs\\data\\\\", '\\'), Id("\\ifs\\data", '\\'));
    // With another delimiter, "/" is an ordinary character.
    EXPECT_NE(Id("/ifs/data/", '\\'), Id("/ifs/data", '\\'));
    std::string id = "stale";
    EXPECT_FALSE(GetObjectGuid("/ifs", 0, 0, id));
    EXPECT_TRUE(id.empty());
    EXPECT_FALSE(GetObjectGuid("/ifs", 0, 300, id));
}

TEST(ObjectGuidTest, SameIdentifierInAnotherProcess) {
    const std::vector<std::string> paths = {"/ifs/data/projects", "/ifs/data/projects/",
                                            "/ifs/other"};
    std::string command = OBJECT_GUID_PRINT;
    for (const std::string& path : paths) command += " '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> printed;
    char line[128];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        printed.push_back(text);
    }
    ASSERT_EQ(pclose(pipe), 0);
    ASSERT_EQ(printed.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_EQ(printed[i], Id(paths[i]));
    }
    EXPECT_NE(printed[0], printed[2]);
}

}  // namespace
