// Which snapshots stay: at job start, after the backup, and for shares whose
// automatic mount failed.
#include <algorithm>
#include <list>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/doubles/plugin_test.h"
#include "tests/snapclient/snap_names.h"

namespace snapscan_test {
namespace {

const char kPrefix[] = "TZOP_12_345_";
const char kListFailed[] = "Couldn't get snapshot list from file server. Error message[busy]";
const char kDisableSetting[] = "nDisableSnapdiffForStreamingBackups";

FileServerExportInfo ShareOf(const std::string& exportPath, const std::string& snapshotName) {
    FileServerExportInfo share;
    share.scanPath = "/mnt" + exportPath;
    share.exportPath = exportPath;
    share.sourcePath = exportPath;
    share.snapshotName = snapshotName;
    share.prevSnapshotName = "stale";
    share.prevSnapshotId = 99;
    share.hasSnapshotPair = true;
    return share;
}

class RetentionTest : public PluginTest {
protected:
    void SetUp() override {
        client = MakeClient();
        array.calls.clear();
        log.Clear();
    }

    std::vector<std::string> Sorted(std::vector<std::string> names) {
        std::sort(names.begin(), names.end());
        return names;
    }

    std::unique_ptr<CIsilonSnapClient> client;
};

TEST_F(RetentionTest, JobStartKeepsCurrentAndPreviousJobsOfTheClient) {
    const std::string curA = FullName(kPrefix, 789, "/ifs/a");
    const std::string prevA = FullName(kPrefix, 700, "/ifs/a");
    const std::string curB = FullName(kPrefix, 789, "/ifs/b");
    struct Snap {
        const char* label;
        std::string name;
        int32_t id;
        const char* path;
        bool kept;                // setting absent
        bool keptDeletePrevious;  // setting set
    };
    const std::vector<Snap> snaps = {
        {"current of a", curA, 10, "/ifs/a", true, true},
        {"previous of a", prevA, 9, "/ifs/a", true, false},
        {"current of b (share listed with trailing /)", curB, -5, "/ifs/b", true, true},
        {"previous name of b taken of another path", FullName(kPrefix, 700, "/ifs/b"), 8,
         "/ifs/elsewhere", true, true},
        {"previous job, share not in this job", FullName(kPrefix, 700, "/ifs/gone"), 7, "/ifs/gone",
         true, true},
        {"current job, no such share", Partial(kPrefix, 789) + "foreign", 6, "/ifs/x", true, true},
        {"older job of a", FullName(kPrefix, 600, "/ifs/a"), 5, "/ifs/a", false, false},
        {"older job elsewhere", FullName(kPrefix, 1, "/ifs/z"), 4, "/ifs/z", false, false},
        {"job 7890 is not job 789", FullName(kPrefix, 7890, "/ifs/a"), 3, "/ifs/a", false, false},
        {"other client", FullName("TZOP_13_345_", 600, "/ifs/a"), 2, "/ifs/a", true, true},
        {"other subclient", FullName("TZOP_12_346_", 600, "/ifs/a"), 2, "/ifs/a", true, true},
        {"not ours at all", "nightly-backup", 1, "/ifs/a", true, true},
    };
    for (const bool deletePrevious : {false, true}) {
        SCOPED_TRACE(deletePrevious ? "delete previous" : "normal retention");
        Peer::Array(*client).reset();
        array.Reset();
        ASSERT_FALSE(client->InitArray(12).IsError());
        array.calls.clear();
        log.Clear();
        if (deletePrevious)
            config.SetSetting(kDisableSetting, 3);
        else
            config.RemoveSetting(kDisableSetting);
        for (const Snap& s : snaps) array.AddSnapshot(s.name, s.id, s.path);
        Peer::SetShares(*client, {ShareOf("/ifs/a", curA), ShareOf("/ifs/b/", curB)});

        const CRwError result = client->ManageSnapshots();
        ASSERT_FALSE(result.IsError()) << result.AsString();

        std::vector<std::string> deleted;
        for (const Snap& s : snaps) {
            SCOPED_TRACE(s.label);
            const bool kept = deletePrevious ? s.keptDeletePrevious : s.kept;
            EXPECT_EQ(array.HasSnapshot(s.name), kept);
            if (!kept) deleted.push_back(s.name);
        }
        // Each name once, in ascending order, although several shares saw it.
        EXPECT_EQ(array.DeletedNames(), Sorted(deleted));
        std::vector<std::string> deleteLines;
        for (const std::string& name : Sorted(deleted))
            deleteLines.push_back("Deleting snapshot [" + name + "]");
        EXPECT_EQ(log.TextsAt(3), deleteLines);

        const FileServerExportInfo& a = Peer::Shares(*client).front();
        const FileServerExportInfo& b = Peer::Shares(*client).back();
        EXPECT_EQ(a.snapshotId, 10u);
        EXPECT_EQ(b.snapshotId, static_cast<uint64_t>(-5));  // sign-extended
        EXPECT_EQ(b.prevSnapshotName, "");
        EXPECT_EQ(b.prevSnapshotId, 0u);
        EXPECT_FALSE(b.hasSnapshotPair);
        if (deletePrevious) {
            EXPECT_EQ(a.prevSnapshotName, "");
            EXPECT_EQ(a.prevSnapshotId, 0u);
            EXPECT_FALSE(a.hasSnapshotPair);
            EXPECT_TRUE(log.Has(1,
                                "Additional setting[nDisableSnapdiffForStreamingBackups] present, "
                                "deleting previous job [700] snapshots if exist."));
        } else {
            EXPECT_EQ(a.prevSnapshotName, prevA);
            EXPECT_EQ(a.prevSnapshotId, 9u);
            EXPECT_TRUE(a.hasSnapshotPair);
            EXPECT_TRUE(log.Containing("Additional setting[").empty());
        }
        EXPECT_TRUE(Peer::Array(*client));  // retention neither opens nor closes
    }
}

TEST_F(RetentionTest, JobPrefixesEndWithTheirDelimiter) {
    struct Case {
        LONGLONG job, prev, snapshotJob;
        bool deleted;
    };
    const Case cases[] = {
        {5, 4, 55, true}, {5, 4, 45, true}, {55, 54, 5, true}, {5, 4, 5, false}, {5, 4, 4, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("job " + std::to_string(c.job) + ", snapshot of job " +
                     std::to_string(c.snapshotJob));
        array.snapshots.clear();
        array.calls.clear();
        Peer::SetJobId(*client, c.job);
        Peer::SetPrevJobId(*client, c.prev);
        // A share whose own snapshots are elsewhere, so only the prefixes decide.
        Peer::SetShares(*client, {ShareOf("/ifs/a", FullName(kPrefix, c.job, "/ifs/a"))});
        const std::string name = FullName(kPrefix, c.snapshotJob, "/ifs/other");
        array.AddSnapshot(name, 1, "/ifs/other");
        ASSERT_FALSE(client->ManageSnapshots().IsError());
        EXPECT_EQ(array.HasSnapshot(name), !c.deleted);
    }
}

TEST_F(RetentionTest, JobStartEdgeCases) {
    // No shares: listed, nothing deleted.
    array.AddSnapshot(FullName(kPrefix, 1, "/ifs/a"), 1, "/ifs/a");
    array.AddSnapshot(FullName(kPrefix, 2, "/ifs/b"), 2, "/ifs/b");
    ASSERT_FALSE(client->ManageSnapshots().IsError());
    EXPECT_EQ(array.OpSequence(), (std::vector<std::string>{"GetSnapshotList"}));
    EXPECT_EQ(array.snapshots.size(), 2u);

    // A current-job name taken of another path stays and sets no id.
    array.snapshots.clear();
    const std::string curA = FullName(kPrefix, 789, "/ifs/a");
    array.AddSnapshot(curA, 42, "/ifs/moved");
    Peer::SetShares(*client, {ShareOf("/ifs/a", curA)});
    ASSERT_FALSE(client->ManageSnapshots().IsError());
    EXPECT_TRUE(array.HasSnapshot(curA));
    EXPECT_EQ(Peer::Shares(*client).front().snapshotId, 0u);

    // Previous job id equal to the current one: the match is the current snapshot.
    array.snapshots.clear();
    array.AddSnapshot(curA, 42, "/ifs/a");
    Peer::SetPrevJobId(*client, 789);
    ASSERT_FALSE(client->ManageSnapshots().IsError());
    const FileServerExportInfo& a = Peer::Shares(*client).front();
    EXPECT_EQ(a.snapshotId, 42u);
    EXPECT_EQ(a.prevSnapshotName, "");
    EXPECT_FALSE(a.hasSnapshotPair);

    // A share without a current snapshot gets its base but no pair.
    array.snapshots.clear();
    Peer::SetPrevJobId(*client, 700);
    array.AddSnapshot(FullName(kPrefix, 700, "/ifs/a"), 41, "/ifs/a");
    Peer::SetShares(*client, {ShareOf("/ifs/a", "")});
    ASSERT_FALSE(client->ManageSnapshots().IsError());
    EXPECT_EQ(Peer::Shares(*client).front().prevSnapshotId, 41u);
    EXPECT_FALSE(Peer::Shares(*client).front().hasSnapshotPair);
}

// The three listings read the array's code text the same way.
TEST_F(RetentionTest, ListingFailureCodes) {
    struct Code {
        const char* text;
        uint32_t code;
    };
    const Code codes[] = {
        {"500", 500},          {"0", 1627},          {"abc", 1627},          {"", 1627},
        {"99999999999", 1627}, {" 42 trailing", 42}, {"AEC_NOT_FOUND", 1627}};
    struct Operation {
        const char* name;
        CRwError (*run)(CIsilonSnapClient&);
    };
    const Operation operations[] = {
        {"ManageSnapshots", [](CIsilonSnapClient& c) { return c.ManageSnapshots(); }},
        {"CleanupSnapshotsPostBackup",
         [](CIsilonSnapClient& c) { return c.CleanupSnapshotsPostBackup(true); }},
        {"DeleteAutoMountFailedSnapshots",
         [](CIsilonSnapClient& c) { return c.DeleteAutoMountFailedSnapshots({"h:/ifs/a"}); }},
    };
    const std::string old = FullName(kPrefix, 1, "/ifs/a");
    for (const Operation& op : operations) {
        for (const Code& code : codes) {
            SCOPED_TRACE(std::string(op.name) + " code \"" + code.text + "\"");
            Peer::Array(*client).reset();
            array.Reset();
            ASSERT_FALSE(client->InitArray(12).IsError());
            array.AddSnapshot(old, 1, "/ifs/a");
            array.AddSnapshot(FullName(kPrefix, 789, "/ifs/a"), 2, "/ifs/a");
            const FileServerExportInfo share = ShareOf("/ifs/a", "x");
            Peer::SetShares(*client, {share});
            array.FailAlways(ArrayOp::GetSnapshotList, code.text, "busy");

            const CRwError result = op.run(*client);
            ASSERT_TRUE(result.IsError());
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), code.code);
            EXPECT_EQ(FXErrorUtil::MessageOf(result), kListFailed);
            EXPECT_EQ(array.CallCount(ArrayOp::DeleteSnapshot), 0);
            EXPECT_EQ(array.snapshots.size(), 2u);
            EXPECT_EQ(Peer::Shares(*client).front().prevSnapshotName, "stale");
            EXPECT_TRUE(Peer::Array(*client));
        }
    }
}

TEST_F(RetentionTest, CleanupSnapshotDeletesEachNameOnceInOrderWhateverFails) {
    array.AddSnapshot("b", 1, "/ifs/b");
    array.AddSnapshot("a", 2, "/ifs/a");
    array.FailNth(ArrayOp::DeleteSnapshot, 1, "500", "locked");
    ASSERT_FALSE(client->CleanupSnapshot({"b", "a", "missing"}).IsError());
    EXPECT_EQ(array.DeletedNames(), (std::vector<std::string>{"a", "b", "missing"}));
    for (const ArrayCall& call : array.CallsOf(ArrayOp::DeleteSnapshot)) {
        EXPECT_EQ(call.args[0], "Empty");
        EXPECT_EQ(call.args[2], "0");
    }
    EXPECT_EQ(array.SnapshotNames(), (std::vector<std::string>{"a"}));  // "a" was locked
    EXPECT_EQ(log.TextsAt(3),
              (std::vector<std::string>{"Deleting snapshot [a]", "Deleting snapshot [b]",
                                        "Deleting snapshot [missing]"}));

    // Without a connection there is nothing to delete through.
    Peer::Array(*client).reset();
    array.calls.clear();
    const CRwError result = client->CleanupSnapshot({"b"});
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1359u);
    EXPECT_EQ(FXErrorUtil::MessageOf(result), "ManageIsilon not initialized");
    EXPECT_TRUE(array.calls.empty());
}

