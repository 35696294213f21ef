#include <gtest/gtest.h>

#include "host/ContentMapper.h"

namespace {

TEST(ContentMapperTest, MapsByLongestDirectoryPrefix) {
    std::map<std::string, std::string> map = {
        {"/mnt/share/", "/mnt/share/.snapshot/TZOP_1_2_3_x"},
        {"/mnt/share/deep/", "/mnt/other/"},
        {"/mnt/sh/", "/never"},
    };
    CContentMapper mapper;
    ASSERT_FALSE(mapper.SetPathMap(map).IsError());
    map.clear();  // the mapper keeps its own copy
    struct Case {
        const char* path;
        const char* mapped;
    };
    constexpr Case kCases[] = {
        {"/mnt/share/a/b", "/mnt/share/.snapshot/TZOP_1_2_3_x/a/b"},
        {"/mnt/share", "/mnt/share/.snapshot/TZOP_1_2_3_x"},
        {"/mnt/share/", "/mnt/share/.snapshot/TZOP_1_2_3_x/"},
        {"/mnt/share/deep/f", "/mnt/other/f"},
        {"/mnt/share/deeper/f", "/mnt/share/.snapshot/TZOP_1_2_3_x/deeper/f"},
        {"/mnt/shared/f", "/mnt/shared/f"},
        {"/elsewhere", "/elsewhere"},
        {"", ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(mapper.MapPath(c.path), c.mapped);
    }
    EXPECT_EQ(mapper.GetPathMap().size(), 3u);
}

TEST(ContentMapperTest, RootKeyMapsEverything) {
    std::map<std::string, std::string> map = {{"/", "/snap"}};
    CContentMapper mapper;
    mapper.SetPathMap(map);
    EXPECT_EQ(mapper.MapPath("/a/b"), "/snap/a/b");
    EXPECT_EQ(mapper.MapPath("relative"), "relative");
}

}  // namespace
