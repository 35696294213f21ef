// Snapshot creation for the job's shares: export path resolution in both modes,
// the .snapshot access check, the live fallback, failed shares and the summary.
#include <list>
#include <map>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "host/ContentMapper.h"
#include "tests/doubles/plugin_test.h"
#include "tests/snapclient/snap_names.h"

namespace snapscan_test {
namespace {

const char kPrefix[] = "TZOP_12_345_";
const char kClient[] = "CIsilonSnapClient::";

class SnapshotCreationTest : public PluginTest {
protected:
    void SetUp() override {
        client = MakeClient();
        Forget();
    }

    void Forget() {
        array.calls.clear();
        log.Clear();
        events.Clear();
    }

    static std::string Name(const std::string& exportPath) {
        return FullName(kPrefix, 789, exportPath);
    }

    // A mounted share: a real directory, listed in the mount table with source
    // "h:<exportPath>", and, when wanted, the .snapshot entry the array would show.
    std::string Share(const std::string& dir, const std::string& exportPath, bool snapshotVisible) {
        const std::string mountPoint = shares.MakeDir(dir);
        mounts.Add("h:" + exportPath, mountPoint);
        if (snapshotVisible) shares.MakeDir(dir + "/.snapshot/" + Name(exportPath));
        return mountPoint;
    }

    CRwError Create(std::list<std::string>& paths) { return client->CreateSnapshot(paths, {}, {}); }

    std::vector<std::string> CreatedPaths() const {
        std::vector<std::string> paths;
        for (const ArrayCall& call : array.CallsOf(ArrayOp::CreateSnapshot))
            paths.push_back(call.args[0]);
        return paths;
    }

