// End to end: the snapscan CLI with the real plug-in, host services and array
// client against arraysim serving a temporary tree, driven as separate processes
// exactly as a user runs them.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_harness.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace snapscan_e2e;

TEST_F(E2eTest, JobsChainKeepThePreviousSnapshotsAndLeaveOtherContentsAlone) {
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    // Snapshots of another subclient and of another client on the same array.
    ASSERT_EQ(Job(1, 2, shares, "other-subclient").status, 0);
    ASSERT_EQ(Job(2, 1, {Share("s1")}, "other-client").status, 0);
    const auto foreign = Snapshots(2);
    ASSERT_EQ(foreign.size(), 1u);
    const std::multiset<int64_t> otherSubclient = JobsOf(1, 2);
    ASSERT_EQ(otherSubclient.size(), 2u);

    // Job 1: a full job, one readable snapshot per share, named for the content.
    Result job1 = Job(1, 1, shares, "1");
    ASSERT_EQ(job1.status, 0) << job1.err;
    ASSERT_EQ(job1.Records("job").at(0)["jobId"], 1);
    EXPECT_EQ(job1.Records("fullScan").size(), 2u);
    const std::string map = ReadFile(dir / "results" / "1" / "map");
    for (const auto& record : job1.Records("share")) {
        const std::string share = record["share"];
        const std::string readPath = record["readPath"];
        SCOPED_TRACE(share);
        const std::string name = fs::path(readPath).filename().string();
        EXPECT_EQ(name.rfind("TZOP_1_1_1_", 0), 0u) << name;
        EXPECT_GT(name.size(), std::string("TZOP_1_1_1_").size());
        EXPECT_EQ(readPath, share + "/.snapshot/" + name);
        EXPECT_EQ(ReadFile(fs::path(readPath) / "d1" / "f1"),
                  "content of " + fs::path(share).filename().string() + "\n");
        EXPECT_THAT(map, HasSubstr("m:" + share + "/:" + readPath + ":\n"));
    }
    EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), 2);
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{1, 1}));

    // Job 2 compares each share against job 1's snapshot and keeps it.
    Result job2 = Job(1, 1, shares, "2", {"--skip-cleanup"});
    ASSERT_EQ(job2.status, 0) << job2.err;
    EXPECT_EQ(job2.Records("job").at(0)["prevJobId"], 1);
    EXPECT_EQ(job2.Records("shareDone").size(), 2u);
    EXPECT_TRUE(job2.Records("fullScan").empty());
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{1, 1, 2, 2}));

    // Job 3's start deletes job 1's snapshots, neither its own nor its base.
    Result job3 = Job(1, 1, shares, "3", {"--skip-cleanup"});
    ASSERT_EQ(job3.status, 0) << job3.err;
    EXPECT_EQ(job3.Records("job").at(0)["prevJobId"], 2);
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{2, 2, 3, 3}));

    // The post-backup cleanup leaves the next job's base alone.
    Result cleanup = Snapscan({"cleanup", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(cleanup.status, 0) << cleanup.err;
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{3, 3}));

    EXPECT_EQ(Snapshots(2), foreign);
    EXPECT_EQ(JobsOf(1, 2), otherSubclient);
}

