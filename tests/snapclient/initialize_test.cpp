// Job initialisation: ids and prefix, the array connection, the content
// mapper's map, and the snapshot names.
#include <map>
#include <string>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "host/ContentMapper.h"
#include "tests/doubles/plugin_test.h"
#include "tests/snapclient/snap_names.h"

namespace snapscan_test {
namespace {

const char kConnectFailed[] =
    "Unable to connect to array:[array.test]. Please check connectivity to the array and check "
    "the array management settings.";

// A mapper of the agent that is not the concrete CContentMapper.
class ForeignMapper : public ContentMapperAPI {
public:
    CRwError SetPathMap(std::map<std::string, std::string>&) override {
        return CRwError::Success();
    }
    std::string MapPath(const std::string& path) const override { return path; }
};

using InitializeTest = PluginTest;

TEST_F(InitializeTest, StoresJobIdentityAndPrefix) {
    struct Case {
        const char* name;
        JobIds ids;
        const char* prefix;
        const char* partial;
    };
    const Case cases[] = {
        {"plain", {789, 12, 33, 345, 700}, "TZOP_12_345_", "TZOP_12_345_789_"},
        // Ids at and above 2^31 print unsigned and still find their credentials,
        // which the lookup keys by the same 32 bits.
        {"client id 2^31", {5, 2147483648u, 1, 7, 4}, "TZOP_2147483648_7_", "TZOP_2147483648_7_5_"},
        {"largest ids",
         {5, 4294967295u, 1, 4294967295u, 4},
         "TZOP_4294967295_4294967295_",
         "TZOP_4294967295_4294967295_5_"},
        {"negative job id", {-1, 3, 1, 4, -2}, "TZOP_3_4_", "TZOP_3_4_18446744073709551615_"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        config.SetCredentials(c.ids.clientId, "array.test", "backup", "pw-secret");
        CIsilonSnapClient client;
        const CRwError result = Initialize(client, c.ids);
        ASSERT_FALSE(result.IsError()) << result.AsString();

        EXPECT_EQ(Peer::JobId(client), c.ids.jobId);
        EXPECT_EQ(Peer::ClientId(client), c.ids.clientId);
        EXPECT_EQ(Peer::AppType(client), c.ids.appType);
        EXPECT_EQ(Peer::SubclientId(client), c.ids.subclientId);
        EXPECT_EQ(Peer::PrevJobId(client), c.ids.prevJobId);
        EXPECT_EQ(Peer::JobResultsDir(client), config.WorkDir());
        EXPECT_EQ(Peer::ExtraText(client), "extra");
        EXPECT_EQ(Peer::SnapMapInfoFile(client), MapFile());
        EXPECT_EQ(Peer::ExtraValue1(client), 1);
        EXPECT_EQ(Peer::ExtraValue2(client), 2);
        EXPECT_EQ(Peer::ExtraValue3(client), 3);
        EXPECT_EQ(Peer::SnapNamePrefix(client), c.prefix);
        std::string partial = "stale";
        client.GetPartialSnapshotName(c.ids.jobId, partial);
        EXPECT_EQ(partial, c.partial);

        ASSERT_TRUE(Peer::AppId(client));
        EXPECT_EQ(Peer::AppId(client)->AppType(), c.ids.appType);
        EXPECT_EQ(Peer::AppId(client)->SubclientId(), c.ids.subclientId);
        EXPECT_FALSE(Peer::HasContentMapper(client));

        ASSERT_TRUE(Peer::Array(client));
        const auto opens = array.CallsOf(ArrayOp::OpenConnection);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].args, (std::vector<std::string>{"array.test", "backup", "pw-secret"}));
        EXPECT_EQ(Peer::ArrayInfo(client).fileServer, "array.test");
    }
    // Initialize writes no log line.
    EXPECT_EQ(log.DumpFrom("CIsilonSnapClient::"), "");
}

TEST_F(InitializeTest, ConnectionFailuresLeaveNoConnection) {
    struct Case {
        const char* name;
        bool credentials;
        bool openFails;
        const char* message;
        int objectsCreated;
    };
    const Case cases[] = {
        {"no credentials", false, false, "Unable to get array credentials.", 0},
        {"connection refused", true, true, kConnectFailed, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        array.Reset();
        config.RemoveCredentials("12");
        if (c.credentials) config.SetCredentials(12, "array.test", "backup", "pw-secret");
        if (c.openFails) array.FailAlways(ArrayOp::OpenConnection, "AUTH_FAILED", "denied");

        CIsilonSnapClient client;
        const CRwError result = Initialize(client, JobIds());
        ASSERT_TRUE(result.IsError());
        EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
        EXPECT_EQ(FXErrorUtil::MessageOf(result), c.message);
        // Built in InitArray, pushed by Initialize.
        ASSERT_NE(result.Detail(), nullptr);
        EXPECT_EQ(result.Detail()->trail.size(), 2u);

        EXPECT_FALSE(Peer::Array(client));
        EXPECT_FALSE(Peer::AppId(client));
        EXPECT_EQ(Peer::SnapNamePrefix(client), "TZOP_12_345_");  // stored before connecting
        EXPECT_EQ(array.objectsCreated, c.objectsCreated);
        EXPECT_EQ(array.LiveObjects(), 0);

        // InitArray alone fails the same way, without the pushed frame.
        const CRwError direct = client.InitArray(12);
        EXPECT_EQ(FXErrorUtil::MessageOf(direct), c.message);
        EXPECT_EQ(direct.Detail()->trail.size(), 1u);
    }
}

TEST_F(InitializeTest, InitArrayReusesTheOpenConnectionWithFreshCredentials) {
    auto client = MakeClient();
    ManageIsilon* const first = Peer::Array(*client).get();
    config.SetCredentials(12, "array2.test", "other", "pw-2");

    ASSERT_FALSE(client->InitArray(12).IsError());
    EXPECT_EQ(Peer::Array(*client).get(), first);
    EXPECT_EQ(array.objectsCreated, 1);
    const auto opens = array.CallsOf(ArrayOp::OpenConnection);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].object, opens[0].object);
    EXPECT_EQ(opens[1].args, (std::vector<std::string>{"array2.test", "other", "pw-2"}));