    std::unique_ptr<CIsilonSnapClient> client;
    TempDir shares;
};

TEST_F(SnapshotCreationTest, ExportPathComesFromTheFirstCoveringMountOtherThanRoot) {
    using M = MountTableFile::Mount;
    struct Case {
        const char* name;
        std::vector<M> table;
        const char* scanPath;
        const char* exportPath;  // nullptr: not mounted
    };
    const Case cases[] = {
        {"root mount only", {{"/dev/sda1", "/"}}, "/mnt/a", nullptr},
        {"root listed first", {{"/dev/sda1", "/"}, {"h:/ifs/a", "/mnt/a"}}, "/mnt/a/x", "/ifs/a/x"},
        {"outer listed first",
         {{"h:/ifs/a", "/mnt/a"}, {"h:/ifs/b", "/mnt/a/b"}},
         "/mnt/a/b/c",
         "/ifs/a/b/c"},
        {"inner listed first",
         {{"h:/ifs/b", "/mnt/a/b"}, {"h:/ifs/a", "/mnt/a"}},
         "/mnt/a/b/c",
         "/ifs/b/c"},
        {"scan path is the mount point", {{"h:/ifs/a", "/mnt/a"}}, "/mnt/a", "/ifs/a"},
        {"mount point with trailing delimiter", {{"h:/ifs/a", "/mnt/a"}}, "/mnt/a/", "/ifs/a"},
        {"below, trailing delimiter kept", {{"h:/ifs/a", "/mnt/a"}}, "/mnt/a/x/", "/ifs/a/x/"},
        {"source without colon", {{"/ifs/raw", "/mnt/raw"}}, "/mnt/raw/d", "/ifs/raw/d"},
        {"source with several colons", {{"h:/ifs/x:y", "/mnt/x"}}, "/mnt/x", "/ifs/x:y"},
        {"source with trailing delimiter", {{"h:/ifs/t/", "/mnt/t"}}, "/mnt/t", "/ifs/t/"},
        {"sibling with common prefix", {{"h:/ifs/a", "/mnt/a"}}, "/mnt/ab", nullptr},
        {"escaped blank in the table", {{"h:/ifs/s p", "/mnt/s p"}}, "/mnt/s p/d", "/ifs/s p/d"},
        {"IPv6 source", {{"[::1]:/ifs/share", "/mnt/v6"}}, "/mnt/v6", "/ifs/share"},
        {"IPv6 source, colon in its path",
         {{"[fd00:1::5]:/ifs/x:y", "/mnt/v6"}},
         "/mnt/v6/d",
         "/ifs/x:y/d"},
        {"bracket never closed before a colon: first colon",
         {{"[::1/ifs/odd", "/mnt/odd"}},
         "/mnt/odd",
         ":1/ifs/odd"},
        {"repeated delimiters in the source",
         {{"h:/ifs//share", "/mnt/r"}},
         "/mnt/r",
         "/ifs/share"},
        {"repeated delimiters everywhere, one trailing kept",
         {{"h://ifs///r//", "/mnt/r"}},
         "/mnt/r",
         "/ifs/r/"},
        {"repeated delimiters below the mount point",
         {{"h:/ifs/a", "/mnt/a"}},
         "/mnt/a/x//y",
         "/ifs/a/x/y"},
        {"repeated delimiters in an IPv6 source",
         {{"[::1]://ifs//v6", "/mnt/v6"}},
         "/mnt/v6",
         "/ifs/v6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Forget();
        Peer::Shares(*client).clear();
        mounts.Set(c.table);
        std::list<std::string> paths = {c.scanPath};

        const CRwError result = Create(paths);
        EXPECT_TRUE(log.Has(2, std::string("Scan Content [") + c.scanPath + "]"));
        if (c.exportPath == nullptr) {
            EXPECT_EQ(CodeOf(result), 0x11000086u);
            EXPECT_TRUE(CreatedPaths().empty());
            EXPECT_TRUE(log.Has(-1, std::string("Scan Content [") + c.scanPath +
                                        "] is not mounted on this proxy machine, skipping from "
                                        "snapshot creation."));
            EXPECT_TRUE(Peer::Shares(*client).empty());
        } else {
            EXPECT_FALSE(result.IsError()) << result.AsString();
            EXPECT_EQ(CreatedPaths(), (std::vector<std::string>{c.exportPath}));
            EXPECT_EQ(array.CallsOf(ArrayOp::CreateSnapshot)[0].args[1], Name(c.exportPath));
            EXPECT_TRUE(log.Has(2, std::string("NFS share path [") + c.exportPath + "]"));
            ASSERT_EQ(Peer::Shares(*client).size(), 1u);
            EXPECT_EQ(Peer::Shares(*client).front().exportPath, c.exportPath);
            EXPECT_EQ(Peer::Shares(*client).front().sourcePath, c.exportPath);
        }
    }
}

TEST_F(SnapshotCreationTest, ConfiguredJobRecordsEverySharesSnapshot) {
    const std::string a = Share("a", "/ifs/a", true);
    const std::string b = Share("b", "/ifs/b", true);
    std::list<std::string> paths = {b, a + "/"};

    const CRwError result = client->ConfigureSnapshot(paths, {}, {});
    ASSERT_FALSE(result.IsError()) << result.AsString();

    EXPECT_EQ(paths, (std::list<std::string>{b, a + "/"}));
    EXPECT_FALSE(Peer::Array(*client));  // released after the retention step
    EXPECT_EQ(array.OpSequence(),
              (std::vector<std::string>{"CreateSnapshot", "CreateSnapshot", "GetSnapshotList"}));
    const std::list<FileServerExportInfo>& recorded = Peer::Shares(*client);
    ASSERT_EQ(recorded.size(), 2u);
    const FileServerExportInfo& first = recorded.front();
    const FileServerExportInfo& second = recorded.back();
    EXPECT_EQ(first.scanPath, b);
    EXPECT_EQ(first.exportPath, "/ifs/b");
    EXPECT_EQ(first.snapshotName, Name("/ifs/b"));
    EXPECT_EQ(first.snapshotId, 1u);
    EXPECT_EQ(first.snapshotPath, b + "/.snapshot/" + Name("/ifs/b"));
    EXPECT_EQ(second.scanPath, a);  // listed with a trailing delimiter, stored without
    EXPECT_EQ(second.snapshotId, 2u);
    EXPECT_EQ(second.snapshotPath, a + "/.snapshot/" + Name("/ifs/a"));
    EXPECT_EQ(Peer::ContentMapperPaths(*client),
              (std::map<std::string, std::string>{{a + "/", second.snapshotPath},
                                                  {b + "/", first.snapshotPath}}));
    EXPECT_TRUE(events.Events().empty());
    EXPECT_TRUE(log.Has(0, "[2] out of [2] shares are processed in snap client."));
    EXPECT_TRUE(log.TextsAt(-1).empty()) << log.Dump();
}

TEST_F(SnapshotCreationTest, ExistingSnapshotGetsItsIdFromTheRetentionListing) {
    const std::string a = Share("a", "/ifs/a", true);
    array.AddSnapshot(Name("/ifs/a"), 77, "/ifs/a");  // left by an interrupted run
    std::list<std::string> paths = {a};

    ASSERT_FALSE(client->ConfigureSnapshot(paths, {}, {}).IsError());
    ASSERT_EQ(Peer::Shares(*client).size(), 1u);
    EXPECT_EQ(Peer::Shares(*client).front().snapshotName, Name("/ifs/a"));
    EXPECT_EQ(Peer::Shares(*client).front().snapshotId, 77u);
    EXPECT_EQ(log.Containing("assume snapshot is already created").size(), 1u);
    EXPECT_TRUE(events.Events().empty());
    EXPECT_TRUE(array.DeletedNames().empty());
}

// One share per case; the cases differ in what the array and the share do and
// in the setting that decides between live data and a failed share.
TEST_F(SnapshotCreationTest, ShareWithoutUsableSnapshotIsBackedUpLiveOrFailed) {
    struct Case {
        const char* name;
        const char* createCode;  // nullptr: created
        bool snapshotVisible;
        const char* setting;  // value of bBackupFromSnapshotOnly, nullptr: absent
        bool processed;
        bool snapshotUsable;
        int32_t eventId;  // 0: none
    };
    const Case cases[] = {
        {"created and visible", nullptr, true, "1", true, true, 0},
        {"creation failed, live", "500", true, nullptr, true, false, 0x11000093},
        {"creation failed, setting 0 means live", "500", true, "0", true, false, 0x11000093},
        {"creation failed, failed share", "500", true, "1", false, false, 0x11000093},
        {"conflict taken as created", "AEC_CONFLICT", true, "1", true, true, 0},
        {".snapshot unreachable, live", nullptr, false, nullptr, true, false, 0x110000A5},
        {".snapshot unreachable, failed share", nullptr, false, "1", false, false, 0x110000A5},
    };
    int dirCount = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        ASSERT_FALSE(client->InitArray(12).IsError());
        Forget();
        Peer::Shares(*client).clear();
        Peer::ContentMapperPaths(*client).clear();
        if (c.setting)
            config.SetSetting("bBackupFromSnapshotOnly", c.setting);
        else
            config.RemoveSetting("bBackupFromSnapshotOnly");
        const std::string dir = "s" + std::to_string(++dirCount);
        const std::string exportPath = "/ifs/" + dir;
        mounts.Set({});
        const std::string share = Share(dir, exportPath, c.snapshotVisible);
        const std::string key = share + "/";
        const std::string name = Name(exportPath);
        const std::string snapshotPath = share + "/.snapshot/" + name;
        if (c.createCode) array.FailNext(ArrayOp::CreateSnapshot, 1, c.createCode, "boom");
        std::list<std::string> paths = {share};

        const CRwError result = Create(paths);

        // The record and the map.
        const auto& recorded = Peer::Shares(*client);
        if (c.processed) {
            ASSERT_FALSE(result.IsError()) << result.AsString();
            EXPECT_EQ(log.TextsAt(0).back(), "[1] out of [1] shares are processed in snap client.");
            ASSERT_EQ(recorded.size(), 1u);
            const FileServerExportInfo& r = recorded.front();
            EXPECT_EQ(r.exportPath, exportPath);
            EXPECT_EQ(r.snapshotName, c.snapshotUsable ? name : "");
            EXPECT_EQ(r.snapshotPath, c.snapshotUsable ? snapshotPath : "");
            EXPECT_EQ(r.snapshotId, c.snapshotUsable && !c.createCode ? 1u : 0u);
            EXPECT_FALSE(r.hasSnapshotPair);
        } else {
            EXPECT_EQ(CodeOf(result), 0x11000086u);
            EXPECT_TRUE(recorded.empty());
        }
        const auto& map = Peer::ContentMapperPaths(*client);
        if (c.snapshotUsable) {
            EXPECT_EQ(map, (std::map<std::string, std::string>{{key, snapshotPath}}));
        } else if (c.processed || c.createCode == nullptr) {
            // Live data, or failed after the snapshot existed: the share's own path.
            EXPECT_EQ(map, (std::map<std::string, std::string>{{key, key}}));
        } else {
            EXPECT_TRUE(map.empty());
        }

        // Events, log lines and the summary of a failed call.
        const auto sent = events.Events();
        std::string reason;
        if (c.eventId == 0) {
            EXPECT_TRUE(sent.empty());
        } else {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].operation, "post");
            EXPECT_EQ(sent[0].eventId, c.eventId);
            EXPECT_EQ(sent[0].severity, 6);
            EXPECT_EQ(sent[0].reserved, 0);
        }
        if (c.eventId == 0x11000093) {
            EXPECT_EQ(sent[0].arguments, TextArgs({name, exportPath, "boom"}));
            EXPECT_TRUE(log.Has(-1, "Could not create snapshot:[" + name + "] on path:[" +
                                        exportPath + "] Backup path:[" + share +
                                        "]. Error code:[500] Error Message:[boom]."));
            EXPECT_TRUE(log.Has(0, c.processed
                                       ? "Snapshot creation failed on path [" + share +
                                             "], backing up data from live file system."
                                       : "Snapshot creation failed on path [" + share +
                                             "], additional setting to backup data only from "
                                             "snapshot is set, fail the path."));
            reason = "Snapshot creation failed: [boom]";
        }
        if (c.eventId == 0x110000A5) {
            ASSERT_EQ(sent[0].arguments.size(), 3u);
            EXPECT_EQ(sent[0].arguments[0], EventArg(name));
            EXPECT_EQ(sent[0].arguments[1], EventArg(snapshotPath));
            const std::string accessText = std::get<std::string>(sent[0].arguments[2]);
            EXPECT_NE(accessText.find("Path [" + snapshotPath + "] cannot be reached"),
                      std::string::npos)
                << accessText;
            EXPECT_TRUE(log.Has(-1,
                                ".snapshot path is not accessible, can't use NAS snap scan. Please "
                                "enable .snapshot access [" +
                                    accessText + "]"));
            EXPECT_TRUE(log.Has(0, c.processed
                                       ? ".snapshot folder access failed on path [" + share +
                                             "], backing up data from live filesystem."
                                       : ".snapshot access failed on path [" + share +
                                             "], additional setting to backup data only from "
                                             "snapshot is set, fail the path."));
            // The unreadable snapshot is deleted at the end, also when the call fails.
            EXPECT_EQ(array.DeletedNames(), (std::vector<std::string>{name}));
            EXPECT_FALSE(array.HasSnapshot(name));
            reason = ".snapshot path access failed: [" + sent[0].event.AsString() + "]";
        } else {
            EXPECT_TRUE(array.DeletedNames().empty());
        }
        if (c.createCode && std::string(c.createCode) == "AEC_CONFLICT") {
            EXPECT_TRUE(log.Has(-1, "Could not create snapshot:[" + name + "] on path:[" +
                                        exportPath +
                                        "]. Error code:[AEC_CONFLICT] Error Message:[boom], assume "
                                        "snapshot is already created"));
        }
        if (!c.processed) {
            const std::string summary = exportPath + ": " + reason + "\n";
            EXPECT_TRUE(log.Has(-1, "Processing of shares failed:\n[" + summary + "]"))
                << log.Dump();
            EXPECT_EQ(result.Detail()->arguments.size(), 1u);
            EXPECT_EQ(boost::any_cast<std::string>(result.Detail()->arguments.at(0)), summary);
            EXPECT_EQ(paths, (std::list<std::string>{share}));  // unchanged on failure
        }
    }
}

