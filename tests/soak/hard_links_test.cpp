// Hard links through whole jobs: every path of a hard-linked file that changed
// is delivered, not only the first path the changelist lists for its inode.
// (Found by the soak: a new link whose path sorted after the file's other path
// was never delivered, nor was a file changed through its second path.)

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_harness.h"

namespace {

using namespace snapscan_e2e;
using Item = std::tuple<std::string, std::string, std::string>;  // kind, path, old path

class HardLinksTest : public E2eTest {
protected:
    // One job of client 1 subclient 1 over s1; it must succeed. Its items.
    std::set<Item> Items(const std::string& tag) {
        const Result job = Job(1, 1, {Share("s1")}, tag);
        EXPECT_EQ(job.status, 0) << job.err;
        std::set<Item> items;
        for (const auto& item : job.Records("item")) {
            const std::string path = item["path"];
            items.emplace(item["kindName"], path.substr(Share("s1").size()),
                          item.value("oldPath", "").empty()
                              ? ""
                              : item["oldPath"].get<std::string>().substr(Share("s1").size()));
        }
        return items;
    }

    std::string P(const std::string& rel) const { return Share("s1") + rel; }
};

TEST_F(HardLinksTest, EveryPathOfAHardLinkedFileIsDelivered) {
    ASSERT_EQ(Job(1, 1, {Share("s1")}, "full").status, 0);

    // A new link whose path sorts after the file's: the file's ctime changed
    // too, so the changelist lists both paths of the inode.
    ASSERT_EQ(::link(P("/d1/f1").c_str(), P("/d1/zz-link").c_str()), 0);
    EXPECT_EQ(Items("link"), (std::set<Item>{{"changed", "/d1/", ""},
                                             {"changed", "/d1/f1", ""},
                                             {"changed", "/d1/zz-link", ""}}));

    // A change through one path is a change of both.
    ASSERT_EQ(::truncate(P("/d1/zz-link").c_str(), 3), 0);
    EXPECT_EQ(Items("truncate"),
              (std::set<Item>{{"changed", "/d1/f1", ""}, {"changed", "/d1/zz-link", ""}}));

    // Both paths renamed: one rename carries the inode's first old path, the
    // other new path is delivered, the other old path removed.
    ASSERT_EQ(::rename(P("/d1/f1").c_str(), P("/d1/g1").c_str()), 0);
    ASSERT_EQ(::rename(P("/d1/zz-link").c_str(), P("/d1/zz2").c_str()), 0);
    EXPECT_EQ(Items("rename"), (std::set<Item>{{"changed", "/d1/", ""},
                                               {"renamed", "/d1/g1", "/d1/f1"},
                                               {"changed", "/d1/zz2", ""},
                                               {"removed", "/d1/zz-link/", ""}}));

    // Three paths, one file renamed, the other two removed: every old path
    // is delivered as gone.
    ASSERT_EQ(::link(P("/d1/g1").c_str(), P("/d1/sub/third").c_str()), 0);
    EXPECT_EQ(Items("third").count({"changed", "/d1/sub/third", ""}), 1u);
    ASSERT_EQ(::rename(P("/d1/g1").c_str(), P("/d1/sub/moved").c_str()), 0);
    ASSERT_EQ(::unlink(P("/d1/zz2").c_str()), 0);
    ASSERT_EQ(::unlink(P("/d1/sub/third").c_str()), 0);
    const std::set<Item> gone = Items("gone");
    EXPECT_EQ(gone.count({"renamed", "/d1/sub/moved", "/d1/g1"}), 1u)
        << ::testing::PrintToString(gone);
    EXPECT_EQ(gone.count({"removed", "/d1/sub/third/", ""}), 1u) << ::testing::PrintToString(gone);
    EXPECT_EQ(gone.count({"removed", "/d1/zz2/", ""}), 1u) << ::testing::PrintToString(gone);
}

}  // namespace
