// The job sequence of the CLI against a scripted plug-in: the order of the
// calls, what each phase's failure does to the exit status and to the job ids
// recorded for the next job, and the JSON output read back.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/ContentMapper.h"
#include "host/FXErrorUtil.h"
#include "tools/snapscan/job_runner.h"
#include "tools/snapscan/job_state.h"
#include "tools/snapscan/output.h"
#include "tools/snapscan/snapshot_listing.h"

namespace {

using snapscan::JobRequest;
using snapscan::Output;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

FileServerSnapshotCompareItem Item(int32_t kind, std::string path, std::string oldPath = "",
                                   uint64_t inode = 0) {
    FileServerSnapshotCompareItem item;
    item.type = kind;
    item.path = std::move(path);
    item.oldPath = std::move(oldPath);
    item.info.inode = inode;
    item.info.size = inode * 10;
    return item;
}

// What the scripted plug-in does; one per test.
struct Script {
    std::vector<std::string> calls;     // "<client number>:<operation> <arguments>"
    std::set<std::string> failing;      // operations that fail (1627, "<operation> failed")
    std::set<std::string> dropped;      // shares ConfigureSnapshot leaves out
    std::set<std::string> withoutBase;  // shares CompareSnapshots finds no snapshot pair for
    std::map<std::string, std::vector<FileServerSnapshotCompareItem>> items;  // share -> items
    bool noClient = false;
    int made = 0;
    int alive = 0;
};
Script* g_script = nullptr;

// Behaves like the real client where the CLI depends on it: the array connection
// opened by Initialize and InitArray and released by VerifySnapScanSupport,
// ConfigureSnapshot and CleanupSnapshotsPostBackup, refusing array work without
// one; items only after a successful comparison.
class FakeClient : public CFileServerSnapClientBase {
public:
    FakeClient() : m_number(++g_script->made) { ++g_script->alive; }
    ~FakeClient() override {
        Record("~");
        --g_script->alive;
    }

