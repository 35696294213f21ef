#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

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
const std::string kExample =
    std::string(
        "[client 12]\n"
        "fileServer = array.example.com:8080   ; host[:port], port 8080 when absent\n"
        "user = backup\n"
        "password = ") +
    kPassword +
    "\n"
    "caFile = /etc/snapscan/array-ca.pem  ; optional\n"
    "pinnedPublicKey = sha256//AAAA         ; optional\n"
    "insecure = 0                          ; optional, 1 skips TLS verification\n"
    "auth = session                        ; or basic\n"
    "\n"
    "[client 3000000000]\n"
    "fileServer = big.example.com\n"
    "user = DOMAIN\\\\\\\\backup\n"
    "password = " +
    kPassword +
    "\n"
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

TEST_F(CredentialsTest, ConnectionOptionsOfTheEntry) {
    WriteFile(path, kExample, 0600);
    NASSnapUtil util;
    ArrayConnectionOptions options;
    ASSERT_TRUE(util.GetArrayConnectionOptions("client 12", "array.example.com:8080", options));
    EXPECT_EQ(options.caFile, "/etc/snapscan/array-ca.pem");
    EXPECT_EQ(options.pinnedPublicKey, "sha256//AAAA");
    EXPECT_FALSE(options.insecure);
    EXPECT_FALSE(options.basicAuth);
    EXPECT_EQ(options.connectTimeoutSeconds, 10);

    ASSERT_TRUE(util.GetArrayConnectionOptions("client 3000000000", "big.example.com", options));
    EXPECT_TRUE(options.insecure);
    EXPECT_TRUE(options.basicAuth);
    EXPECT_EQ(options.connectTimeoutSeconds, 3);
    EXPECT_EQ(options.lowSpeedTimeSeconds, 60);
    EXPECT_TRUE(options.caFile.empty());

    ArrayConnectionOptions none;
    none.caFile = "kept";
    EXPECT_FALSE(util.GetArrayConnectionOptions("", "unknown.example.com", none));
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
    EXPECT_FALSE(util.GetArrayConnectionOptions("client 1", "a", options));
    EXPECT_TRUE(HasErrorLineWith({"auth", "client 1"}));
    EXPECT_FALSE(util.GetArrayConnectionOptions("client 2", "b", options));
    EXPECT_TRUE(HasErrorLineWith({"insecure", "client 2"}));
    EXPECT_FALSE(options.basicAuth);
    EXPECT_FALSE(options.insecure);
}

// Two clients of one array: each connects with its own entry's TLS options,
// whichever comes first in the file. Without an entry name, disagreeing entries
// are refused rather than chosen by their order.
TEST_F(CredentialsTest, EachClientGetsItsOwnEntrysOptionsWhateverTheOrder) {
    const std::string strict =
        std::string("[client 1]\nfileServer = array\nuser = u\npassword = ") + kPassword +
        "\ncaFile = /ca.pem\n";
    const std::string loose = std::string("[client 2]\nfileServer = array\nuser = u\npassword = ") +
                              kPassword + "\ninsecure = 1\nauth = basic\n";
    for (const std::string& text : {strict + loose, loose + strict}) {
        SCOPED_TRACE(text.substr(0, 10));
        WriteFile(path, text, 0600);
        NASSnapUtil util;
        ArrayConnectionOptions one;
        ASSERT_TRUE(util.GetArrayConnectionOptions("client 1", "array", one));
        EXPECT_FALSE(one.insecure);
        EXPECT_FALSE(one.basicAuth);
        EXPECT_EQ(one.caFile, "/ca.pem");
        ArrayConnectionOptions two;
        ASSERT_TRUE(util.GetArrayConnectionOptions("client 2", "array", two));
        EXPECT_TRUE(two.insecure);
        EXPECT_TRUE(two.basicAuth);
        ArrayConnectionOptions unnamed;
        EXPECT_FALSE(util.GetArrayConnectionOptions("", "array", unnamed));
        EXPECT_FALSE(unnamed.insecure);
        // An entry of another file server is not taken for this one.
        EXPECT_FALSE(util.GetArrayConnectionOptions("client 1", "other", unnamed));
    }
}