TEST_F(RetentionTest, PostBackupKeepsOnlyTheCurrentJobUnlessTold) {
    struct Snap {
        const char* label;
        std::string name;
        bool kept;               // setting absent
        bool keptDeleteCurrent;  // setting set
    };
    const std::vector<Snap> snaps = {
        {"current of a", FullName(kPrefix, 789, "/ifs/a"), true, false},
        {"current of a share not in the job", FullName(kPrefix, 789, "/ifs/elsewhere"), true,
         false},
        {"previous", FullName(kPrefix, 700, "/ifs/a"), false, false},
        {"older", FullName(kPrefix, 5, "/ifs/a"), false, false},
        {"job 7890", FullName(kPrefix, 7890, "/ifs/a"), false, false},
        {"other client", FullName("TZOP_1_345_", 700, "/ifs/a"), true, true},
        {"not ours", "daily", true, true},
    };
    struct Case {
        const char* setting;
        bool unusedFlag;
    };
    const Case cases[] = {{nullptr, true}, {nullptr, false}, {"0", true}, {"2", false}};
    for (const Case& c : cases) {
        const bool deleteCurrent = c.setting && std::string(c.setting) != "0";
        SCOPED_TRACE(std::string("setting ") + (c.setting ? c.setting : "absent") +
                     (c.unusedFlag ? ", true" : ", false"));
        Peer::Array(*client).reset();
        array.Reset();
        ASSERT_FALSE(client->InitArray(12).IsError());
        log.Clear();
        if (c.setting)
            config.SetSetting(kDisableSetting, c.setting);
        else
            config.RemoveSetting(kDisableSetting);
        for (const Snap& s : snaps) array.AddSnapshot(s.name, 1, "/ifs/a");

        ASSERT_FALSE(client->CleanupSnapshotsPostBackup(c.unusedFlag).IsError());
        size_t deleted = 0;
        for (const Snap& s : snaps) {
            SCOPED_TRACE(s.label);
            const bool kept = deleteCurrent ? s.keptDeleteCurrent : s.kept;
            EXPECT_EQ(array.HasSnapshot(s.name), kept);
            deleted += kept ? 0 : 1;
        }
        EXPECT_EQ(array.DeletedNames().size(), deleted);
        EXPECT_TRUE(log.Has(
            1, "Deleting [" + std::to_string(deleted) + "] older snapshots in post op phase."));
        const std::string settingLine =
            "Registry key[nDisableSnapdiffForStreamingBackups] set to value[2], deleting current "
            "job's snapshot. Next incremental job will not use fast scan";
        EXPECT_EQ(log.Count(0, settingLine), deleteCurrent ? 1 : 0);
        EXPECT_FALSE(Peer::Array(*client));
        EXPECT_EQ(array.LiveObjects(), 0);
    }
}