    CRwError Initialize(LONGLONG jobId, ULONG clientId, ULONG, ULONG subclientId,
                        const std::string& resultsDir, const std::string&,
                        const std::string& mapFile, LONGLONG prevJobId, LONGLONG, LONGLONG,
                        LONGLONG, const ContentMapperAPIPtr& mapper) override {
        std::ostringstream call;
        call << "Initialize job=" << jobId << " prev=" << prevJobId << " client=" << clientId
             << " subclient=" << subclientId << " mapper="
             << (mapper ? (boost::dynamic_pointer_cast<CContentMapper>(mapper) ? "yes" : "other")
                        : "none")
             << " map=" << (mapFile.empty() ? "none" : "set")
             << " results=" << (resultsDir.empty() ? "none" : "set");
        Record(call.str());
        m_jobId = jobId;
        return Fail("Initialize", [&] { m_connected = true; });
    }
    CRwError InitArray(ULONG) override {
        Record("InitArray");
        return Fail("InitArray", [&] { m_connected = true; });
    }
    CRwError VerifySnapScanSupport() override {
        Record("VerifySnapScanSupport");
        if (!m_connected) return NotConnected();
        m_connected = false;
        return Fail("VerifySnapScanSupport", [] {});
    }
    CRwError ConfigureSnapshot(std::list<std::string>& scanPaths, const std::list<std::string>&,
                               const std::list<std::string>&) override {
        std::string call = "ConfigureSnapshot";
        for (const auto& path : scanPaths) call += " " + path;
        Record(call);
        if (!m_connected) return NotConnected();
        return Fail("ConfigureSnapshot", [&] {
            m_connected = false;
            std::list<std::string> processed;
            for (const auto& path : scanPaths) {
                if (g_script->dropped.count(path) != 0) continue;
                processed.push_back(path);
                m_map[path + "/"] = path + "/.snapshot/TZOP_1_1_" + std::to_string(m_jobId) + "_x";
            }
            scanPaths = processed;
            m_configured = true;
        });
    }
    CRwError ManageSnapshots() override { return Unexpected("ManageSnapshots"); }
    CRwError CompareSnapshots(std::string share, std::string readPath,
                              std::function<FileServerSnapshotCompareItem()>& next) override {
        Record("CompareSnapshots " + share + " " + readPath);
        if (!m_configured) return Unexpected("CompareSnapshots before ConfigureSnapshot");
        if (g_script->withoutBase.count(share) != 0)
            return FXErrorUtil::ErrorWin32(
                FX_HERE, 1627, "Could not compare snapshots for path [%s]", share.c_str());
        return Fail("CompareSnapshots", [&] {
            m_pending = g_script->items[share];
            if (m_pending.empty() || m_pending.back().type != 6) m_pending.push_back(Item(5, ""));
            m_next = 0;
            next = [this] { return m_pending.at(m_next++); };
        });
    }
    CRwError CleanupSnapshot(const std::set<std::string>&) override {
        return Unexpected("CleanupSnapshot");
    }
    CRwError UpdateContentMapperPaths(ContentMapperAPIPtr& mapper) override {
        Record("UpdateContentMapperPaths");
        return Fail("UpdateContentMapperPaths", [&] {
            if (!mapper) mapper = boost::make_shared<CContentMapper>();
            mapper->SetPathMap(m_map);
        });
    }
    CRwError CleanupSnapshotsPostBackup(bool) override {
        Record("CleanupSnapshotsPostBackup");
        if (!m_connected) return NotConnected();
        return Fail("CleanupSnapshotsPostBackup", [&] { m_connected = false; });
    }
    CRwError RepopulateContentMapperPaths(ContentMapperAPIPtr&) override {
        return Unexpected("RepopulateContentMapperPaths");
    }
    CRwError DeleteAutoMountFailedSnapshots(const std::list<std::string>& failed) override {
        std::string call = "DeleteAutoMountFailedSnapshots";
        for (const auto& mount : failed) call += " " + mount;
        Record(call);
        return Fail("DeleteAutoMountFailedSnapshots", [] {});
    }

private:
    void Record(const std::string& call) {
        g_script->calls.push_back(std::to_string(m_number) + ":" + call);
    }
    template <typename OnSuccess>
    CRwError Fail(const std::string& operation, OnSuccess onSuccess) {
        if (g_script->failing.count(operation) != 0)
            return FXErrorUtil::ErrorWin32(FX_HERE, 1627, "%s failed", operation.c_str());
        onSuccess();
        return CRwError::Success();
    }
    static CRwError NotConnected() {
        return FXErrorUtil::ErrorWin32(FX_HERE, 1359, "ManageIsilon not initialized");
    }
    CRwError Unexpected(const std::string& what) {
        Record("unexpected " + what);
        return FXErrorUtil::ErrorWin32(FX_HERE, 1359, "unexpected call");
    }

    int m_number;
    LONGLONG m_jobId = 0;
    bool m_connected = false;
    bool m_configured = false;
    std::map<std::string, std::string> m_map;
    std::vector<FileServerSnapshotCompareItem> m_pending;
    size_t m_next = 0;
};

extern "C" CFileServerSnapClientBase* FakeGetSnapClient() {
    if (g_script->noClient) return nullptr;
    return new FakeClient();
}

class JobRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = &script;
        char pattern[] = "/tmp/snapscan-cli-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        request.clientId = 1;
        request.subclientId = 1;
        request.shares = {"/mnt/a", "/mnt/b"};
        request.resultsDir = dir + "/results";
        request.mapFile = dir + "/map";
        ::setenv("SNAPSCAN_LOCK_DIR", (dir + "/locks").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("SNAPSCAN_LOCK_DIR");
        EXPECT_EQ(script.alive, 0) << "a client was not destroyed";
        g_script = nullptr;
        std::filesystem::remove_all(dir);
    }

    snapscan::JobOutcome Run() {
        Output output(out, err, true);
        return snapscan::RunJob(&FakeGetSnapClient, request, output);
    }

    static snapscan::ArrayJobIds NoSnapshots() {
        return [](std::set<int64_t>&, std::string&) { return true; };
    }

    nlohmann::json LastRecord() const {
        std::istringstream lines(out.str());
        std::string line;
        std::string last;
        while (std::getline(lines, line)) last = line;
        return nlohmann::json::parse(last);
    }

