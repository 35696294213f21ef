#include <gtest/gtest.h>

#include "host_env.h"
#include "host/NASSnapUtil.h"

namespace snapscan_platform_test {
namespace {

constexpr const char* kPassword = "s3cr3t-Pa55word";

class CredentialsTest : public HostEnvTest {
protected:
    void SetUp() override {
        HostEnvTest::SetUp();
        // Finest level, so that no detail line could hide a leaked password.
        WriteSettings("[~FileSystemAgent]\nnLogLevel = 3\n");
        ReopenLog();
        path = configDir + "/credentials.ini";
    }
    void TearDown() override {
        EXPECT_EQ(LogText().find(kPassword), std::string::npos) << "password logged";
        HostEnvTest::TearDown();
    }

    bool Lookup(int clientId, _NASArrayInfo& info) {
        NASSnapUtil util;
        EXPECT_FALSE(util.Initialize().IsError());
        return util.GetArrayNameAndCredentialsByClientId(clientId, info);
    }

    std::string path;
};

// The documented example, inline comments and all.
const std::string kExample = std::string(
    "[client 12]\n"
    "fileServer = array.example.com:8080   ; host[:port], port 8080 when absent\n"
    "user = backup\n"
    "password = ") + kPassword + "\n"
    "caFile = /etc/snapscan/array-ca.pem  ; optional\n"
    "pinnedPublicKey = sha256//AAAA         ; optional\n"
    "insecure = 0                          ; optional, 1 skips TLS verification\n"
    "auth = session                        ; or basic\n"
    "\n"
    "[client 3000000000]\n"
    "fileServer = big.example.com\n"
    "user = DOMAIN\\\\\\\\backup\n"
    "password = " + kPassword + "\n"
    "auth = basic\n"
    "insecure = 1\n"
    "connectTimeoutSeconds = 3\n"
    "\n"
    "[client 13]\n"
    "fileServer = nopass.example.com\n"
    "user = backup\n";

TEST_F(CredentialsTest, FindsTheEntryOfTheClient) {
    WriteFile(path, kExample, 0600);
    _NASArrayInfo info;
    info.number0 = 9;
    ASSERT_TRUE(Lookup(12, info));
    EXPECT_EQ(info.text0, "client 12");
    EXPECT_EQ(info.fileServer, "array.example.com:8080");
    EXPECT_EQ(info.userName, "backup");
    EXPECT_EQ(info.password, kPassword);
    EXPECT_EQ(info.number0, 0u);
}

TEST_F(CredentialsTest, ClientIdAbove2To31IsReadUnsigned) {
    WriteFile(path, kExample, 0400);
    _NASArrayInfo info;
    const int clientId = static_cast<int>(3000000000u);  // arrives negative, same bits
    ASSERT_LT(clientId, 0);
    ASSERT_TRUE(Lookup(clientId, info));
    EXPECT_EQ(info.text0, "client 3000000000");
    EXPECT_EQ(info.fileServer, "big.example.com");
    EXPECT_EQ(info.userName, "DOMAIN\\\\\\\\backup");  // the agent's escaped form, unchanged
}

TEST_F(CredentialsTest, UnusableEntriesAreRefusedAndLogged) {
    struct Case {
        const char* name;
        bool write;
        mode_t mode;
        int clientId;
        std::vector<std::string> logged;
    };
    const std::vector<Case> kCases = {
        {"missing file", false, 0600, 12, {"credentials.ini", "No such file"}},
        {"readable by others", true, 0644, 12, {"credentials.ini", "0644", "refused"}},
        {"writable by group", true, 0620, 12, {"credentials.ini", "0620", "refused"}},
        {"no section", true, 0600, 14, {"credentials.ini", "client 14"}},
        {"no password", true, 0600, 13, {"credentials.ini", "client 13", "password"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::remove(path.c_str());
        if (c.write) WriteFile(path, kExample, c.mode);
        _NASArrayInfo info;
        info.fileServer = "untouched";
        EXPECT_FALSE(Lookup(c.clientId, info));
        EXPECT_EQ(info.fileServer, "untouched");
        EXPECT_TRUE(HasErrorLineWith(c.logged)) << LogText();
    }
}

TEST_F(CredentialsTest, ConnectionOptionsByFileServer) {
    WriteFile(path, kExample, 0600);
    NASSnapUtil util;
    ArrayConnectionOptions options;
    ASSERT_TRUE(util.GetArrayConnectionOptions("array.example.com:8080", options));
    EXPECT_EQ(options.caFile, "/etc/snapscan/array-ca.pem");
    EXPECT_EQ(options.pinnedPublicKey, "sha256//AAAA");
    EXPECT_FALSE(options.insecure);
    EXPECT_FALSE(options.basicAuth);
    EXPECT_EQ(options.connectTimeoutSeconds, 10);

    ASSERT_TRUE(util.GetArrayConnectionOptions("big.example.com", options));
    EXPECT_TRUE(options.insecure);
    EXPECT_TRUE(options.basicAuth);
    EXPECT_EQ(options.connectTimeoutSeconds, 3);
    EXPECT_EQ(options.lowSpeedTimeSeconds, 60);
    EXPECT_TRUE(options.caFile.empty());

    ArrayConnectionOptions none;
    none.caFile = "kept";
    EXPECT_FALSE(util.GetArrayConnectionOptions("unknown.example.com", none));
    EXPECT_EQ(none.caFile, "kept");
}

TEST_F(CredentialsTest, InvalidOptionsAreRefused) {
    WriteFile(path,
              std::string("[client 1]\nfileServer = a\nuser = u\npassword = ") + kPassword +
                  "\nauth = kerberos\n[client 2]\nfileServer = b\nuser = u\npassword = x\n"
                  "insecure = maybe\n",
              0600);
    NASSnapUtil util;
    ArrayConnectionOptions options;
    EXPECT_FALSE(util.GetArrayConnectionOptions("a", options));
    EXPECT_TRUE(HasErrorLineWith({"auth", "client 1"}));
    EXPECT_FALSE(util.GetArrayConnectionOptions("b", options));
    EXPECT_TRUE(HasErrorLineWith({"insecure", "client 2"}));
    EXPECT_FALSE(options.basicAuth);
    EXPECT_FALSE(options.insecure);
}

}  // namespace
}  // namespace snapscan_platform_test