TEST_F(RetentionTest, PostBackupWithoutSnapshotsReportsZeroAndReleasesTheConnection) {
    array.AddSnapshot("foreign", 1, "/ifs/a");
    ASSERT_FALSE(client->CleanupSnapshotsPostBackup(false).IsError());
    EXPECT_EQ(log.TextsAt(1),
              (std::vector<std::string>{"Deleting [0] older snapshots in post op phase."}));
    EXPECT_EQ(array.CallCount(ArrayOp::DeleteSnapshot), 0);
    EXPECT_FALSE(Peer::Array(*client));

    array.calls.clear();
    const CRwError second = client->CleanupSnapshotsPostBackup(false);
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(second), 1359u);
    EXPECT_EQ(FXErrorUtil::MessageOf(second), "ManageIsilon not initialized");
    EXPECT_TRUE(array.calls.empty());
}

TEST_F(RetentionTest, AutoMountCleanupDeletesOnlyThisJobsSnapshotsOfFailedShares) {
    const std::string curA = FullName(kPrefix, 789, "/ifs/a");
    const std::string curRaw = FullName(kPrefix, 789, "/ifs/raw");
    const std::string prevA = FullName(kPrefix, 700, "/ifs/a");
    const std::string otherClient = FullName("TZOP_13_345_", 789, "/ifs/a");
    const std::string curKept = FullName(kPrefix, 789, "/ifs/mounted");
    for (const std::string& name : {curA, curRaw, prevA, otherClient, curKept})
        array.AddSnapshot(name, 1, "/ifs/x");
    Peer::Array(*client).reset();  // the operation connects by itself
    array.calls.clear();

    // The export path is derived as at creation: bracketed IPv6 hosts, folded "/".
    const std::list<std::string> failed = {"h:/ifs/a", "h2:/ifs/a", "/ifs/raw", "h:/ifs/none",
                                           "[fd00::1]:/ifs//raw"};
    ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots(failed).IsError());

    EXPECT_EQ(array.OpSequence(), (std::vector<std::string>{"OpenConnection", "GetSnapshotList",
                                                            "DeleteSnapshot", "DeleteSnapshot"}));
    EXPECT_EQ(array.DeletedNames(), Sorted({curA, curRaw}));
    EXPECT_EQ(array.SnapshotNames(), (std::vector<std::string>{prevA, otherClient, curKept}));
    EXPECT_EQ(
        log.TextsAt(0),
        (std::vector<std::string>{
            "Auto-mount client: Deleting snapshot [" + curA + "] of failed share [h:/ifs/a]",
            "Auto-mount client: Deleting snapshot [" + curA + "] of failed share [h2:/ifs/a]",
            "Auto-mount client: Deleting snapshot [" + curRaw + "] of failed share [/ifs/raw]",
            "Auto-mount client: Deleting snapshot [" + FullName(kPrefix, 789, "/ifs/none") +
                "] of failed share [h:/ifs/none]",
            "Auto-mount client: Deleting snapshot [" + curRaw +
                "] of failed share [[fd00::1]:/ifs//raw]"}));
    EXPECT_TRUE(Peer::Array(*client));  // stays open
}

TEST_F(RetentionTest, AutoMountCleanupOfNothingStillConnectsAndLists) {
    array.AddSnapshot(FullName(kPrefix, 789, "/ifs/a"), 1, "/ifs/a");
    ASSERT_FALSE(client->DeleteAutoMountFailedSnapshots({}).IsError());
    EXPECT_EQ(array.OpSequence(), (std::vector<std::string>{"OpenConnection", "GetSnapshotList"}));
    EXPECT_EQ(array.objectsCreated, 1);  // the held connection object is reused
    EXPECT_EQ(log.DumpFrom("CIsilonSnapClient::"), "");

    config.RemoveCredentials("12");
    array.calls.clear();
    const CRwError result = client->DeleteAutoMountFailedSnapshots({"h:/ifs/a"});
    EXPECT_EQ(FXErrorUtil::MessageOf(result), "Unable to get array credentials.");
    EXPECT_EQ(result.Detail()->trail.size(), 2u);
    EXPECT_TRUE(array.calls.empty());
    EXPECT_EQ(array.snapshots.size(), 1u);
}

}  // namespace
}  // namespace snapscan_test