    // The JSON records of one event kind, in output order.
    std::vector<nlohmann::json> Records(const std::string& event) const {
        std::vector<nlohmann::json> records;
        std::istringstream lines(out.str());
        std::string line;
        while (std::getline(lines, line)) {
            nlohmann::json record = nlohmann::json::parse(line);  // every line must be JSON
            if (record.at("event") == event) records.push_back(record);
        }
        return records;
    }

    Script script;
    std::string dir;
    JobRequest request;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(JobRunnerTest, FullJobCallsThePlugInInTheAgentsOrder) {
    const auto outcome = Run();
    EXPECT_EQ(outcome.status, snapscan::kExitOk);
    EXPECT_TRUE(outcome.delivered);
    EXPECT_THAT(
        script.calls,
        ElementsAre(
            "1:Initialize job=0 prev=0 client=1 subclient=1 mapper=none map=set results=set",
            "1:VerifySnapScanSupport", "1:InitArray", "1:ConfigureSnapshot /mnt/a /mnt/b",
            "1:UpdateContentMapperPaths", "1:~",
            "2:Initialize job=0 prev=0 client=1 subclient=1 mapper=none map=none results=set",
            "2:CleanupSnapshotsPostBackup", "2:~"));
    const auto shares = Records("share");
    ASSERT_EQ(shares.size(), 2u);
    EXPECT_EQ(shares[0]["readPath"], "/mnt/a/.snapshot/TZOP_1_1_0_x");
    EXPECT_EQ(Records("fullScan").size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(request.mapFile));
    EXPECT_EQ(err.str(), "");
}

TEST_F(JobRunnerTest, IncrementalJobDeliversEveryShareItemsUntilTheEndItem) {
    request.jobId = 8;
    request.prevJobId = 7;
    request.autoMount = true;
    request.progressEvery = 2;
    script.items["/mnt/a"] = {Item(2, "/mnt/a/f", "", 11), Item(3, "/mnt/a/d2/", "/mnt/a/d1/", 12),
                              Item(4, "/mnt/a/gone/", "", 13)};
    const auto outcome = Run();
    EXPECT_EQ(outcome.status, snapscan::kExitOk);
    EXPECT_THAT(
        script.calls,
        ElementsAre(
            "1:Initialize job=8 prev=7 client=1 subclient=1 mapper=yes map=set results=set",
            "1:VerifySnapScanSupport", "1:InitArray", "1:ConfigureSnapshot /mnt/a /mnt/b",
            "1:UpdateContentMapperPaths", "1:CompareSnapshots /mnt/a /mnt/a/.snapshot/TZOP_1_1_8_x",
            "1:CompareSnapshots /mnt/b /mnt/b/.snapshot/TZOP_1_1_8_x", "1:~",
            "2:Initialize job=8 prev=7 client=1 subclient=1 mapper=none map=none results=set",
            "2:CleanupSnapshotsPostBackup", "2:~"));
    const auto items = Records("item");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0]["kindName"], "changed");
    EXPECT_EQ(items[0]["path"], "/mnt/a/f");
    EXPECT_EQ(items[0]["size"], 110);
    EXPECT_FALSE(items[0].contains("oldPath"));
    EXPECT_EQ(items[1]["kind"], 3);
    EXPECT_EQ(items[1]["oldPath"], "/mnt/a/d1/");
    EXPECT_EQ(items[2]["kindName"], "removed");
    EXPECT_EQ(items[2]["inode"], 13);
    const auto done = Records("shareDone");
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0]["items"], 3);
    EXPECT_EQ(done[1]["items"], 0);
    EXPECT_EQ(err.str(), "snapscan: /mnt/a: 2 items\n");
}

TEST_F(JobRunnerTest, SharesWithoutComparisonBaseOrNotProcessedAreReported) {
    request.prevJobId = 7;
    request.shares = {"/mnt/a", "/mnt/b", "/mnt/c"};
    script.withoutBase = {"/mnt/a"};
    script.dropped = {"/mnt/c"};
    const auto outcome = Run();
    EXPECT_EQ(outcome.status, snapscan::kExitPartial);
    // /mnt/c handed nothing on: the job must not become the base, and its
    // cleanup would delete the old base's snapshot of /mnt/c.
    EXPECT_FALSE(outcome.delivered);
    const auto full = Records("fullScan");
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0]["share"], "/mnt/a");
    const auto skipped = Records("notProcessed");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0]["share"], "/mnt/c");
    EXPECT_EQ(Records("notBase").size(), 1u);
    EXPECT_EQ(Records("cleanup").size(), 0u);
    for (const auto& call : script.calls)
        EXPECT_EQ(call.find("CleanupSnapshotsPostBackup"), std::string::npos);
    EXPECT_EQ(LastRecord()["event"], "done");
    EXPECT_EQ(LastRecord()["status"], snapscan::kExitPartial);
    EXPECT_EQ(LastRecord()["delivered"], false);
}