    // A failed lookup leaves the open connection alone.
    config.RemoveCredentials("12");
    const CRwError failed = client->InitArray(12);
    EXPECT_EQ(FXErrorUtil::MessageOf(failed), "Unable to get array credentials.");
    EXPECT_EQ(Peer::Array(*client).get(), first);
    EXPECT_EQ(array.CallCount(ArrayOp::OpenConnection), 2);

    // A refused reconnection drops it.
    config.SetCredentials(12, "array.test", "backup", "pw-secret");
    array.FailNext(ArrayOp::OpenConnection, 1, "AUTH_FAILED", "denied");
    EXPECT_EQ(FXErrorUtil::MessageOf(client->InitArray(12)), kConnectFailed);
    EXPECT_FALSE(Peer::Array(*client));
    EXPECT_EQ(array.LiveObjects(), 0);
}

TEST_F(InitializeTest, ContentMapperDecidesModeAndMap) {
    const std::map<std::string, std::string> earlier = {{"/mnt/old/", "/mnt/old/"}};
    const std::map<std::string, std::string> given = {{"h:/ifs/a/", "/auto/a/"},
                                                      {"h:/ifs/b/", "/auto/b/"}};

    // An empty handle keeps whatever map the client had.
    auto client = MakeClient();
    Peer::SetContentMapperPaths(*client, earlier);
    ASSERT_FALSE(Initialize(*client, JobIds()).IsError());
    EXPECT_FALSE(Peer::HasContentMapper(*client));
    EXPECT_EQ(Peer::ContentMapperPaths(*client), earlier);

    // A CContentMapper's map replaces it entirely.
    auto mapper = boost::make_shared<CContentMapper>();
    mapper->GetPathMap() = given;
    ASSERT_FALSE(Initialize(*client, JobIds(), mapper).IsError());
    EXPECT_TRUE(Peer::HasContentMapper(*client));
    EXPECT_EQ(Peer::ContentMapperPaths(*client), given);

    // Any other mapper is refused after the connection was made.
    array.Reset();
    Peer::SetContentMapperPaths(*client, earlier);
    Peer::Array(*client).reset();
    const CRwError result = Initialize(*client, JobIds(), boost::make_shared<ForeignMapper>());
    ASSERT_TRUE(result.IsError());
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 160u);
    EXPECT_EQ(FXErrorUtil::MessageOf(result), "Dynamic cast failed for ContentMapper");
    EXPECT_TRUE(Peer::HasContentMapper(*client));
    EXPECT_EQ(Peer::ContentMapperPaths(*client), earlier);
    EXPECT_TRUE(Peer::Array(*client));
    EXPECT_EQ(array.connectionsOpened, 1);
}

TEST_F(InitializeTest, SnapshotNamesAreStableAndScopedByJob) {
    auto client = MakeClient();
    const std::string prefix = "TZOP_12_345_";
    struct Case {
        LONGLONG jobId;
        const char* path;
    };
    const Case cases[] = {{789, "/ifs/data/projects"},
                          {700, "/ifs/data/projects"},
                          {789, "/ifs/data/other"},
                          {-5, "/ifs/x"},
                          {0, "/"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.jobId) + " " + c.path);
        std::string name = "stale";
        client->GetSnapshotName(c.jobId, c.path, name);
        EXPECT_EQ(name, FullName(prefix, c.jobId, c.path));
        std::string again;
        client->GetSnapshotName(c.jobId, c.path, again);
        EXPECT_EQ(again, name);
    }
    std::string a, b;
    client->GetSnapshotName(789, "/ifs/data/projects", a);
    client->GetSnapshotName(789, "/ifs/data/other", b);
    const std::string partial = "TZOP_12_345_789_";
    ASSERT_EQ(a.compare(0, partial.size(), partial), 0);
    ASSERT_EQ(b.compare(0, partial.size(), partial), 0);
    EXPECT_NE(a, b);
    EXPECT_GT(a.size(), partial.size());
}

TEST_F(InitializeTest, DestroyingTheClientReleasesItsConnection) {
    {
        auto client = MakeClient();
        EXPECT_EQ(array.LiveObjects(), 1);
    }
    EXPECT_EQ(array.LiveObjects(), 0);
}

}  // namespace
}  // namespace snapscan_test