TEST_F(E2eTest, IncrementalJobDeliversExactlyTheChangesMade) {
    const std::string share = Share("s1");
    const fs::path s = share;
    WriteFile(s / "d2" / "a", "a\n");
    WriteFile(s / "d2" / "b", "b\n");
    WriteFile(s / "d3" / "c", "c\n");
    ASSERT_EQ(Job(1, 1, {share}, "full").status, 0);

    // The changes, and the items they must give: kind, path, old path.
    std::set<std::tuple<std::string, std::string, std::string>> expected;
    const auto dirPath = [](const fs::path& p) { return p.string() + "/"; };
    fs::create_directories(s / "d1" / "new");
    WriteFile(s / "d1" / "new" / "added", "new\n");
    expected.insert({"changed", dirPath(s / "d1" / "new"), ""});
    expected.insert({"changed", (s / "d1" / "new" / "added").string(), ""});
    WriteFile(s / "top", "top, modified\n");
    expected.insert({"changed", (s / "top").string(), ""});
    fs::rename(s / "d1" / "f1", s / "d1" / "f1-renamed");
    expected.insert({"renamed", (s / "d1" / "f1-renamed").string(), (s / "d1" / "f1").string()});
    fs::rename(s / "d1" / "sub", s / "d1" / "sub-renamed");
    expected.insert({"renamed", dirPath(s / "d1" / "sub-renamed"), dirPath(s / "d1" / "sub")});
    expected.insert({"changed", dirPath(s / "d1"), ""});
    fs::rename(s / "d2" / "b", s / "d1" / "b-moved");
    expected.insert({"renamed", (s / "d1" / "b-moved").string(), (s / "d2" / "b").string()});
    fs::remove(s / "d2" / "a");
    expected.insert(
        {"removed", dirPath(s / "d2" / "a"), ""});  // removed entries read as directories
    expected.insert({"changed", dirPath(s / "d2"), ""});
    fs::remove_all(s / "d3");
    expected.insert({"removed", dirPath(s / "d3"), ""});
    expected.insert({"removed", dirPath(s / "d3" / "c"), ""});
    // An entry made after the full job and gone before the next one leaves no trace.
    WriteFile(s / "d2" / "brief", "x\n");
    fs::remove(s / "d2" / "brief");

    Result job = Job(1, 1, {share}, "incremental");
    ASSERT_EQ(job.status, 0) << job.err;
    EXPECT_EQ(job.Records("job").at(0)["prevJobId"], 1);
    std::multiset<std::tuple<std::string, std::string, std::string>> delivered;
    for (const auto& item : job.Records("item")) {
        delivered.insert({item["kindName"], item["path"], item.value("oldPath", "")});
        const bool directoryLike = item["path"].get<std::string>().back() == '/';
        EXPECT_EQ(item["mode"], directoryLike ? 0x4000 : 0x8000) << item.dump();
        EXPECT_GT(item["inode"], 0) << item.dump();
    }
    // The share root changed too (d3 went), when the array lists the root itself.
    delivered.erase(std::make_tuple(std::string("changed"), share + "/", std::string()));
    EXPECT_EQ(delivered, (std::multiset<std::tuple<std::string, std::string, std::string>>(
                             expected.begin(), expected.end())));
    EXPECT_EQ(job.Records("shareDone").at(0)["items"], job.Records("item").size());
}

TEST_F(E2eTest, FailuresExitNonZeroWithThePlugInsTextAndKeepTheBase) {
    const std::string share = Share("s1");
    ASSERT_EQ(Job(1, 1, {share}, "base").status, 0);
    const std::string state = ReadFile(dir / "state" / "client-1-subclient-1.json");

    struct Case {
        const char* name;
        mode_t credentialsMode;
        bool arrayDown;
        std::vector<std::string> shares;
        int status;
        const char* text;
        bool startsJob;  // got as far as taking a job id
    };
    // Nothing moves the base: a refused configuration or an unreachable array
    // stop the run before a job id is taken; a share not processed has handed
    // nothing on.
    const std::vector<Case> cases = {
        {"credentials readable by others",
         0644,
         false,
         {share},
         1,
         "credentials.ini: has mode 0644 and can be reached by group or others",
         false},
        {"unknown share", 0600, false, {Share("nowhere")}, 1, "ConfigureSnapshot failed", true},
        {"one share not processed", 0600, false, {share, Share("nowhere")}, 3, "", true},
        {"array down", 0600, true, {share}, 1, "cannot list the content's snapshots", false},
    };
    int64_t lastJob = 1;
    const int64_t base = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteCredentials(c.credentialsMode);
        if (c.arrayDown) StopArray();
        const Result result = Job(1, 1, c.shares, c.name);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.text));
        if (c.startsJob) ++lastJob;
        const auto record =
            nlohmann::json::parse(ReadFile(dir / "state" / "client-1-subclient-1.json"));
        EXPECT_EQ(record["lastIssuedJobId"], lastJob);
        EXPECT_EQ(record["baseJobId"], base);
    }

    const Result usage = Snapscan({"job", "--client-id", "1", "--subclient-id", "1"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_THAT(usage.err, HasSubstr("--share"));
    const Result noPlugin =
        Snapscan({"--plugin", (dir / "missing.so").string(), "verify", "--client-id", "1"});
    EXPECT_EQ(noPlugin.status, 1);
    EXPECT_THAT(noPlugin.err, HasSubstr("cannot load the plug-in"));
}

}  // namespace