// A share not processed and then a failure: the failure decides the status.
TEST_F(JobRunnerTest, AFailureWinsOverASkippedShare) {
    request.prevJobId = 7;
    script.dropped = {"/mnt/b"};
    script.failing = {"CompareSnapshots"};
    const auto outcome = Run();
    EXPECT_EQ(outcome.status, snapscan::kExitFailed);
    EXPECT_FALSE(outcome.delivered);
    EXPECT_EQ(LastRecord()["event"], "done");
    EXPECT_EQ(LastRecord()["status"], snapscan::kExitFailed);
    EXPECT_EQ(LastRecord()["code"], 1627);
    EXPECT_EQ(LastRecord()["cause"], "CompareSnapshots failed");
}

// The array failing the snap-scan check costs change detection, not the backup:
// snapshots are taken, every share is read in full, said once, and the job is a
// success that becomes the base.
TEST_F(JobRunnerTest, WithoutSnapScanSupportEveryShareIsReadInFull) {
    request.prevJobId = 3;
    script.failing = {"VerifySnapScanSupport"};
    const auto outcome = Run();
    EXPECT_EQ(outcome.status, snapscan::kExitOk);
    EXPECT_TRUE(outcome.delivered);
    const auto said = Records("snapScanUnavailable");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0]["reason"], "VerifySnapScanSupport failed");
    const auto full = Records("fullScan");
    ASSERT_EQ(full.size(), 2u);
    EXPECT_EQ(full[1]["reason"], "snap scan not available");
    for (const auto& call : script.calls)
        EXPECT_EQ(call.find("CompareSnapshots"), std::string::npos);
    EXPECT_EQ(Records("cleanup").size(), 1u);
}

TEST_F(JobRunnerTest, AFailureEndsTheJobWithThePlugInsTextAndNoLaterPhase) {
    struct Case {
        const char* name;
        std::set<std::string> failing;
        std::vector<FileServerSnapshotCompareItem> items;
        bool noClient;
        bool delivered;
        const char* lastCall;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"no client", {}, {}, true, false, nullptr, "the plug-in made no client"},
        {"Initialize", {"Initialize"}, {}, false, false, "1:~", "Initialize failed"},
        {"InitArray", {"InitArray"}, {}, false, false, "1:~", "InitArray failed"},
        {"configure", {"ConfigureSnapshot"}, {}, false, false, "1:~", "ConfigureSnapshot failed"},
        {"mapper",
         {"UpdateContentMapperPaths"},
         {},
         false,
         false,
         "1:~",
         "UpdateContentMapperPaths failed"},
        {"compare", {"CompareSnapshots"}, {}, false, false, "1:~", "CompareSnapshots failed"},
        {"error item", {}, {Item(2, "/mnt/a/f"), Item(6, "")}, false, false, "1:~", "failure item"},
        {"unknown item", {}, {Item(0, "")}, false, false, "1:~", "unexpected item kind 0"},
        {"cleanup",
         {"CleanupSnapshotsPostBackup"},
         {},
         false,
         true,
         "2:~",
         "CleanupSnapshotsPostBackup failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script = Script();
        script.failing = c.failing;
        script.noClient = c.noClient;
        script.items["/mnt/a"] = c.items;
        request.prevJobId = 3;
        out.str("");
        err.str("");
        const auto outcome = Run();
        EXPECT_EQ(outcome.status, snapscan::kExitFailed);
        EXPECT_EQ(outcome.delivered, c.delivered);
        if (c.lastCall == nullptr) {
            EXPECT_TRUE(script.calls.empty());
        } else {
            ASSERT_FALSE(script.calls.empty());
            EXPECT_EQ(script.calls.back(), c.lastCall);
        }
        EXPECT_THAT(err.str(), HasSubstr(c.text));
        EXPECT_EQ(Records("error").size(), 1u);
        // The stream still ends with the job's outcome, and why it failed.
        EXPECT_EQ(Records("done").size(), 1u);
        EXPECT_EQ(LastRecord()["event"], "done");
        EXPECT_EQ(LastRecord()["status"], snapscan::kExitFailed);
        EXPECT_FALSE(LastRecord().value("cause", std::string()).empty());
        for (const auto& call : script.calls)
            EXPECT_EQ(call.find("unexpected"), std::string::npos) << call;
    }
}

