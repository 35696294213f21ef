// Changelists computed from two manifests of a real tree, and the synthetic changelist.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/arraysim/sim_harness.h"
#include "tools/arraysim/changelist.h"
#include "tools/arraysim/lins_page.h"
#include "tools/arraysim/manifest.h"
#include "tools/arraysim/synthetic_changelist.h"

namespace arraysim_test {
namespace {

namespace fs = std::filesystem;
using arraysim::ChangeEntry;
using arraysim::kRemovedLinBit;
using arraysim::Manifest;

Manifest Scan(const std::string& local) {
    Manifest m;
    std::string error;
    EXPECT_TRUE(arraysim::ScanManifest(local, "/ifs/data", {}, m, error)) << error;
    return m;
}

uint64_t InodeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

// Ids of present entries ascend, then ids of removed entries ascend.
void ExpectArrayOrder(const std::vector<ChangeEntry>& entries) {
    bool inRemoved = false;
    uint64_t last = 0;
    for (const auto& e : entries) {
        bool removed = (e.id & kRemovedLinBit) != 0;
        ASSERT_FALSE(inRemoved && !removed) << "present entry after a removed one: " << e.path;
        if (removed && !inRemoved) {
            inRemoved = true;
            last = 0;
        }
        uint64_t ino = e.id & ~kRemovedLinBit;
        ASSERT_GE(ino, last) << e.path;
        last = ino;
    }
}

TEST(ChangelistTest, RealTreeChanges) {
    TempDir dir;
    const std::string d = dir.Path() + "/data";
    fs::create_directories(d + "/dir_renamed/sub");
    fs::create_directories(d + "/dir_deleted");
    WriteFile(d + "/keep", "same");
    WriteFile(d + "/modify", "short");
    WriteFile(d + "/delete", "bye");
    WriteFile(d + "/rename", "moving");
    WriteFile(d + "/dir_renamed/sub/child", "stays");
    WriteFile(d + "/dir_deleted/inner", "gone");
    symlink("keep", (d + "/link").c_str());
    for (const auto& e : fs::recursive_directory_iterator(d)) Age(e.path().string());
    Age(d);
    Manifest older = Scan(d);

    // Additions first, so no new file can take over the inode of a deleted one.
    WriteFile(d + "/added", "new");
    fs::create_directories(d + "/dir_added");
    WriteFile(d + "/dir_added/n", "n");
    WriteFile(d + "/modify", "much longer now");
    fs::rename(d + "/rename", d + "/renamed");
    fs::rename(d + "/dir_renamed", d + "/dir_moved");
    fs::remove(d + "/delete");
    fs::remove_all(d + "/dir_deleted");
    Manifest newer = Scan(d);

    struct Expected {
        const char* path;
        bool removed;
        const char* type;
    };
    const Expected kExpected[] = {
        {"/ifs/data", false, "directory"},  // entries added and removed
        {"/ifs/data/added", false, "regular"},
        {"/ifs/data/dir_added", false, "directory"},
        {"/ifs/data/dir_added/n", false, "regular"},
        {"/ifs/data/modify", false, "regular"},
        {"/ifs/data/renamed", false, "regular"},
        {"/ifs/data/dir_moved", false, "directory"},
        {"/ifs/data/rename", true, "regular"},         // old half of the file rename
        {"/ifs/data/dir_renamed", true, "directory"},  // old half of the directory rename
        {"/ifs/data/delete", true, "regular"},
        {"/ifs/data/dir_deleted", true, "directory"},
        {"/ifs/data/dir_deleted/inner", true, "regular"},
    };
    std::vector<ChangeEntry> got = arraysim::ComputeChangelist(older, newer, "");
    ExpectArrayOrder(got);
    std::map<std::pair<std::string, bool>, const ChangeEntry*> byPlace;
    for (const auto& e : got) byPlace[{e.path, (e.id & kRemovedLinBit) != 0}] = &e;
    EXPECT_EQ(got.size(), std::size(kExpected));
    for (const auto& x : kExpected) {
        SCOPED_TRACE(std::string(x.path) + (x.removed ? " (removed)" : ""));
        auto it = byPlace.find({x.path, x.removed});
        ASSERT_NE(it, byPlace.end());
        EXPECT_EQ(it->second->type, x.type);
        if (!x.removed) {
            EXPECT_EQ(it->second->id, InodeOf(d + std::string(x.path).substr(9)));
        }
    }
    // Renames keep their inode on both halves; untouched entries below a moved directory, the
    // unchanged file and the symlink are not listed.
    auto at = [&](const char* path, bool removed) {
        return byPlace.at(std::make_pair(std::string(path), removed));
    };
    EXPECT_EQ(at("/ifs/data/renamed", false)->id | kRemovedLinBit,
              at("/ifs/data/rename", true)->id);
    EXPECT_EQ(at("/ifs/data/dir_moved", false)->id | kRemovedLinBit,
              at("/ifs/data/dir_renamed", true)->id);
    EXPECT_EQ(at("/ifs/data/modify", false)->size, 15);
    EXPECT_EQ(at("/ifs/data/delete", true)->size, 3);

    // The removed type text can be fixed instead of taken from the older snapshot.
    for (const auto& e : arraysim::ComputeChangelist(older, newer, "(REMOVED)")) {
        if (e.id & kRemovedLinBit) {
            EXPECT_EQ(e.type, "(REMOVED)") << e.path;
        }
    }
    EXPECT_TRUE(arraysim::ComputeChangelist(newer, newer, "").empty());
}

// Manifests written by hand: inodes present on one side only, at either end of the other side,
// and hard-linked files whose places are kept, added and removed one by one.
TEST(ChangelistTest, InodesAndPlacesPairedAcrossManifests) {
    struct Place {
        uint64_t inode;
        uint64_t parent;
        const char* path;
        int64_t size;
    };
    struct Case {
        const char* name;
        std::vector<Place> older, newer;
        std::vector<std::string> expected;  // paths in order; "-" before a removed one
    };
    // Inode 1 is the root; 2 a directory below it.
    const Place root{1, 0, "/ifs/data", 0};
    const Place dir{2, 1, "/ifs/data/d", 0};
    const Case kCases[] = {
        {"nothing changed",
         {root, dir, {5, 2, "/ifs/data/d/a", 1}},
         {root, dir, {5, 2, "/ifs/data/d/a", 1}},
         {}},
        {"an inode below every older one and one above",
         {root, {5, 1, "/ifs/data/a", 1}},
         {{0, 0, "/ifs/data/zero", 1}, root, {5, 1, "/ifs/data/a", 1}, {9, 1, "/ifs/data/z", 1}},
         {"/ifs/data/zero", "/ifs/data/z"}},
        {"older inodes at both ends gone",
         {{0, 1, "/ifs/data/zero", 1}, root, {9, 1, "/ifs/data/z", 1}},
         {root},
         {"-/ifs/data/zero", "-/ifs/data/z"}},
        {"a new hard link beside the kept place",
         {root, dir, {5, 2, "/ifs/data/d/a", 1}},
         {root, dir, {5, 2, "/ifs/data/d/a", 1}, {5, 1, "/ifs/data/link", 1}},
         {"/ifs/data/link"}},
        {"one of two places removed, the file edited",
         {root, dir, {5, 2, "/ifs/data/d/a", 1}, {5, 1, "/ifs/data/link", 1}},
         {root, dir, {5, 2, "/ifs/data/d/a", 2}},
         {"/ifs/data/d/a", "-/ifs/data/link"}},
        {"both places moved",
         {root, dir, {5, 2, "/ifs/data/d/a", 1}, {5, 2, "/ifs/data/d/b", 1}},
         {root, dir, {5, 1, "/ifs/data/x", 1}, {5, 1, "/ifs/data/y", 1}},
         {"/ifs/data/x", "/ifs/data/y", "-/ifs/data/d/a", "-/ifs/data/d/b"}},
        {"same name under another parent is a move",
         {root, dir, {5, 1, "/ifs/data/a", 1}},
         {root, dir, {5, 2, "/ifs/data/d/a", 1}},
         {"/ifs/data/d/a", "-/ifs/data/a"}},
        {"a path renamed only through its directory is the same place",
         {root, dir, {5, 2, "/ifs/data/d/a", 1}},
         {root, {2, 1, "/ifs/data/e", 0}, {5, 2, "/ifs/data/e/a", 1}},
         {"/ifs/data/e", "-/ifs/data/d"}},
    };
    auto manifest = [](const std::vector<Place>& places) {
        Manifest m;
        for (const Place& p : places) {
            arraysim::ManifestEntry e;
            e.inode = p.inode;
            e.parentInode = p.parent;
            e.path = p.path;
            e.nameHash = arraysim::NameHash(p.path);
            e.type = p.inode <= 2 ? "directory" : "regular";
            e.size = p.size;
            m.push_back(e);
        }
        return m;
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const Manifest older = manifest(c.older);
        const Manifest newer = manifest(c.newer);
        ASSERT_TRUE(std::is_sorted(older.begin(), older.end(), [](const auto& a, const auto& b) {
            return std::tie(a.inode, a.path) < std::tie(b.inode, b.path);
        }));
        std::vector<std::string> got;
        const std::vector<ChangeEntry> entries = arraysim::ComputeChangelist(older, newer, "");
        ExpectArrayOrder(entries);
        for (const ChangeEntry& e : entries)
            got.push_back(((e.id & kRemovedLinBit) != 0 ? "-" : "") + e.path);
        EXPECT_EQ(got, c.expected);
    }
}

// The sweep reads each entry's compact key; what a key cannot hold (a type text it has no code
// for, a nanosecond count out of range) is compared on the entries themselves.
TEST(ChangelistTest, StateChangesFoundThroughKeys) {
    struct Case {
        const char* name;
        std::string olderType, newerType;
        int64_t olderNsec, newerNsec;
        int64_t olderCtimeSec, newerCtimeSec;
        bool changed;
    };
    const Case kCases[] = {
        {"nothing changed", "regular", "regular", 5, 5, 7, 7, false},
        {"nanoseconds of mtime", "regular", "regular", 5, 6, 7, 7, true},
        {"seconds of ctime", "regular", "regular", 5, 5, 7, 8, true},
        {"type", "regular", "symlink", 5, 5, 7, 7, true},
        {"type without a code, same", "odd type", "odd type", 5, 5, 7, 7, false},
        {"type without a code, changed", "odd type", "other odd type", 5, 5, 7, 7, true},
        {"nanoseconds beyond 32 bits, same", "regular", "regular", 1LL << 40, 1LL << 40, 7, 7,
         false},
        {"nanoseconds beyond 32 bits, changed", "regular", "regular", 1LL << 40,
         (1LL << 40) + (1LL << 32), 7, 7, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        auto manifest = [](const std::string& type, int64_t nsec, int64_t ctimeSec) {
            arraysim::ManifestEntry e;
            e.inode = 5;
            e.parentInode = 1;
            e.path = "/ifs/data/f";
            e.nameHash = arraysim::NameHash(e.path);
            e.type = type;
            e.mtime = {100, nsec};
            e.ctime = {ctimeSec, 0};
            return Manifest{e};
        };
        const Manifest older = manifest(c.olderType, c.olderNsec, c.olderCtimeSec);
        const Manifest newer = manifest(c.newerType, c.newerNsec, c.newerCtimeSec);
        const std::vector<ChangeEntry> entries = arraysim::ComputeChangelist(
            older, arraysim::PlaceKeys(older), newer, arraysim::PlaceKeys(newer), "");
        EXPECT_EQ(entries.size(), c.changed ? 1u : 0u);
    }
}

TEST(ChangelistTest, ScanSkipsSnapshotDirectoriesAndRecordsTypes) {
    TempDir dir;
    const std::string d = dir.Path() + "/data";
    fs::create_directories(d + "/.snapshot/s1");
    fs::create_directories(d + "/a/.snapshot/x");
    WriteFile(d + "/.snapshot/s1/f", "copy");
    WriteFile(d + "/a/f", "12345");
    mkfifo((d + "/fifo").c_str(), 0600);
    symlink("a/f", (d + "/ln").c_str());
    std::map<std::string, std::string> types;
    for (const auto& e : Scan(d)) {
        types[e.path] = e.type;
        if (e.path == "/ifs/data/a/f") {
            EXPECT_EQ(e.size, 5);
        }
    }
    const std::map<std::string, std::string> kWant = {{"/ifs/data", "directory"},
                                                      {"/ifs/data/a", "directory"},
                                                      {"/ifs/data/a/f", "regular"},
                                                      {"/ifs/data/fifo", "fifo"},
                                                      {"/ifs/data/ln", "symlink"}};
    EXPECT_EQ(types, kWant);
}

TEST(ChangelistTest, SyntheticChangelistShape) {
    struct Case {
        const char* name;
        uint64_t entries;
        uint32_t dupPpm, renamePpm, removePpm;
    };
    const Case kCases[] = {
        {"empty", 0, 10000, 20000, 50000},
        {"one", 1, 10000, 20000, 50000},
        {"plain", 5000, 0, 0, 0},
        {"mixed", 20011, 100000, 200000, 50000},
        {"all renamed", 3000, 0, 1000000, 0},
        {"all removed", 1000, 0, 0, 1000000},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        arraysim::SyntheticOptions o;
        o.entries = c.entries;
        o.duplicatePpm = c.dupPpm;
        o.renamePpm = c.renamePpm;
        o.removePpm = c.removePpm;
        auto source = arraysim::MakeSyntheticChangelist(o, "/ifs/data/syn", "");
        ASSERT_EQ(source->Size(), c.entries);
        std::vector<ChangeEntry> all;
        for (uint64_t off = 0; off < source->Size(); off += 997) source->Read(off, 997, &all);
        ASSERT_EQ(all.size(), c.entries);
        ExpectArrayOrder(all);

        std::map<uint64_t, std::string> presentPath;
        uint64_t dups = 0, renames = 0, removals = 0;
        std::set<std::string> paths;
        for (const auto& e : all) {
            EXPECT_EQ(e.path.rfind("/ifs/data/syn/", 0), 0u) << e.path;
            EXPECT_TRUE(paths.insert(e.path + ((e.id & kRemovedLinBit) ? "#removed" : "")).second)
                << e.path;
            uint64_t ino = e.id & ~kRemovedLinBit;
            if (!(e.id & kRemovedLinBit)) {
                dups += presentPath.count(ino);
                presentPath.emplace(ino, e.path);
            } else if (presentPath.count(ino)) {
                ++renames;
                EXPECT_NE(presentPath[ino], e.path);
            } else {
                ++removals;
            }
        }
        uint64_t present = c.entries - renames - removals;
        // The ratios hold to within one entry of rounding.
        EXPECT_NEAR(double(dups), double(present) * c.dupPpm / 1e6, 1.0);
        EXPECT_NEAR(double(renames), double(present - dups) * c.renamePpm / 1e6, 1.0);
        if (c.entries > 0 && c.removePpm == 1000000) {
            EXPECT_EQ(removals, c.entries);
        }

        // A page read at any offset equals the same stretch read sequentially.
        if (c.entries > 10) {
            std::vector<ChangeEntry> page;
            source->Read(c.entries - 7, 100, &page);
            ASSERT_EQ(page.size(), 7u);
            EXPECT_EQ(page[0].id, all[c.entries - 7].id);
            EXPECT_EQ(page[6].path, all.back().path);
        }
    }
}

// The page text is written by hand for speed: it must still be JSON that says exactly what the
// entries hold, whatever bytes their paths carry.
TEST(ChangelistTest, PageJsonRoundTrips) {
    ChangeEntry plain;
    plain.id = 4300020541ULL;
    plain.path = "/ifs/data/x/f1";
    plain.type = "regular";
    plain.size = 6;
    plain.atime = {1700000000, 5};
    plain.ctime = {-1, 0};
    plain.mtime = {1700000001, 999999999};
    ChangeEntry odd = plain;
    odd.id = kRemovedLinBit | 7;
    odd.path =
        "/ifs/a \"q\" \\ b\tc\nd\x01"
        "e%#?\xc3\xa9";
    odd.type = "char device";
    odd.size = -3;

    struct Case {
        const char* name;
        std::vector<ChangeEntry> entries;
        std::string resume;
    };
    const Case cases[] = {
        {"empty last page", {}, ""},
        {"entries and a token", {plain, odd}, "tok\"en"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const nlohmann::json page =
            nlohmann::json::parse(arraysim::LinsPageJson(c.entries, c.resume, 42));
        ASSERT_EQ(page["lins"].size(), c.entries.size());
        for (size_t i = 0; i < c.entries.size(); ++i) {
            const ChangeEntry& e = c.entries[i];
            const nlohmann::json& j = page["lins"][i];
            EXPECT_EQ(j["id"], std::to_string(e.id));
            EXPECT_EQ(j["path"], e.path);
            EXPECT_EQ(j["type"], e.type);
            EXPECT_EQ(j["size"], e.size);
            EXPECT_EQ(j["atime"]["sec"], e.atime.sec);
            EXPECT_EQ(j["ctime"]["sec"], e.ctime.sec);
            EXPECT_EQ(j["mtime"]["nsec"], e.mtime.nsec);
        }
        if (c.resume.empty())
            EXPECT_TRUE(page["resume"].is_null());
        else
            EXPECT_EQ(page["resume"], c.resume);
        EXPECT_EQ(page["total"], 42);
    }
}

// A synthetic page is written straight from each entry's shape, not from the entries: it must be
// byte for byte the page of the same entries read one by one, at every kind of entry and with a
// root and a removed type that need escaping.
TEST(ChangelistTest, SyntheticPageTextEqualsPageOfItsEntries) {
    struct Case {
        const char* name;
        uint64_t entries;
        const char* root;
        const char* removedType;
        uint32_t renamePpm;
    };
    const Case kCases[] = {
        {"plain root", 30011, "/ifs/data/syn", "", 100000},
        {"escaped root and type", 4100, "/ifs/a \"q\" \\ b\tc\x01\xc3\xa9", "char \"dev\"", 100000},
        {"renamed directories", 4100, "/ifs/data/syn", "", 1000000},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        arraysim::SyntheticOptions o;
        o.entries = c.entries;
        o.duplicatePpm = 50000;
        o.renamePpm = c.renamePpm;
        o.removePpm = 50000;
        auto source = arraysim::MakeSyntheticChangelist(o, c.root, c.removedType);
        const uint64_t size = source->Size();
        // Pages across the present entries, the removed halves of renames and the removals for
        // good; the last one clipped at the end.
        for (const uint64_t offset : {uint64_t{0}, size / 2, size - 2500, size - 700}) {
            SCOPED_TRACE(offset);
            std::vector<ChangeEntry> entries;
            source->Read(offset, 1000, &entries);
            const uint64_t count = std::min<uint64_t>(1000, size - offset);
            ASSERT_EQ(entries.size(), count);
            EXPECT_EQ(arraysim::LinsPageJson(*source, offset, count, "tok", size),
                      arraysim::LinsPageJson(entries, "tok", size));
        }
    }
}

}  // namespace
}  // namespace arraysim_test