TEST_F(SnapshotCreationTest, NothingProcessedFailsWithTheSummaryOfReasons) {
    struct Case {
        const char* name;
        std::vector<std::string> scanPaths;
    };
    // Unresolved shares leave no reason, so both summaries are empty.
    const Case cases[] = {{"empty content", {}}, {"nothing mounted", {"/nowhere/a", "/nowhere/b"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Forget();
        FileServerExportInfo earlier;
        earlier.scanPath = "/earlier";
        Peer::SetShares(*client, {earlier});
        std::list<std::string> paths(c.scanPaths.begin(), c.scanPaths.end());

        const CRwError result = Create(paths);
        EXPECT_EQ(CodeOf(result), 0x11000086u);
        ASSERT_NE(result.Detail(), nullptr);
        ASSERT_EQ(result.Detail()->arguments.size(), 1u);
        EXPECT_EQ(boost::any_cast<std::string>(result.Detail()->arguments[0]), "");
        EXPECT_EQ(log.Count(-1, "Processing of shares failed:\n[]"), 1);
        EXPECT_TRUE(events.Events().empty());  // returned, not posted
        EXPECT_EQ(Peer::Shares(*client).size(), 1u);
        EXPECT_EQ(paths, std::list<std::string>(c.scanPaths.begin(), c.scanPaths.end()));
    }
}

TEST_F(SnapshotCreationTest, PartialSuccessKeepsOnlyTheProcessedPaths) {
    config.SetSetting("bBackupFromSnapshotOnly", 1);
    const std::string a = Share("a", "/ifs/a", true);
    const std::string b = Share("b", "/ifs/b", true);
    const std::string c = Share("c", "/ifs/c", true);
    array.FailNth(ArrayOp::CreateSnapshot, 1, "500", "first");
    array.FailNth(ArrayOp::CreateSnapshot, 3, "500", "third");
    std::list<std::string> paths = {a, b, c};

    const CRwError result = Create(paths);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(paths, (std::list<std::string>{b}));
    EXPECT_TRUE(log.Has(0, "[1] out of [3] shares are processed in snap client."));
    EXPECT_EQ(events.Events().size(), 2u);
    ASSERT_EQ(Peer::Shares(*client).size(), 1u);
    EXPECT_EQ(Peer::Shares(*client).front().exportPath, "/ifs/b");
}

TEST_F(SnapshotCreationTest, SameExportPathTwiceKeepsTheFirstReason) {
    config.SetSetting("bBackupFromSnapshotOnly", 1);
    const std::string a = Share("a", "/ifs/a", true);
    array.FailNth(ArrayOp::CreateSnapshot, 1, "500", "first");
    array.FailNth(ArrayOp::CreateSnapshot, 2, "500", "second");
    std::list<std::string> paths = {a, a + "/"};

    const CRwError result = Create(paths);
    EXPECT_EQ(CodeOf(result), 0x11000086u);
    EXPECT_EQ(CreatedPaths(), (std::vector<std::string>{"/ifs/a", "/ifs/a"}));
    EXPECT_EQ(boost::any_cast<std::string>(result.Detail()->arguments.at(0)),
              "/ifs/a: Snapshot creation failed: [first]\n");
    EXPECT_EQ(events.Events().size(), 2u);
}

TEST_F(SnapshotCreationTest, AutoMountModeResolvesThroughTheConverterWithoutAccessCheck) {
    auto mapper = boost::make_shared<CContentMapper>();
    mapper->GetPathMap() = {{"h:/ifs/a/", "/auto/a/"}};
    ASSERT_FALSE(Initialize(*client, JobIds(), mapper).IsError());
    mounts.MakeUnreadable();  // the mount table is not consulted in this mode
    Forget();
    std::list<std::string> paths = {"h:/ifs/a", "nfs://h/ifs/b", "/local/c"};

    const CRwError result = Create(paths);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(CreatedPaths(), (std::vector<std::string>{"/ifs/a", "/ifs/b"}));
    EXPECT_EQ(paths, (std::list<std::string>{"h:/ifs/a", "nfs://h/ifs/b"}));
    const std::string sa = "/auto/a/.snapshot/" + Name("/ifs/a");
    const std::string sb = "nfs://h/ifs/b/.snapshot/" + Name("/ifs/b");
    EXPECT_EQ(Peer::ContentMapperPaths(*client),
              (std::map<std::string, std::string>{{"h:/ifs/a/", sa}, {"nfs://h/ifs/b/", sb}}));
    ASSERT_EQ(Peer::Shares(*client).size(), 2u);
    EXPECT_EQ(Peer::Shares(*client).front().snapshotPath, sa);
    EXPECT_EQ(Peer::Shares(*client).front().scanPath, "h:/ifs/a");
    EXPECT_TRUE(log.Has(-1, "Couldn't get export path [/local/c]"));
    EXPECT_TRUE(log.Has(2, "NFS share path [/ifs/b]"));
    EXPECT_TRUE(log.Containing("Scan Content [").empty());
    EXPECT_TRUE(events.Events().empty());
    EXPECT_TRUE(log.Has(0, "[2] out of [3] shares are processed in snap client."));
}

TEST_F(SnapshotCreationTest, LineFeedInASharePathOrItsReadPathDropsTheShare) {
    struct Case {
        const char* name;
        std::string scanPath;
        std::map<std::string, std::string> mapperPaths;
    };
    const Case cases[] = {
        {"in the share path", "h:/ifs/a\nm:/x", {}},
        {"in the read path", "h:/ifs/b", {{"h:/ifs/b/", "/auto/b\nm:/x:/y:/"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto mapper = boost::make_shared<CContentMapper>();
        mapper->GetPathMap() = c.mapperPaths;
        Peer::ContentMapperPaths(*client).clear();
        ASSERT_FALSE(Initialize(*client, JobIds(), mapper).IsError());
        Forget();
        std::list<std::string> paths = {c.scanPath, "h:/ifs/ok"};

        const CRwError result = Create(paths);
        ASSERT_FALSE(result.IsError()) << result.AsString();
        EXPECT_EQ(CreatedPaths(), (std::vector<std::string>{"/ifs/ok"}));
        EXPECT_EQ(paths, (std::list<std::string>{"h:/ifs/ok"}));
        EXPECT_TRUE(log.Has(-1, "Scan Content [" + c.scanPath +
                                    "] contains a line feed in its path or its mapped path, "
                                    "skipping from snapshot creation."))
            << log.Dump();
        for (const auto& [key, value] : Peer::ContentMapperPaths(*client)) {
            if (c.mapperPaths.count(key)) continue;  // the mapper's own entry, untouched
            EXPECT_EQ(key.find('\n'), std::string::npos);
            EXPECT_EQ(value.find('\n'), std::string::npos);
        }
    }
}

TEST_F(SnapshotCreationTest, AutoMountExportPathsOfIPv6HostsAndRepeatedDelimiters) {
    struct Case {
        const char* scanPath;
        const char* exportPath;  // nullptr: no mount form
    };
    constexpr Case kCases[] = {
        {"[::1]:/ifs/share", "/ifs/share"},    {"[fd00:1::5]:/ifs/x:y", "/ifs/x:y"},
        {"nfs://[fd00::1]/ifs/v6", "/ifs/v6"}, {"nfs://[fd00::1]:2049/ifs/v6", "/ifs/v6"},
        {"h:/ifs//share", "/ifs/share"},       {"nfs://h/ifs//a///b/", "/ifs/a/b/"},
        {"[::1]:/ifs//v6//", "/ifs/v6/"},      {"[::1]/ifs/share", nullptr},
        {"nfs://[::1/ifs/share", nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.scanPath);
        Peer::ContentMapperPaths(*client).clear();
        Peer::Shares(*client).clear();
        ASSERT_FALSE(Initialize(*client, JobIds(), boost::make_shared<CContentMapper>()).IsError());
        Forget();
        std::list<std::string> paths = {c.scanPath, "h:/ifs/ok"};

        const CRwError result = Create(paths);
        ASSERT_FALSE(result.IsError()) << result.AsString();
        if (c.exportPath == nullptr) {
            EXPECT_EQ(CreatedPaths(), std::vector<std::string>{"/ifs/ok"});
            EXPECT_TRUE(log.Has(-1, std::string("Couldn't get export path [") + c.scanPath + "]"));
            continue;
        }
        EXPECT_EQ(CreatedPaths(), (std::vector<std::string>{c.exportPath, "/ifs/ok"}));
        EXPECT_EQ(array.CallsOf(ArrayOp::CreateSnapshot)[0].args[1], Name(c.exportPath));
        EXPECT_TRUE(log.Has(2, std::string("NFS share path [") + c.exportPath + "]"));
        ASSERT_EQ(Peer::Shares(*client).size(), 2u);
        EXPECT_EQ(Peer::Shares(*client).front().exportPath, c.exportPath);
    }
}

TEST_F(SnapshotCreationTest, SharePathsWithDotComponentsAreNotProcessed) {
    struct Case {
        const char* name;
        bool autoMount;
        const char* scanPath;
        const char* exportPath;  // nullptr: refused
    };
    const Case cases[] = {
        {"parent of a mount leads into another share", false, "/mnt/share1/../share2", nullptr},
        {"parent at the end", false, "/mnt/share1/sub/..", nullptr},
        {"dot component", false, "/mnt/share1/./x", nullptr},
        {"dot at the end", false, "/mnt/share1/.", nullptr},
        {"dots inside names are names", false, "/mnt/share1/.hidden/a..b",
         "/ifs/share1/.hidden/a..b"},
        {"auto-mount: parent component", true, "h:/ifs/share1/../share2", nullptr},
        {"auto-mount URL: dot component", true, "nfs://h/ifs/./share1", nullptr},
        {"auto-mount: dots inside names", true, "h:/ifs/..x", "/ifs/..x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ContentMapperAPIPtr mapper;
        if (c.autoMount) mapper = boost::make_shared<CContentMapper>();
        Peer::ContentMapperPaths(*client).clear();
        Peer::Shares(*client).clear();
        ASSERT_FALSE(Initialize(*client, JobIds(), mapper).IsError());
        mounts.Set({{"h:/ifs/share1", "/mnt/share1"}, {"h:/ifs/share2", "/mnt/share2"}});
        Forget();
        const std::string good = c.autoMount ? "h:/ifs/ok" : "/mnt/share2";
        const std::string goodExport = c.autoMount ? "/ifs/ok" : "/ifs/share2";
        std::list<std::string> paths = {c.scanPath, good};

        const CRwError result = Create(paths);
        ASSERT_FALSE(result.IsError()) << result.AsString();
        const std::string refusedLine = std::string("Scan Content [") + c.scanPath +
                                        "] has a \".\" or \"..\" component in its path, "
                                        "skipping from snapshot creation.";
        if (c.exportPath == nullptr) {
            EXPECT_EQ(CreatedPaths(), std::vector<std::string>{goodExport});
            EXPECT_EQ(paths, std::list<std::string>{good});
            EXPECT_TRUE(log.Has(-1, refusedLine)) << log.Dump();
            EXPECT_EQ(Peer::Shares(*client).size(), 1u);
            EXPECT_EQ(Peer::ContentMapperPaths(*client).count(std::string(c.scanPath) + "/"), 0u);
        } else {
            EXPECT_EQ(CreatedPaths(), (std::vector<std::string>{c.exportPath, goodExport}));
            EXPECT_EQ(paths, (std::list<std::string>{c.scanPath, good}));
            EXPECT_FALSE(log.Has(-1, refusedLine));
        }
    }
}

TEST_F(SnapshotCreationTest, UnreadableMountTableStopsBeforeAnyShare) {
    Share("a", "/ifs/a", true);
    mounts.MakeUnreadable();
    std::list<std::string> paths = {shares.Join("a")};

    const CRwError result = Create(paths);
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
    EXPECT_EQ(result.Detail()->trail.size(), 2u);  // the reader's failure, pushed once
    EXPECT_TRUE(array.calls.empty());
    EXPECT_TRUE(Peer::Shares(*client).empty());
}

TEST_F(SnapshotCreationTest, ConfigureSnapshotKeepsTheConnectionWhenAStepFails) {
    const std::string a = Share("a", "/ifs/a", true);

    // Retention cannot list the snapshots: the shares stay recorded.
    array.FailNext(ArrayOp::GetSnapshotList, 1, "500", "busy");
    std::list<std::string> paths = {a};
    CRwError result = client->ConfigureSnapshot(paths, {}, {});
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 500u);
    EXPECT_EQ(result.Detail()->trail.size(), 2u);
    EXPECT_TRUE(Peer::Array(*client));
    EXPECT_EQ(Peer::Shares(*client).size(), 1u);

    // Without a connection nothing starts.
    Peer::Array(*client).reset();
    Forget();
    result = client->ConfigureSnapshot(paths, {}, {});
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1359u);
    EXPECT_EQ(FXErrorUtil::MessageOf(result), "ManageIsilon not initialized");
    EXPECT_EQ(result.Detail()->trail.size(), 2u);
    EXPECT_TRUE(array.calls.empty());
}

}  // namespace
}  // namespace snapscan_test