TEST_F(JobRunnerTest, ChainedJobsCompareAgainstTheLastDeliveredJob) {
    const snapscan::JobStateStore store(dir + "/state");
    // Each run: what fails, then the ids the job must get.
    struct Run {
        std::set<std::string> failing;
        int64_t jobId;
        int64_t prevJobId;
        int status;
    };
    const std::vector<Run> runs = {
        {{}, 1, 0, snapscan::kExitOk},                        // first job: full
        {{}, 2, 1, snapscan::kExitOk},                        // chained
        {{"CompareSnapshots"}, 3, 2, snapscan::kExitFailed},  // changes not delivered
        {{"Initialize"}, 4, 2, snapscan::kExitFailed},        // its id is used up all the same
        {{"CleanupSnapshotsPostBackup"}, 5, 2, snapscan::kExitFailed},  // delivered: the new base
        {{}, 6, 5, snapscan::kExitOk},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE("job " + std::to_string(run.jobId));
        script = Script();
        script.failing = run.failing;
        Output output(out, err, false);
        EXPECT_EQ(
            snapscan::RunChainedJob(&FakeGetSnapClient, request, store, NoSnapshots(), output),
            run.status);
        ASSERT_FALSE(script.calls.empty());
        EXPECT_THAT(script.calls.front(),
                    HasSubstr("Initialize job=" + std::to_string(run.jobId) +
                              " prev=" + std::to_string(run.prevJobId) + " "));
    }
    snapscan::ContentState state;
    std::string error;
    ASSERT_TRUE(store.Load(1, 1, state, error)) << error;
    EXPECT_EQ(state.lastIssuedJobId, 6);
    EXPECT_EQ(state.baseJobId, 6);
    // Another subclient of the same client has its own chain.
    ASSERT_TRUE(store.Load(1, 2, state, error)) << error;
    EXPECT_EQ(state.lastIssuedJobId, 0);
}

TEST_F(JobRunnerTest, ADamagedOrLockedStateRunsNoJob) {
    const snapscan::JobStateStore store(dir + "/state");
    std::filesystem::create_directories(dir + "/state");
    const std::vector<std::pair<const char*, const char*>> damaged = {
        {"not json", "{"},
        {"missing key", R"({"lastIssuedJobId": 3})"},
        {"negative", R"({"lastIssuedJobId": -1, "baseJobId": 0})"},
        {"base after last", R"({"lastIssuedJobId": 2, "baseJobId": 3})"},
        {"text id", R"({"lastIssuedJobId": "2", "baseJobId": 1})"},
    };
    for (const auto& [name, text] : damaged) {
        SCOPED_TRACE(name);
        std::ofstream(store.StatePath(1, 1)) << text;
        script = Script();
        err.str("");
        Output output(out, err, false);
        EXPECT_EQ(
            snapscan::RunChainedJob(&FakeGetSnapClient, request, store, NoSnapshots(), output),
            snapscan::kExitFailed);
        EXPECT_TRUE(script.calls.empty());
        EXPECT_THAT(err.str(), HasSubstr("is damaged"));
        std::ifstream kept(store.StatePath(1, 1));
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), text);  // left as found
    }

    std::filesystem::remove(store.StatePath(1, 1));
    snapscan::ContentLock held;
    std::string error;
    ASSERT_TRUE(held.Acquire(1, 1, error)) << error;
    script = Script();
    err.str("");
    Output output(out, err, false);
    bool ran = false;
    EXPECT_EQ(snapscan::WithContentLock(1, 1, output,
                                        [&] {
                                            ran = true;
                                            return 0;
                                        }),
              snapscan::kExitFailed);
    EXPECT_FALSE(ran);
    EXPECT_THAT(err.str(), HasSubstr("another snapscan run of client 1 subclient 1"));
    EXPECT_EQ(snapscan::WithContentLock(1, 2, output,
                                        [&] {
                                            ran = true;
                                            return 0;
                                        }),
              0);
    EXPECT_TRUE(ran);  // another content is free
}

