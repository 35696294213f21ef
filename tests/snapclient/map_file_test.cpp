// The snapshot map file and the content mapper's path map, in both directions.
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "host/ContentMapper.h"
#include "tests/doubles/plugin_test.h"

namespace snapscan_test {
namespace {

using PathMap = std::map<std::string, std::string>;

const char kClient[] = "CIsilonSnapClient::";
const char kNoSpace[] = "Failed to write [/dev/full] file: No space left on device";

// The agent's mapper as an interface only: records what it was given.
class RecordingMapper : public ContentMapperAPI {
public:
    CRwError SetPathMap(PathMap& pathMap) override {
        given.push_back(pathMap);
        return CRwError::Success();
    }
    std::string MapPath(const std::string& path) const override { return path; }
    std::vector<PathMap> given;
};

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class MapFileTest : public PluginTest {
protected:
    void SetUp() override {
        client = MakeClient();
        log.Clear();
    }

    void Use(const std::string& mapFile, const PathMap& paths) {
        Peer::SetSnapMapInfoFile(*client, mapFile);
        Peer::SetContentMapperPaths(*client, paths);
    }

    std::unique_ptr<CIsilonSnapClient> client;
    TempDir dir;
};

const PathMap kTwoShares = {{"/mnt/b/", "/mnt/b/"},
                            {"/mnt/a/", "/mnt/a/.snapshot/TZOP_12_345_789_x"}};
const char kTwoSharesLines[] =
    "m:/mnt/a/:/mnt/a/.snapshot/TZOP_12_345_789_x:\n"
    "m:/mnt/b/:/mnt/b/:\n";

TEST_F(MapFileTest, AppendsOneLinePerEntryInByteOrder) {
    struct Case {
        const char* name;
        std::optional<std::string> before;  // nullopt: no file yet
        PathMap paths;
        int calls;
        std::string after;
    };
    const Case cases[] = {
        {"empty map creates an empty file", std::nullopt, {}, 1, ""},
        {"empty map leaves the file alone", std::string("agent line\n"), {}, 1, "agent line\n"},
        {"entries in key order", std::nullopt, kTwoShares, 1, kTwoSharesLines},
        {"appended after what is there", std::string("agent line\n"), kTwoShares, 1,
         std::string("agent line\n") + kTwoSharesLines},
        {"twice gives every line twice", std::nullopt, kTwoShares, 2,
         std::string(kTwoSharesLines) + kTwoSharesLines},
        {"bytes as they are",
         std::nullopt,
         {{"h:/ifs/x/", "/auto/x y/"}, {"/mnt/Z/", "/mnt/Z/"}, {"/mnt/a/", "/r"}},
         1,
         "m:/mnt/Z/:/mnt/Z/:\nm:/mnt/a/:/r:\nm:h:/ifs/x/:/auto/x y/:\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.Join("map" + std::to_string(++n));
        if (c.before) dir.WriteFile("map" + std::to_string(n), *c.before);
        Use(file, c.paths);
        for (int i = 0; i < c.calls; ++i) {
            const CRwError result = client->AddSnapDevInfo();
            ASSERT_FALSE(result.IsError()) << result.AsString();
        }
        EXPECT_EQ(ReadFile(file), c.after);
        EXPECT_EQ(Peer::ContentMapperPaths(*client), c.paths);
    }
    EXPECT_EQ(log.DumpFrom(kClient), "");
}

// Entries from the agent's mapper never went through snapshot creation's
// checks: a line feed in any entry would forge lines of its own.
TEST_F(MapFileTest, EntriesWithALineFeedAreNotWrittenWhereverTheyCameFrom) {
    enum class Via { AddSnapDevInfo, Update, Repopulate };
    struct Case {
        const char* name;
        Via via;
        PathMap paths;
        std::string lines;
        std::vector<std::string> refusedKeys;
    };
    const Case cases[] = {
        {"line feed in a key",
         Via::AddSnapDevInfo,
         {{"/mnt/a\nm:/etc/:/x/", "/r/"}, {"/mnt/b/", "/mnt/b/"}},
         "m:/mnt/b/:/mnt/b/:\n",
         {"/mnt/a\nm:/etc/:/x/"}},
        {"line feed in a read path",
         Via::AddSnapDevInfo,
         {{"/mnt/a/", "/r\nm:/etc/:/x"}, {"/mnt/b/", "/mnt/b/"}},
         "m:/mnt/b/:/mnt/b/:\n",
         {"/mnt/a/"}},
        {"line feed at the end of a read path",
         Via::AddSnapDevInfo,
         {{"/mnt/a/", "/mnt/a/\n"}},
         "",
         {"/mnt/a/"}},
        {"carriage return is a byte like others",
         Via::AddSnapDevInfo,
         {{"/mnt/a/", "/r\r"}},
         "m:/mnt/a/:/r\r:\n",
         {}},
        {"handed to the mapper and the file",
         Via::Update,
         {{"/mnt/a/", "/r\nm:/etc/:/x"}, {"/mnt/b/", "/mnt/b/"}},
         "m:/mnt/b/:/mnt/b/:\n",
         {"/mnt/a/"}},
        {"taken back from the agent's mapper",
         Via::Repopulate,
         {{"h:/ifs/a\nm:/etc/", "/auto/a/"}, {"h:/ifs/b/", "/auto/b\n"}, {"h:/ifs/c/", "/auto/c/"}},
         "m:h:/ifs/c/:/auto/c/:\n",
         {"h:/ifs/a\nm:/etc/", "h:/ifs/b/"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        const std::string file = dir.Join("lf" + std::to_string(++n));
        CRwError result;
        if (c.via == Via::Repopulate) {
            auto mapper = boost::make_shared<CContentMapper>();
            mapper->GetPathMap() = c.paths;
            ContentMapperAPIPtr handle = mapper;
            Use(file, {});
            result = client->RepopulateContentMapperPaths(handle);
        } else if (c.via == Via::Update) {
            Use(file, c.paths);
            ContentMapperAPIPtr handle;
            result = client->UpdateContentMapperPaths(handle);
        } else {
            Use(file, c.paths);
            result = client->AddSnapDevInfo();
        }
        ASSERT_FALSE(result.IsError()) << result.AsString();
        EXPECT_EQ(ReadFile(file), c.lines);
        std::vector<std::string> refused;
        for (const std::string& key : c.refusedKeys)
            refused.push_back("Content mapper path [" + key +
                              "] contains a line feed in its path or its mapped path, skipping "
                              "from the snapshot map file.");
        EXPECT_EQ(log.TextsAt(-1), refused) << log.Dump();
        EXPECT_EQ(Peer::ContentMapperPaths(*client), c.paths) << "the map itself is the agent's";
    }
}

TEST_F(MapFileTest, FailuresNameTheFile) {
    const std::string missingDir = dir.Join("no/such/dir/map");
    struct Case {
        const char* name;
        std::string file;
        PathMap paths;
        std::string message;  // empty: success
    };
    const Case cases[] = {
        {"no map file", "", kTwoShares, "SnapMapInfo file not set"},
        {"cannot be opened", missingDir, kTwoShares, " Failed to open [" + missingDir + "] file"},
        {"a directory", dir.Path(), kTwoShares, " Failed to open [" + dir.Path() + "] file"},
        // Writes are buffered, so a full device shows when the file is closed.
        {"device full", "/dev/full", kTwoShares, kNoSpace},
        {"device full, nothing to write", "/dev/full", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Use(c.file, c.paths);
        const CRwError result = client->AddSnapDevInfo();
        if (c.message.empty()) {
            EXPECT_FALSE(result.IsError()) << result.AsString();
        } else {
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
            EXPECT_EQ(FXErrorUtil::MessageOf(result), c.message);
        }
    }
    EXPECT_FALSE(Exists(missingDir));
}

TEST_F(MapFileTest, UpdateHandsTheMapToTheMapperAndAppendsIt) {
    const std::string file = dir.Join("map");
    Use(file, kTwoShares);

    // Without a mapper the client makes one and hands it back.
    ContentMapperAPIPtr handle;
    ASSERT_FALSE(client->UpdateContentMapperPaths(handle).IsError());
    auto made = boost::dynamic_pointer_cast<CContentMapper>(handle);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->GetPathMap(), kTwoShares);
    EXPECT_EQ(log.TextsAt(0),
              (std::vector<std::string>{
                  "Content mapper path: /mnt/a/ : /mnt/a/.snapshot/TZOP_12_345_789_x",
                  "Content mapper path: /mnt/b/ : /mnt/b/"}));

    // A given mapper is used as it is, and the file grows.
    auto recording = boost::make_shared<RecordingMapper>();
    ContentMapperAPIPtr given = recording;
    ASSERT_FALSE(client->UpdateContentMapperPaths(given).IsError());
    EXPECT_EQ(given.get(), recording.get());
    EXPECT_EQ(recording->given, (std::vector<PathMap>{kTwoShares}));
    EXPECT_EQ(ReadFile(file), std::string(kTwoSharesLines) + kTwoSharesLines);

    // A map file that cannot take the lines: the mapper still got the map.
    Use("/dev/full", kTwoShares);
    const CRwError full = client->UpdateContentMapperPaths(given);
    EXPECT_EQ(FXErrorUtil::MessageOf(full), kNoSpace);
    EXPECT_EQ(full.Detail()->trail.size(), 2u);
    EXPECT_EQ(recording->given.size(), 2u);
}

TEST_F(MapFileTest, UpdateWithAnEmptyMapOnlyWritesTheFile) {
    struct Case {
        const char* name;
        std::string file;
        const char* message;  // nullptr: success
    };
    const Case cases[] = {{"map file set", dir.Join("map"), nullptr},
                          {"no map file", "", "SnapMapInfo file not set"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Use(c.file, {});
        ContentMapperAPIPtr handle;
        const CRwError result = client->UpdateContentMapperPaths(handle);
        EXPECT_FALSE(handle);  // no mapper made for nothing
        if (c.message == nullptr) {
            EXPECT_FALSE(result.IsError()) << result.AsString();
            EXPECT_TRUE(Exists(c.file));
        } else {
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
            EXPECT_EQ(FXErrorUtil::MessageOf(result), c.message);
            EXPECT_EQ(result.Detail()->trail.size(), 2u);  // pushed by Update
        }
    }
}

TEST_F(MapFileTest, RepopulateRewritesTheFileFromTheMappersMap) {
    const std::string file = dir.Join("map");
    Use(file, {{"/mnt/old/", "/mnt/old/"}});
    ContentMapperAPIPtr handle;
    ASSERT_FALSE(client->UpdateContentMapperPaths(handle).IsError());
    auto mapper = boost::dynamic_pointer_cast<CContentMapper>(handle);
    mapper->GetPathMap() = kTwoShares;

    ASSERT_FALSE(client->RepopulateContentMapperPaths(handle).IsError());
    EXPECT_EQ(ReadFile(file), kTwoSharesLines);  // each entry exactly once, the old one gone
    EXPECT_EQ(Peer::ContentMapperPaths(*client), kTwoShares);
    EXPECT_TRUE(Peer::HasContentMapper(*client));
}

TEST_F(MapFileTest, RepopulateRefusals) {
    const std::string file = dir.WriteFile("map", "agent line\n");
    const std::string missingDir = dir.Join("no/such/dir/map");
    const PathMap before = {{"/mnt/old/", "/mnt/old/"}};
    auto good = boost::make_shared<CContentMapper>();
    good->GetPathMap() = kTwoShares;
    struct Case {
        const char* name;
        ContentMapperAPIPtr mapper;
        std::string mapFile;
        uint32_t code;  // 0: success
        std::string message;
        bool flagAfter;
        PathMap mapAfter;
    };
    const Case cases[] = {
        {"no mapper", ContentMapperAPIPtr(), file, 0, "", false, before},
        {"not a CContentMapper", boost::make_shared<RecordingMapper>(), file, 160,
         "Dynamic cast failed for ContentMapper", true, before},
        {"no map file", good, "", 1627, "SnapMapInfo file not set", true, {}},
        // A map file that cannot be rewritten is reported, not passed as done.
        {"map file cannot be opened", good, missingDir, 1627,
         " Failed to open [" + missingDir + "] file", true, kTwoShares},
        {"map file full", good, "/dev/full", 1627, kNoSpace, true, kTwoShares},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        Use(c.mapFile, before);
        ContentMapperAPIPtr handle = c.mapper;
        // Start in mount-table mode to see whether the flag moves.
        ASSERT_FALSE(Initialize(*client, JobIds()).IsError());
        Use(c.mapFile, before);

        const CRwError result = client->RepopulateContentMapperPaths(handle);
        if (c.code == 0) {
            EXPECT_FALSE(result.IsError()) << result.AsString();
            EXPECT_EQ(log.TextsAt(0),
                      (std::vector<std::string>{"Given content mapper is not initialized!"}));
        } else {
            EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), c.code);
            EXPECT_EQ(FXErrorUtil::MessageOf(result), c.message);
        }
        EXPECT_EQ(Peer::HasContentMapper(*client), c.flagAfter);
        EXPECT_EQ(Peer::ContentMapperPaths(*client), c.mapAfter);
        EXPECT_EQ(ReadFile(file), "agent line\n");
    }
}

}  // namespace
}  // namespace snapscan_test
