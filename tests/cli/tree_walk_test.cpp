// The audit's walk on hand-made trees: it never leaves a snapshot (links, ".."),
// it finds exactly the differences there are, and a sample is the same for the
// same seed and about the share of directories asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_files.h"
#include "tools/snapscan/tree_walk.h"

namespace {

using snapscan::EntryState;

class Recorder : public snapscan::PairVisitor {
public:
    void OnDifference(std::string_view, std::string_view currentPath, const EntryState&,
                      const EntryState& current, unsigned bits, std::string&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        differences[std::string(currentPath)] = snapscan::DifferenceText(bits, current);
    }
    void OnProblem(std::string_view path, const std::string& problem) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        problems[std::string(path)] = problem;
    }
    std::map<std::string, std::string> differences;
    std::map<std::string, std::string> problems;

private:
    std::mutex m_mutex;
};

TEST(TreeWalkTest, LookupsNeverLeaveTheTree) {
    snapscan_test::TempDir dir;
    dir.WriteFile("tree/d/file", "x");
    dir.WriteFile("outside/secret", "s");
    ASSERT_EQ(::symlink((dir.Path() + "/outside").c_str(), dir.Join("tree/out").c_str()), 0);
    snapscan::SnapshotTree tree;
    std::string error;
    ASSERT_TRUE(tree.Open(dir.Join("tree"), error)) << error;

    struct Case {
        const char* path;
        bool present;
        uint32_t type;
    };
    constexpr Case kCases[] = {
        {"/d/file", true, S_IFREG},  {"/d", true, S_IFDIR},
        {"/out", true, S_IFLNK},                                   // the link itself
        {"/out/secret", false, 0},                                 // not through it
        {"/missing/file", false, 0}, {"/d/file/below", false, 0},  // below a file
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        EntryState state;
        ASSERT_TRUE(tree.Lookup(c.path, state, error)) << error;
        EXPECT_EQ(state.present, c.present);
        if (c.present) {
            EXPECT_EQ(state.type, c.type);
        }
    }
    EXPECT_LT(tree.OpenDirectory("/out"), 0);
    EXPECT_LT(tree.OpenDirectory("/../outside"), 0);
    EXPECT_LT(tree.OpenDirectory("/d/../../outside"), 0);
    const int fd = tree.OpenDirectory("/d");
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
}

TEST(TreeWalkTest, APairWalkFindsEveryDifferenceAndNoOther) {
    snapscan_test::TempDir dir;
    for (const char* side : {"base", "current"}) {
        const std::string root = std::string(side) + "/";
        dir.WriteFile(root + "same", "same");
        dir.WriteFile(root + "d/kept", "kept");
        ASSERT_EQ(::symlink("/", dir.Join(root + "link").c_str()), 0);
    }
    dir.WriteFile("base/modified", "short");
    dir.WriteFile("current/modified", "longer now");
    dir.WriteFile("base/gone", "gone");
    dir.WriteFile("current/d/new", "new");
    dir.WriteFile("current/newdir/inside", "in");
    dir.WriteFile("base/mode", "m", 0644);
    dir.WriteFile("current/mode", "m", 0600);
    dir.WriteFile(std::string("current/odd\xff\n"), "odd");
    // Equal times where the content is equal, so that only real changes differ.
    for (const char* path : {"same", "d/kept", "mode", "link"}) {
        struct stat info;
        ASSERT_EQ(::lstat(dir.Join(std::string("base/") + path).c_str(), &info), 0);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.Join(std::string("current/") + path).c_str(), times,
                              AT_SYMLINK_NOFOLLOW),
                  0);
    }
    for (const char* path : {"", "/d"}) {
        struct stat info;
        ASSERT_EQ(::stat(dir.Join(std::string("base") + path).c_str(), &info), 0);
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.Join(std::string("current") + path).c_str(), times, 0),
                  0);
    }
    snapscan::SnapshotTree base;
    snapscan::SnapshotTree current;
    std::string error;
    ASSERT_TRUE(base.Open(dir.Join("base"), error)) << error;
    ASSERT_TRUE(current.Open(dir.Join("current"), error)) << error;
    EXPECT_FALSE(snapscan::SnapshotsKeepIdentity(base, current)) << "copies, not snapshots";

    for (const unsigned threads : {1u, 4u}) {
        SCOPED_TRACE(threads);
        snapscan::WalkOptions options;
        options.threads = threads;
        options.identity = false;
        Recorder recorder;
        const snapscan::WalkStats stats =
            snapscan::WalkSnapshotPair(base, current, options, recorder);
        const std::map<std::string, std::string> expected = {
            {"/modified", "size"},  // same second, maybe: mtime may or may not differ
            {"/gone", "removed"},        {"/d/new", "added"}, {"/newdir", "added"},
            {"/newdir/inside", "added"}, {"/mode", "mode"},   {std::string("/odd\xff\n"), "added"},
        };
        std::string found;
        for (const auto& [path, text] : recorder.differences) found += path + " " + text + "; ";
        ASSERT_EQ(recorder.differences.size(), expected.size()) << found;
        for (const auto& [path, text] : expected) {
            ASSERT_EQ(recorder.differences.count(path), 1u) << path;
            EXPECT_EQ(recorder.differences[path].rfind(text, 0), 0u)
                << path << ": " << recorder.differences[path];
        }
        EXPECT_TRUE(recorder.problems.empty());
        EXPECT_EQ(stats.directories, 3u);  // the roots, d and newdir: never through the link
    }
}

TEST(TreeWalkTest, ASampleIsTheSameForTheSameSeedAndAboutTheShareAskedFor) {
    int taken = 0;
    int sameForOtherSeed = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::string path = "/dir" + std::to_string(i);
        const bool sampled = snapscan::SampledDirectory(path, 10, 7);
        EXPECT_EQ(sampled, snapscan::SampledDirectory(path, 10, 7));
        EXPECT_TRUE(snapscan::SampledDirectory(path, 100, 7));
        if (sampled) ++taken;
        if (sampled && snapscan::SampledDirectory(path, 10, 8)) ++sameForOtherSeed;
    }
    EXPECT_GT(taken, 800);
    EXPECT_LT(taken, 1200);
    EXPECT_LT(sameForOtherSeed, 300) << "another seed takes other directories";
}

}  // namespace