// The state was lost (or restored from an old copy) while snapshots of later
// jobs are still on the array: the next id is above all of them, or the job
// would take an old snapshot for its own. A listing that fails runs no job.
TEST_F(JobRunnerTest, ChainedJobIdsStayAboveTheJobsOnTheArray) {
    const snapscan::JobStateStore store(dir + "/state");
    Output output(out, err, true);
    const snapscan::ArrayJobIds onArray = [](std::set<int64_t>& ids, std::string&) {
        ids = {3, 9, 4};
        return true;
    };
    EXPECT_EQ(snapscan::RunChainedJob(&FakeGetSnapClient, request, store, onArray, output),
              snapscan::kExitOk);
    ASSERT_FALSE(script.calls.empty());
    EXPECT_THAT(script.calls.front(), HasSubstr("Initialize job=10 prev=0 "));

    script = Script();
    const snapscan::ArrayJobIds failing = [](std::set<int64_t>&, std::string& error) {
        error = "array unreachable";
        return false;
    };
    err.str("");
    EXPECT_EQ(snapscan::RunChainedJob(&FakeGetSnapClient, request, store, failing, output),
              snapscan::kExitFailed);
    EXPECT_TRUE(script.calls.empty());
    EXPECT_THAT(err.str(), HasSubstr("array unreachable"));
    snapscan::ContentState state;
    std::string error;
    ASSERT_TRUE(store.Load(1, 1, state, error)) << error;
    EXPECT_EQ(state.lastIssuedJobId, 10);
    EXPECT_EQ(state.baseJobId, 10);
}

// A given job id whose snapshots exist is refused unless the run says it is a
// restart of that job.
TEST_F(JobRunnerTest, AGivenJobIdWithSnapshotsIsARestartOrRefused) {
    const snapscan::ArrayJobIds onArray = [](std::set<int64_t>& ids, std::string&) {
        ids = {5};
        return true;
    };
    Output output(out, err, true);
    request.jobId = 5;
    EXPECT_EQ(snapscan::RunGivenJob(&FakeGetSnapClient, request, false, onArray, output),
              snapscan::kExitFailed);
    EXPECT_TRUE(script.calls.empty());
    EXPECT_THAT(err.str(), HasSubstr("--restart"));
    EXPECT_EQ(snapscan::RunGivenJob(&FakeGetSnapClient, request, true, onArray, output),
              snapscan::kExitOk);
    request.jobId = 6;
    script = Script();
    EXPECT_EQ(snapscan::RunGivenJob(&FakeGetSnapClient, request, false, onArray, output),
              snapscan::kExitOk);
    EXPECT_THAT(script.calls.front(), HasSubstr("Initialize job=6 "));
}

TEST_F(JobRunnerTest, SinglePhaseCommandsCallTheirOperationsOnAFreshClient) {
    Output output(out, err, true);
    EXPECT_EQ(snapscan::RunVerify(&FakeGetSnapClient, 4, 5, output), snapscan::kExitOk);
    EXPECT_EQ(snapscan::RunCleanup(&FakeGetSnapClient, 4, 5, 9, output), snapscan::kExitOk);
    EXPECT_EQ(
        snapscan::RunDeleteFailed(&FakeGetSnapClient, 4, 5, 9, {"h:/ifs/a", "h:/ifs/b"}, output),
        snapscan::kExitOk);
    EXPECT_THAT(
        script.calls,
        ElementsAre(
            "1:Initialize job=0 prev=0 client=4 subclient=5 mapper=none map=none results=none",
            "1:VerifySnapScanSupport", "1:~",
            "2:Initialize job=9 prev=0 client=4 subclient=5 mapper=none map=none results=none",
            "2:CleanupSnapshotsPostBackup", "2:~",
            "3:Initialize job=9 prev=0 client=4 subclient=5 mapper=yes map=none results=none",
            "3:DeleteAutoMountFailedSnapshots h:/ifs/a h:/ifs/b", "3:~"));

    script = Script();
    script.failing = {"DeleteAutoMountFailedSnapshots"};
    err.str("");
    EXPECT_EQ(snapscan::RunDeleteFailed(&FakeGetSnapClient, 4, 5, 9, {"h:/ifs/a"}, output),
              snapscan::kExitFailed);
    EXPECT_THAT(err.str(), HasSubstr("DeleteAutoMountFailedSnapshots failed"));
}