// Values are read exactly: a quoted password keeps its comment characters and
// blanks; a BOM and CRLF line ends are accepted; anything unreadable names its
// line and is refused, never skipped.
TEST_F(CredentialsTest, TheFileIsReadExactlyOrRefusedWithItsLine) {
    struct Case {
        const char* name;
        std::string text;
        bool readable;
        std::string password;  // when readable
        std::string problem;   // when not
    };
    const std::string head = "[client 5]\nfileServer = a\nuser = u\n";
    const Case kCases[] = {
        {"quoted", head + "password = \"p ;w #x\"   ; comment\n", true, "p ;w #x", ""},
        {"unquoted with ; and #", head + "password = p;w#x\n", true, "p;w#x", ""},
        {"comment after blank", head + "password = pw ;c\n", true, "pw", ""},
        {"bom and crlf",
         "\xEF\xBB\xBF[client 5]\r\nfileServer = a\r\nuser = u\r\npassword = pw\r\n", true, "pw",
         ""},
        {"stray line", head + "password = pw\njunk\n", false, "", "line 5"},
        {"unclosed quote", head + "password = \"pw\n", false, "", "line 4"},
        {"key twice", head + "password = a\npassword = b\n", false, "", "line 5"},
        {"key outside section", "password = pw\n" + head, false, "", "line 1"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, c.text, 0600);
        _NASArrayInfo info;
        NASSnapUtil util;
        std::string problem;
        EXPECT_EQ(util.CheckCredentials(5, problem), c.readable) << problem;
        EXPECT_EQ(Lookup(5, info), c.readable);
        if (c.readable) {
            EXPECT_EQ(info.password, c.password);
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
            EXPECT_NE(problem.find(path), std::string::npos) << problem;
        }
        EXPECT_EQ(problem.find("pw"), std::string::npos) << "a value in the problem: " << problem;
    }
}

// Whoever else can write or swap the file could point the job at another array:
// a link, a FIFO (which would block the read forever), a file of another user,
// or a directory others can write are refused, each with its reason.
TEST_F(CredentialsTest, UntrustedFilesAreRefusedWithoutBlocking) {
    const std::string text =
        std::string("[client 5]\nfileServer = a\nuser = u\npassword = ") + kPassword + "\n";
    const std::string real = configDir + "/real.ini";
    struct Case {
        const char* name;
        std::function<void()> make;
        const char* reason;
    };
    const Case kCases[] = {
        {"symbolic link",
         [&] {
             WriteFile(real, text, 0600);
             ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
         },
         "cannot be opened"},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, "not a regular file"},
        {"directory others can write",
         [&] {
             WriteFile(path, text, 0600);
             ASSERT_EQ(::chmod(configDir.c_str(), 0777), 0);
         },
         "which others can write"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::remove(path.c_str());
        c.make();
        NASSnapUtil util;
        std::string problem;
        EXPECT_FALSE(util.CheckCredentials(5, problem));
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
        _NASArrayInfo info;
        EXPECT_FALSE(Lookup(5, info));
        ASSERT_EQ(::chmod(configDir.c_str(), 0700), 0);
    }
    if (::geteuid() == 0) {  // only root can give a file away
        std::remove(path.c_str());
        WriteFile(path, text, 0600);
        ASSERT_EQ(::chown(path.c_str(), 12345, 12345), 0);
        NASSnapUtil util;
        std::string problem;
        EXPECT_FALSE(util.CheckCredentials(5, problem));
        EXPECT_NE(problem.find("owned by user 12345"), std::string::npos) << problem;
    }
}

}  // namespace
}  // namespace snapscan_platform_test