TEST(SnapshotNameTest, OnlyTheClientsOwnNamesParse) {
    struct Case {
        const char* name;
        std::optional<uint32_t> subclient;
        bool own;
        uint32_t subclientId;
        int64_t jobId;
    };
    const Case cases[] = {
        {"TZOP_12_345_789_abcdef", std::nullopt, true, 345, 789},
        {"TZOP_12_345_789_abcdef", 345u, true, 345, 789},
        {"TZOP_12_345_789_abcdef", 346u, false, 0, 0},
        {"TZOP_123_345_789_abcdef", std::nullopt, false, 0, 0},  // another client
        {"TZOP_1_345_789_abcdef", std::nullopt, false, 0, 0},
        {"TZOP_12_x_789_abcdef", std::nullopt, false, 0, 0},
        {"TZOP_12_345__abcdef", std::nullopt, false, 0, 0},
        {"TZOP_12_345_789", std::nullopt, false, 0, 0},         // no identifier part
        {"TZOP_12_4294967296_1_a", std::nullopt, false, 0, 0},  // subclient beyond 32 bits
        {"TZOP_12_1_18446744073709551615_a", std::nullopt, true, 1, -1},  // a negative job id
        {"TZOP_12_1_18446744073709551616_a", std::nullopt, false, 0, 0},
        {"tzop_12_345_789_abcdef", std::nullopt, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        snapscan::OwnSnapshot snapshot;
        ASSERT_EQ(snapscan::ParseOwnSnapshotName(c.name, 12, c.subclient, snapshot), c.own);
        if (!c.own) continue;
        EXPECT_EQ(snapshot.subclientId, c.subclientId);
        EXPECT_EQ(snapshot.jobId, c.jobId);
        EXPECT_EQ(snapshot.name, c.name);
    }
}

}  // namespace

namespace {

// With HOME unset the state once went to /tmp/.local/state/snapscan, shared and
// wiped at boot. Root keeps it in /var/lib/snapscan; anyone else in their home
// directory from the password database; the lock lives apart from it.
TEST(JobStateStoreTest, TheDefaultStateDirectoryIsNeverATemporaryOne) {
    struct Saved {
        const char* name;
        std::string value;
        bool set;
    };
    std::vector<Saved> saved;
    for (const char* name :
         {"SNAPSCAN_STATE_DIR", "XDG_STATE_HOME", "HOME", "SNAPSCAN_LOCK_DIR", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(name);
        saved.push_back({name, value ? value : "", value != nullptr});
        ::unsetenv(name);
    }
    const std::string state = snapscan::JobStateStore::DefaultDirectory();
    const std::string locks = snapscan::ContentLock::DefaultDirectory();
    if (::geteuid() == 0) {
        EXPECT_EQ(state, "/var/lib/snapscan");
        EXPECT_EQ(locks, "/run/lock/snapscan");
    } else {
        EXPECT_EQ(state.rfind("/tmp", 0), std::string::npos) << state;
        EXPECT_THAT(state, ::testing::EndsWith("/.local/state/snapscan"));
    }
    ::setenv("SNAPSCAN_STATE_DIR", "/srv/state", 1);
    EXPECT_EQ(snapscan::JobStateStore::DefaultDirectory(), "/srv/state");
    EXPECT_EQ(snapscan::ContentLock::DefaultDirectory(), locks)
        << "the lock must not follow the state";
    for (const Saved& s : saved) {
        if (s.set)
            ::setenv(s.name, s.value.c_str(), 1);
        else
            ::unsetenv(s.name);
    }
}

}  // namespace
