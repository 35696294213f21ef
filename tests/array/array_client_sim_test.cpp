// The real array client against the emulator, over HTTP and HTTPS: every
// operation, every class of failure, TLS trust, and no secret in any text.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "array_contract.h"
#include "tests/support/temp_files.h"
#include "tests/support/test_certificates.h"
#include "tests/support/arraysim_process.h"
#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"
#include "host/ManageIsilon.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "backup";
constexpr const char* kPassword = "Pw-7f3c9e1d-not-for-logs";
constexpr size_t kExcerptBytes = 200;  // what the client shows of an array's text

using snapscan_test::ReadFile;
using snapscan_test::WriteFile;

struct LastError {
    std::string code, message;
};

LastError ErrorOf(const ManageIsilon& array) {
    LastError e;
    array.GetLastError(e.code, e.message);
    return e;
}

using Certificates = snapscan_test::TestCertificates;

class ArrayClientSim : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "snapscan-array-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        s_root = pattern;
        fs::create_directories(s_root + "/config");
        fs::create_directories(s_root + "/log");
        setenv("SNAPSCAN_CONFIG_DIR", (s_root + "/config").c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", (s_root + "/log").c_str(), 1);
        WriteFile(s_root + "/config/settings.ini", "[~FileSystemAgent]\nnLogLevel = 3\n");
        g_ptrLogWriter = CreateFileLogWriter();
        MakeCertificates();
    }

    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(s_root, ignored);
    }

    static void MakeCertificates() {
        s_certs = snapscan_test::MakeTestCertificates(s_root + "/tls");
    }

    void SetUp() override {
        m_work = s_root + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(m_work + "/ifs/data/x/d");
        WriteFile(m_work + "/ifs/data/x/keep", "same");
        WriteFile(m_work + "/ifs/data/x/change", "before");
        WriteFile(m_work + "/ifs/data/x/gone", "bye");
        WriteFile(m_work + "/ifs/data/x/d/old-name", "moving");
    }

    void TearDown() override { m_sim.Stop(); }

    // Starts the emulator over the test's tree and writes the credentials entry
    // that names it, with the given extra option lines.
    void StartSim(std::vector<std::string> args = {}, const std::string& options = "",
                  bool tls = false) {
        args.insert(args.end(),
                    {"--root", m_work + "/ifs", "--user", kUser, "--password", kPassword});
        if (tls) args.insert(args.end(), {"--cert", s_certs.cert, "--key", s_certs.key});
        std::string error;
        ASSERT_TRUE(m_sim.Start(ARRAYSIM_PATH, m_work, args, error)) << error;
        m_fileServer = tls ? m_sim.HostPort() : m_sim.Url();
        WriteCredentials(options);
    }

    void WriteCredentials(const std::string& options) {
        std::string path = s_root + "/config/credentials.ini";
        WriteFile(path, "[client 1]\nfileServer = " + m_fileServer + "\nuser = " + kUser +
                            "\npassword = " + kPassword + "\n" + options);
        chmod(path.c_str(), 0600);
    }

    std::unique_ptr<ManageIsilon> Client(const std::string& password = kPassword) {
        auto array = std::make_unique<ManageIsilon>();
        array->SetFileServer(m_fileServer);
        array->SetUser(kUser);
        array->SetPasswd(password);
        return array;
    }

    std::unique_ptr<ManageIsilon> Connected() {
        auto array = Client();
        EXPECT_TRUE(array->OpenConnection()) << ErrorOf(*array).message;
        return array;
    }

    void AddFault(const nlohmann::json& rule) {
        std::string answer;
        ASSERT_EQ(m_sim.Control("POST", "/arraysim/faults", rule.dump(), &answer) / 100, 2)
            << answer;
    }

    void SimControl(const nlohmann::json& control) {
        std::string answer;
        ASSERT_EQ(m_sim.Control("POST", "/arraysim/control", control.dump(), &answer) / 100, 2)
            << answer;
    }

    // Requests the emulator saw, as "METHOD path status auth".
    std::vector<std::string> Requests() {
        std::string answer;
        m_sim.Control("GET", "/arraysim/requests", "", &answer);
        std::vector<std::string> out;
        nlohmann::json j = nlohmann::json::parse(answer, nullptr, false);
        if (!j.is_object() || !j.contains("requests")) return out;
        for (const auto& r : j["requests"])
            out.push_back(r.value("method", "") + " " + r.value("path", "") + " " +
                          std::to_string(r.value("status", 0)) + " " + r.value("auth", ""));
        return out;
    }

    static size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    static std::string LogText() { return ReadFile(s_root + "/log/snapscan.log"); }

    int CreateSnapshot(ManageIsilon& array, const std::string& name) {
        int id = 0;
        EXPECT_TRUE(array.CreateSnapshot("/ifs/data/x", name, id)) << ErrorOf(array).message;
        return id;
    }

    // Every page of the pair's changelist, after the job was started.
    std::vector<_IsilonChangeListItem> ReadChangelist(ManageIsilon& array, uint64_t base,
                                                      uint64_t incr, size_t* pages = nullptr) {
        std::vector<_IsilonChangeListItem> all;
        _IsilonChangeListInfo page;
        size_t count = 0;
        do {
            CRwError result = array.GetSnapshotChangeList(base, incr, page);
            EXPECT_FALSE(result.IsError()) << ErrorOf(array).message;
            if (result.IsError()) break;
            all.insert(all.end(), page.items.begin(), page.items.end());
            ++count;
        } while (!page.resumeToken.empty() && count < 10000);
        if (pages) *pages = count;
        return all;
    }

    static std::string s_root;
    static Certificates s_certs;
    std::string m_work;
    std::string m_fileServer;
    ArraySimProcess m_sim;
};

std::string ArrayClientSim::s_root;
Certificates ArrayClientSim::s_certs;

TEST_F(ArrayClientSim, SnapshotsVersionAndJobTypeOverASession) {
    StartSim({"--release", "v9.1.0.0", "--changelist-disabled"});
    auto array = Connected();

    std::vector<_IsilonVersionInfo> versions;
    ASSERT_FALSE(array->GetVersionInfo(versions).IsError()) << ErrorOf(*array).message;
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0].release, "v9.1.0.0");
    EXPECT_EQ(versions[0].text3, "cluster1");

    _ChangeListCreateJobInfo info;
    ASSERT_FALSE(array->GetChangeListJobInfo(info).IsError()) << ErrorOf(*array).message;
    EXPECT_FALSE(info.enabled);
    info.enabled = true;
    ASSERT_FALSE(array->SetChangeListJobInfo(info).IsError()) << ErrorOf(*array).message;
    _ChangeListCreateJobInfo again;
    ASSERT_FALSE(array->GetChangeListJobInfo(again).IsError());
    EXPECT_TRUE(again.enabled);

    int first = CreateSnapshot(*array, "TZOP_1_2_10_a b+c%");  // a name that needs escaping
    int second = CreateSnapshot(*array, "TZOP_1_2_11_x");
    EXPECT_NE(first, second);
    int id = 77;
    EXPECT_FALSE(array->CreateSnapshot("/ifs/data/x", "TZOP_1_2_11_x", id));
    EXPECT_EQ(ErrorOf(*array).code, "AEC_CONFLICT");

    std::vector<_IsilonSnapInfo> snapshots;
    ASSERT_TRUE(array->GetSnapshotList(snapshots, "", "")) << ErrorOf(*array).message;
    std::set<std::string> names;
    for (const _IsilonSnapInfo& s : snapshots) {
        names.insert(s.name);
        if (s.id == first) {
            EXPECT_EQ(s.path, "/ifs/data/x");
        }
    }
    EXPECT_EQ(names, (std::set<std::string>{"TZOP_1_2_10_a b+c%", "TZOP_1_2_11_x"}));

    EXPECT_TRUE(array->DeleteSnapshot("Empty", "TZOP_1_2_10_a b+c%", 0)) << ErrorOf(*array).message;
    EXPECT_FALSE(array->DeleteSnapshot("Empty", "TZOP_1_2_10_a b+c%", 0));
    EXPECT_EQ(ErrorOf(*array).code, "AEC_NOT_FOUND");
    EXPECT_FALSE(array->DeleteSnapshot("Empty", "", 0));
    ASSERT_TRUE(array->GetSnapshotList(snapshots, "", ""));
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(snapshots[0].name, "TZOP_1_2_11_x");

    // One login for everything above, and the session is ended with the object.
    array.reset();
    std::vector<std::string> requests = Requests();
    EXPECT_EQ(Count(requests, "POST /session/1/session 201"), 1u);
    EXPECT_EQ(Count(requests, "DELETE /session/1/session 204"), 1u);
}

TEST_F(ArrayClientSim, SnapshotListFollowsEveryPage) {
    StartSim({"--no-snapshot-dir"});
    auto array = Connected();
    const int total = 1003;  // the client asks for 1000 at a time
    for (int i = 0; i < total; ++i) {
        int id = 0;
        ASSERT_TRUE(array->CreateSnapshot("/ifs/data/x", "s" + std::to_string(i), id))
            << ErrorOf(*array).message;
    }
    std::vector<_IsilonSnapInfo> snapshots;
    ASSERT_TRUE(array->GetSnapshotList(snapshots, "", "")) << ErrorOf(*array).message;
    EXPECT_EQ(snapshots.size(), static_cast<size_t>(total));
    std::set<std::string> names;
    for (const auto& s : snapshots) names.insert(s.name);
    EXPECT_EQ(names.size(), static_cast<size_t>(total));
    EXPECT_EQ(Count(Requests(), "GET /platform/1/snapshot/snapshots 200"), 2u);
}

TEST_F(ArrayClientSim, ChangelistOfRealChanges) {
    StartSim();
    auto array = Connected();
    uint64_t base = static_cast<uint64_t>(CreateSnapshot(*array, "base"));
    fs::remove(m_work + "/ifs/data/x/gone");
    WriteFile(m_work + "/ifs/data/x/change", "after, longer");
    WriteFile(m_work + "/ifs/data/x/added", "new");
    fs::rename(m_work + "/ifs/data/x/d/old-name", m_work + "/ifs/data/x/d/new-name");
    uint64_t incr = static_cast<uint64_t>(CreateSnapshot(*array, "incr"));

    ASSERT_FALSE(array->CreateSnapshotChangeList(base, incr, true).IsError())
        << ErrorOf(*array).message;
    std::vector<_IsilonChangeListItem> items = ReadChangelist(*array, base, incr);
    std::set<std::string> present, removed;
    const uint64_t kRemoved = 0x2000000000000000ull;
    for (const auto& item : items) {
        ASSERT_FALSE(item.path.empty());
        EXPECT_EQ(item.path[0], '/') << item.path;
        uint64_t inode = std::strtoull(item.inode.c_str(), nullptr, 10);
        (inode & kRemoved ? removed : present).insert(item.path);
    }
    EXPECT_TRUE(present.count("/added"));
    EXPECT_TRUE(present.count("/change"));
    EXPECT_TRUE(present.count("/d/new-name"));
    EXPECT_FALSE(present.count("/keep"));
    EXPECT_TRUE(removed.count("/gone"));
    EXPECT_TRUE(removed.count("/d/old-name"));
    for (const auto& item : items) {
        if (item.path == "/added") {
            EXPECT_EQ(item.size, 3);
            EXPECT_EQ(item.changeType, "regular");
            EXPECT_GT(item.modifiedTime, 0u);
        }
    }

    // While the job runs the changelist is "not ready", and the caller may ask again.
    uint64_t later = static_cast<uint64_t>(CreateSnapshot(*array, "later"));
    SimControl({{"job_delay_ms", 600000}});
    ASSERT_FALSE(array->CreateSnapshotChangeList(base, later, true).IsError())
        << ErrorOf(*array).message;
    _IsilonChangeListInfo page;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_TRUE(array->GetSnapshotChangeList(base, later, page).IsError());
        LastError notReady = ErrorOf(*array);
        EXPECT_EQ(notReady.code, "AEC_NOT_FOUND");
        EXPECT_NE(notReady.message.find("not ready"), std::string::npos) << notReady.message;
    }
}

TEST_F(ArrayClientSim, NamesThatAreNotUtf8ReachTheCallerByteForByte) {
    StartSim();
    auto array = Connected();
    uint64_t base = static_cast<uint64_t>(CreateSnapshot(*array, "base"));
    const std::string kNames[] = {
        "caf\xe9",  // Latin-1
        "\x80\xbf"
        "lone",         // continuation bytes without a lead
        "caf\xc3\xa9",  // the same name in UTF-8, beside it
        "a\\b \"q\"",   // JSON escapes
    };
    for (const std::string& name : kNames) WriteFile(m_work + "/ifs/data/x/" + name, "new");
    fs::create_directories(m_work + "/ifs/data/x/\xe9t\xe9");
    WriteFile(m_work + "/ifs/data/x/\xe9t\xe9/\xff", "deep");
    fs::rename(m_work + "/ifs/data/x/keep", m_work +
                                                "/ifs/data/x/k\xe9"
                                                "ep");
    uint64_t incr = static_cast<uint64_t>(CreateSnapshot(*array, "incr"));

    ASSERT_FALSE(array->CreateSnapshotChangeList(base, incr, true).IsError())
        << ErrorOf(*array).message;
    std::set<std::string> present, removed;
    for (const auto& item : ReadChangelist(*array, base, incr)) {
        const uint64_t inode = std::strtoull(item.inode.c_str(), nullptr, 10);
        (inode & 0x2000000000000000ull ? removed : present).insert(item.path);
    }
    for (const std::string& name : kNames) EXPECT_TRUE(present.count("/" + name)) << name;
    EXPECT_TRUE(present.count("/\xe9t\xe9"));
    EXPECT_TRUE(present.count("/\xe9t\xe9/\xff"));
    EXPECT_TRUE(
        present.count("/k\xe9"
                      "ep"));
    EXPECT_TRUE(removed.count("/keep"));
}

TEST_F(ArrayClientSim, ChangelistPagesFollowResumeTokens) {
    StartSim({"--synthetic", "2500"});
    auto array = Connected();
    std::vector<_IsilonSnapInfo> snapshots;
    ASSERT_TRUE(array->GetSnapshotList(snapshots, "", "")) << ErrorOf(*array).message;
    ASSERT_EQ(snapshots.size(), 2u);
    uint64_t base = snapshots[0].id, incr = snapshots[1].id;
    ASSERT_FALSE(array->CreateSnapshotChangeList(base, incr, true).IsError())
        << ErrorOf(*array).message;
    size_t pages = 0;
    std::vector<_IsilonChangeListItem> items = ReadChangelist(*array, base, incr, &pages);
    EXPECT_EQ(pages, 3u);
    EXPECT_GE(items.size(), 2500u);
    EXPECT_TRUE(std::all_of(items.begin(), items.end(), [](const _IsilonChangeListItem& i) {
        return !i.path.empty() && i.path[0] == '/';
    }));
}

TEST_F(ArrayClientSim, ChangelistJobStatesAndMissingChangelist) {
    StartSim();
    auto array = Connected();
    uint64_t base = static_cast<uint64_t>(CreateSnapshot(*array, "base"));
    uint64_t incr = static_cast<uint64_t>(CreateSnapshot(*array, "incr"));
    _IsilonChangeListInfo page;

    SimControl({{"fail_next_jobs", 1}, {"failed_job_state", "cancelled_user"}});
    ASSERT_FALSE(array->CreateSnapshotChangeList(base, incr, true).IsError())
        << ErrorOf(*array).message;
    EXPECT_TRUE(array->GetSnapshotChangeList(base, incr, page).IsError());
    EXPECT_EQ(ErrorOf(*array).code, ManageIsilonError::kJobFailed);
    EXPECT_NE(ErrorOf(*array).message.find("cancelled_user"), std::string::npos);

    // The job has finished but the changelist is not there yet: also "not ready".
    SimControl({{"changelist_delay_ms", 600000}});
    ASSERT_FALSE(array->CreateSnapshotChangeList(base, incr, true).IsError())
        << ErrorOf(*array).message;
    CRwError result = array->GetSnapshotChangeList(base, incr, page);
    ASSERT_TRUE(result.IsError());
    EXPECT_EQ(ErrorOf(*array).code, "AEC_NOT_FOUND");
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);

    // Without a job of its own the client asks for the changelist directly.
    auto other = Connected();
    EXPECT_TRUE(other->GetSnapshotChangeList(base, incr, page).IsError());
    EXPECT_EQ(ErrorOf(*other).code, "AEC_NOT_FOUND");
}

TEST_F(ArrayClientSim, SessionRenewedOnceAfter401) {
    StartSim();
    auto array = Connected();
    std::vector<_IsilonVersionInfo> versions;
    SimControl({{"expire_sessions", true}});
    EXPECT_FALSE(array->GetVersionInfo(versions).IsError()) << ErrorOf(*array).message;
    AddFault({{"path", "/platform/1/cluster/config"}, {"action", "rotate_session"}});
    EXPECT_FALSE(array->GetVersionInfo(versions).IsError()) << ErrorOf(*array).message;
    EXPECT_FALSE(array->GetVersionInfo(versions).IsError())
        << ErrorOf(*array).message;  // new cookie used
    std::vector<std::string> requests = Requests();
    EXPECT_EQ(Count(requests, "POST /session/1/session 201"), 2u);
    EXPECT_EQ(Count(requests, "GET /platform/1/cluster/config 401"), 1u);

    // A 401 that a new login does not cure is reported, not retried for ever.
    AddFault({{"path", "/platform/1/cluster/config"},
              {"action", "error"},
              {"status", 401},
              {"count", 2},
              {"message", "authorization required"}});
    EXPECT_TRUE(array->GetVersionInfo(versions).IsError());
    EXPECT_EQ(ErrorOf(*array).code, "401");
}

struct FaultCase {
    const char* name;
    const char* rule;     // JSON
    const char* code;     // expected last-error code
    const char* message;  // part of the message
};

constexpr FaultCase kFaultCases[] = {
    {"array error with code",
     R"({"path":"/platform/1/cluster/config","action":"error","status":500,"code":"AEC_SYSTEM_INTERNAL_ERROR","message":"boom"})",
     "AEC_SYSTEM_INTERNAL_ERROR", "HTTP 500 AEC_SYSTEM_INTERNAL_ERROR: boom"},
    {"error without code", R"({"path":"/platform/1/cluster/config","action":"error","status":503})",
     "503", "HTTP 503"},
    {"HTML error page", R"({"path":"/platform/1/cluster/config","action":"html","status":404})",
     "404", "HTML"},
    // curl sends a request again, once, when a kept-alive connection turns out closed.
    {"dropped connection", R"({"path":"/platform/1/cluster/config","action":"drop","count":2})",
     ManageIsilonError::kTransport, "GET"},
    {"malformed body", R"({"path":"/platform/1/cluster/config","action":"malformed"})",
     ManageIsilonError::kBadResponse, "unusable body"},
    {"truncated body", R"({"path":"/platform/1/cluster/config","action":"truncate"})",
     ManageIsilonError::kTransport, "transfer failed"},
    {"stalled answer", R"({"path":"/platform/1/cluster/config","action":"delay","delay_ms":2500})",
     ManageIsilonError::kTimeout, "timed out"},
};

TEST_F(ArrayClientSim, FaultsBecomeCodesAndMessages) {
    StartSim({}, "lowSpeedTimeSeconds = 1\n");
    auto array = Connected();
    for (const FaultCase& c : kFaultCases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(m_sim.Control("DELETE", "/arraysim/faults", "") / 100, 2);
        AddFault(nlohmann::json::parse(c.rule));
        std::vector<_IsilonVersionInfo> versions;
        CRwError result = array->GetVersionInfo(versions);
        ASSERT_TRUE(result.IsError());
        LastError e = ErrorOf(*array);
        EXPECT_EQ(e.code, c.code) << e.message;
        EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
        EXPECT_NE(
            e.message.find("GetVersionInfo: GET " + m_sim.Url() + "/platform/1/cluster/config"),
            std::string::npos)
            << e.message;
        EXPECT_EQ(FXErrorUtil::MessageOf(result), e.message);
        // The same connection serves the next request after any of these.
        EXPECT_FALSE(array->GetVersionInfo(versions).IsError()) << ErrorOf(*array).message;
    }
}

TEST_F(ArrayClientSim, DroppedConnectionMidChangelistCanBeRetried) {
    StartSim({"--synthetic", "2500"});
    auto array = Connected();
    uint64_t base = 1, incr = 2;
    std::vector<_IsilonSnapInfo> snapshots;
    ASSERT_TRUE(array->GetSnapshotList(snapshots, "", ""));
    ASSERT_EQ(snapshots.size(), 2u);
    base = snapshots[0].id;
    incr = snapshots[1].id;
    ASSERT_FALSE(array->CreateSnapshotChangeList(base, incr, true).IsError());
    _IsilonChangeListInfo page;
    ASSERT_FALSE(array->GetSnapshotChangeList(base, incr, page).IsError())
        << ErrorOf(*array).message;
    ASSERT_FALSE(page.resumeToken.empty());
    const std::string token = page.resumeToken;
    AddFault({{"path", "/platform/1/snapshot/changelists/"}, {"action", "drop"}, {"count", 2}});
    EXPECT_TRUE(array->GetSnapshotChangeList(base, incr, page).IsError());
    EXPECT_EQ(ErrorOf(*array).code, ManageIsilonError::kTransport);
    EXPECT_EQ(page.resumeToken, token);
    EXPECT_TRUE(page.items.empty());
    size_t entries = 0, pages = 0;
    do {
        ASSERT_FALSE(array->GetSnapshotChangeList(base, incr, page).IsError())
            << ErrorOf(*array).message;
        entries += page.items.size();
        ++pages;
    } while (!page.resumeToken.empty());
    EXPECT_EQ(pages, 2u);
    EXPECT_GT(entries, 1000u);
}

// What the hostile-array tests ask of the client.
enum class Call { kVersion, kSnapshotList, kCreate, kDelete, kChangelistPage };

struct CallResult {
    bool ok;
    LastError error;
};

// Synthetic mode: snapshots 1 and 2 exist and their changelist can be built.
class HostileArray : public ArrayClientSim {
protected:
    void StartHostile(const std::string& options = "") {
        StartSim({"--synthetic", "10"}, options);
        m_array = Connected();
        uint64_t base = 1, incr = 2;
        ASSERT_FALSE(m_array->CreateSnapshotChangeList(base, incr, true).IsError())
            << ErrorOf(*m_array).message;
    }

    CallResult Run(Call call) {
        bool ok = false;
        uint64_t base = 1, incr = 2;
        switch (call) {
            case Call::kVersion: {
                std::vector<_IsilonVersionInfo> versions;
                ok = !m_array->GetVersionInfo(versions).IsError();
                break;
            }
            case Call::kSnapshotList: {
                std::vector<_IsilonSnapInfo> snapshots;
                ok = m_array->GetSnapshotList(snapshots, "", "");
                break;
            }
            case Call::kCreate: {
                int id = 0;
                ok = m_array->CreateSnapshot("/ifs/data/synthetic", "made", id);
                break;
            }
            case Call::kDelete:
                ok = m_array->DeleteSnapshot("Empty", "synthetic_base", 0);
                break;
            case Call::kChangelistPage: {
                _IsilonChangeListInfo page;
                ok = !m_array->GetSnapshotChangeList(base, incr, page).IsError();
                break;
            }
        }
        return {ok, ErrorOf(*m_array)};
    }

    // Reads the changelist page by page as the plug-in does, at most maxCalls
    // calls. Returns the number of calls; `failed` tells whether the last failed.
    size_t ReadPages(size_t maxCalls, bool& failed, _IsilonChangeListInfo& page) {
        uint64_t base = 1, incr = 2;
        page.clear();
        failed = false;
        size_t calls = 0;
        while (calls < maxCalls) {
            ++calls;
            const std::string sent = page.resumeToken;
            if (m_array->GetSnapshotChangeList(base, incr, page).IsError()) {
                failed = true;
                EXPECT_TRUE(page.items.empty());
                EXPECT_EQ(page.resumeToken, sent);
                break;
            }
            if (page.resumeToken.empty()) break;
        }
        return calls;
    }

    std::unique_ptr<ManageIsilon> m_array;
};

TEST_F(HostileArray, ResumeTokensThatComeBackEndTheList) {
    struct Case {
        const char* name;
        std::vector<std::string> tokens;
    };
    const Case kCases[] = {
        {"the same token again", {"a1"}},
        {"two tokens in turn", {"a1", "b2"}},
        {"three tokens in turn", {"a1", "b2", "c3"}},
    };
    StartHostile();
    for (const Case& c : kCases) {
        for (bool changelist : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (changelist ? " / changelist" : " / snapshot list"));
            ASSERT_EQ(m_sim.Control("DELETE", "/arraysim/faults", "") / 100, 2);
            ASSERT_EQ(m_sim.Control("DELETE", "/arraysim/requests", "") / 100, 2);
            const std::string path = changelist ? "/platform/1/snapshot/changelists/1_2/lins"
                                                : "/platform/1/snapshot/snapshots";
            AddFault({{"method", "GET"},
                      {"path", path},
                      {"action", "resume_cycle"},
                      {"count", -1},
                      {"tokens", c.tokens}});
            LastError e;
            if (changelist) {
                _IsilonChangeListInfo page;
                bool failed = false;
                const size_t calls = ReadPages(100, failed, page);
                ASSERT_TRUE(failed);
                // Every token once, then the one that comes back.
                EXPECT_EQ(calls, c.tokens.size() + 1);
                e = ErrorOf(*m_array);
            } else {
                const CallResult result = Run(Call::kSnapshotList);
                ASSERT_FALSE(result.ok);
                e = result.error;
            }
            EXPECT_EQ(e.code, ManageIsilonError::kBadResponse) << e.message;
            EXPECT_NE(e.message.find("go round in a circle"), std::string::npos) << e.message;
            EXPECT_EQ(Count(Requests(), "GET " + path), c.tokens.size() + 1);
        }
    }
    // A first page asked for again brings the same token and is no circle.
    ASSERT_EQ(m_sim.Control("DELETE", "/arraysim/faults", "") / 100, 2);
    _IsilonChangeListInfo page;
    bool failed = true;
    EXPECT_EQ(ReadPages(100, failed, page), 1u);
    EXPECT_FALSE(failed) << ErrorOf(*m_array).message;
    EXPECT_EQ(ReadPages(100, failed, page), 1u);
    EXPECT_FALSE(failed) << ErrorOf(*m_array).message;
}

TEST_F(HostileArray, FreshTokensForEverEndAtThePageBound) {
    StartHostile();
    std::vector<std::string> tokens;
    for (int i = 0; i < 400; ++i) tokens.push_back("t" + std::to_string(i));
    AddFault({{"method", "GET"},
              {"path", "/platform/1/snapshot/changelists/1_2/lins"},
              {"action", "resume_cycle"},
              {"count", -1},
              {"tokens", tokens}});
    _IsilonChangeListInfo page;
    bool failed = false;
    const size_t calls = ReadPages(tokens.size(), failed, page);
    ASSERT_TRUE(failed);
    // The changelist announces 10 entries: 10 pages and 100 spare ones at most.
    EXPECT_EQ(calls, 110u);
    EXPECT_EQ(ErrorOf(*m_array).code, ManageIsilonError::kBadResponse);
    EXPECT_NE(ErrorOf(*m_array).message.find("more than 110 pages"), std::string::npos)
        << ErrorOf(*m_array).message;
}

TEST_F(HostileArray, TricklingAnswerEndsAtTheRequestBound) {
    struct Case {
        const char* name;
        Call call;
        const char* path;
    };
    constexpr Case kCases[] = {
        {"version", Call::kVersion, "/platform/1/cluster/config"},
        {"changelist page", Call::kChangelistPage, "/platform/1/snapshot/changelists/1_2/lins"},
    };
    // 1 + 4 x 1 s for a request; the answers below would take minutes.
    StartHostile("connectTimeoutSeconds = 1\nlowSpeedTimeSeconds = 1\n");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(m_sim.Control("DELETE", "/arraysim/faults", "") / 100, 2);
        AddFault(
            {{"path", c.path}, {"action", "trickle"}, {"chunk_bytes", 2}, {"interval_ms", 400}});
        const CallResult result = Run(c.call);
        ASSERT_FALSE(result.ok);
        EXPECT_EQ(result.error.code, ManageIsilonError::kTimeout) << result.error.message;
        EXPECT_NE(result.error.message.find("timed out"), std::string::npos)
            << result.error.message;
        EXPECT_TRUE(Run(c.call).ok) << ErrorOf(*m_array).message;  // the connection serves on
    }
}

TEST_F(HostileArray, EndlessAnswerEndsAtTheBoundOfItsKind) {
    struct Case {
        const char* name;
        Call call;
        const char* method;
        const char* path;
        size_t limit;
    };
    constexpr Case kCases[] = {
        {"version", Call::kVersion, "GET", "/platform/1/cluster/config", size_t(1) << 20},
        {"creation", Call::kCreate, "POST", "/platform/1/snapshot/snapshots", size_t(1) << 20},
        {"deletion", Call::kDelete, "DELETE", "/platform/1/snapshot/snapshots/", size_t(1) << 20},
        {"snapshot list", Call::kSnapshotList, "GET", "/platform/1/snapshot/snapshots",
         size_t(16) << 20},
        {"changelist page", Call::kChangelistPage, "GET",
         "/platform/1/snapshot/changelists/1_2/lins", size_t(64) << 20},
    };
    StartHostile();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(m_sim.Control("DELETE", "/arraysim/faults", "") / 100, 2);
        AddFault({{"method", c.method}, {"path", c.path}, {"action", "endless"}});
        const CallResult result = Run(c.call);
        ASSERT_FALSE(result.ok);
        EXPECT_EQ(result.error.code, ManageIsilonError::kTransport) << result.error.message;
        EXPECT_NE(
            result.error.message.find("longer than the " + std::to_string(c.limit) + " bytes"),
            std::string::npos)
            << result.error.message;
    }
}

// The real client against the table the scripted double also runs
// (array_contract_double_test).
class SimDriver : public array_contract::Driver {
public:
    SimDriver(ManageIsilon& array, ArraySimProcess& sim) : m_array(array), m_sim(sim) {}
    ManageIsilon& Array() override { return m_array; }
    void ReadyChangelist(uint64_t& base, uint64_t& incr) override {
        base = 1;
        incr = 2;
        EXPECT_FALSE(m_array.CreateSnapshotChangeList(base, incr, true).IsError());
    }
    void FailNextChangelistPage() override {
        nlohmann::json rule = {{"path", "/platform/1/snapshot/changelists/1_2/lins"},
                               {"action", "error"},
                               {"status", 503},
                               {"code", "AEC_SERVICE_UNAVAILABLE"},
                               {"message", "busy"}};
        EXPECT_EQ(m_sim.Control("POST", "/arraysim/faults", rule.dump()) / 100, 2);
    }

private:
    ManageIsilon& m_array;
    ArraySimProcess& m_sim;
};

TEST_F(HostileArray, ContractSharedWithTheScriptedDouble) {
    StartSim({"--synthetic", "2500"});
    m_array = Connected();
    SimDriver driver(*m_array, m_sim);
    array_contract::RunArrayContract(driver);
}

// Passwords the array echoes in its errors never reach a last error or the
// log, whatever their length, bytes or place in the text.
TEST_F(HostileArray, EchoedPasswordsNeverReachErrorsOrLog) {
    const std::string kPasswords[] = {"ab", "tab\tin-the-middle", "Pw-7f3c9e1d-straddles-the-cut",
                                      "zzzz"};
    const std::string pad(kExcerptBytes - 10, 'm');
    for (const std::string& pw : kPasswords) {
        SCOPED_TRACE(pw.size());
        m_sim.Stop();
        m_array.reset();
        std::error_code ignored;
        fs::remove(s_root + "/log/snapscan.log", ignored);
        g_ptrLogWriter = CreateFileLogWriter();
        std::string error;
        ASSERT_TRUE(m_sim.Start(ARRAYSIM_PATH, m_work,
                                {"--root", m_work + "/ifs", "--user", kUser, "--password", pw},
                                error))
            << error;
        m_fileServer = m_sim.Url();
        WriteCredentials("");
        m_array = Client(pw);
        ASSERT_TRUE(m_array->OpenConnection()) << ErrorOf(*m_array).message;
        // Pieces that must not show: the first four bytes, raw and as the log
        // would escape them (a short password is checked after "secret=").
        std::vector<std::string> leaks;
        if (pw.size() >= 4) {
            std::string escaped;
            for (char c : pw.substr(0, 4))
                escaped += c == '\t' ? std::string("\\x09") : std::string(1, c);
            leaks = {pw.substr(0, 4), escaped};
        }
        const nlohmann::json kRules[] = {
            {{"status", 400}, {"code", "AEC_BAD_REQUEST"}, {"message", "login secret=" + pw}},
            {{"status", 400}, {"code", "AEC_BAD_REQUEST"}, {"message", pad + "secret=" + pw}},
            {{"status", 500}, {"code", "AEC_X"}, {"message", "secret=" + pw + "secret=" + pw + pw}},
            {{"status", 409}, {"code", "secret=" + pw}, {"message", "m"}},
        };
        for (const nlohmann::json& base : kRules) {
            nlohmann::json rule = base;
            rule["path"] = "/platform/1/cluster/config";
            rule["action"] = "error";
            AddFault(rule);
            std::vector<_IsilonVersionInfo> versions;
            EXPECT_TRUE(m_array->GetVersionInfo(versions).IsError());
            const LastError e = ErrorOf(*m_array);
            for (const std::string* text : {&e.code, &e.message}) {
                EXPECT_EQ(text->find("secret=" + pw.substr(0, 1)), std::string::npos) << *text;
                for (const std::string& piece : leaks)
                    EXPECT_EQ(text->find(piece), std::string::npos) << *text;
            }
            // Scrubbed where it was, not dropped with its surroundings.
            EXPECT_TRUE(e.code == "secret=***" || e.message.find("secret=***") != std::string::npos)
                << e.message;
        }
        m_array.reset();
        const std::string log = LogText();
        EXPECT_NE(log.find("secret=***"), std::string::npos);
        EXPECT_EQ(log.find("secret=" + pw.substr(0, 1)), std::string::npos);
        for (const std::string& piece : leaks) EXPECT_EQ(log.find(piece), std::string::npos);
    }
}

struct TlsCase {
    const char* name;
    std::string options;
    bool connects;
};

TEST_F(ArrayClientSim, TlsTrust) {
    ASSERT_TRUE(s_certs.ok) << ReadFile(s_certs.dir + "/make.log");
    StartSim({}, "", true);
    std::string wrongPin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    const TlsCase cases[] = {
        {"our CA", "caFile = " + s_certs.ca + "\n", true},
        {"system CAs only", "", false},
        {"another CA", "caFile = " + s_certs.otherCa + "\n", false},
        {"pinned key with our CA",
         "caFile = " + s_certs.ca + "\npinnedPublicKey = " + s_certs.pin + "\n", true},
        {"wrong pinned key", "caFile = " + s_certs.ca + "\npinnedPublicKey = " + wrongPin + "\n",
         false},
        {"pinned key without verification", "insecure = 1\npinnedPublicKey = " + s_certs.pin + "\n",
         true},
        {"wrong pin without verification", "insecure = 1\npinnedPublicKey = " + wrongPin + "\n",
         false},
        {"verification off", "insecure = 1\n", true},
    };
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteCredentials(c.options);
        auto array = Client();
        bool connected = array->OpenConnection();
        EXPECT_EQ(connected, c.connects) << ErrorOf(*array).message;
        if (!connected) {
            EXPECT_EQ(ErrorOf(*array).code, ManageIsilonError::kTls) << ErrorOf(*array).message;
            continue;
        }
        std::vector<_IsilonVersionInfo> versions;
        EXPECT_FALSE(array->GetVersionInfo(versions).IsError()) << ErrorOf(*array).message;
    }
    EXPECT_NE(LogText().find("TLS certificate verification is off for file server [" +
                             m_fileServer + "]"),
              std::string::npos);
}

TEST_F(ArrayClientSim, BasicAuthAndRefusedLogins) {
    StartSim({}, "auth = basic\n");
    auto array = Connected();
    int id = 0;
    EXPECT_TRUE(array->CreateSnapshot("/ifs/data/x", "basic", id)) << ErrorOf(*array).message;
    std::vector<std::string> requests = Requests();
    EXPECT_EQ(Count(requests, "POST /session/1/session"), 0u);
    EXPECT_EQ(Count(requests, "POST /platform/1/snapshot/snapshots 201 basic"), 1u);

    for (const char* options : {"auth = basic\n", ""}) {
        SCOPED_TRACE(*options ? "basic" : "session");
        WriteCredentials(options);
        auto refused = Client("wrong-password");
        EXPECT_FALSE(refused->OpenConnection());
        EXPECT_EQ(ErrorOf(*refused).code, ManageIsilonError::kAuth) << ErrorOf(*refused).message;
    }
}

TEST_F(ArrayClientSim, NoArrayListening) {
    StartSim();
    m_sim.Stop();
    auto array = Client();
    EXPECT_FALSE(array->OpenConnection());
    EXPECT_EQ(ErrorOf(*array).code, ManageIsilonError::kConnect) << ErrorOf(*array).message;
    int id = 0;
    EXPECT_FALSE(array->CreateSnapshot("/ifs/data/x", "s", id));
    EXPECT_EQ(ErrorOf(*array).code, ManageIsilonError::kNotConnected);
}

// Runs last in this file: by now the log holds every kind of line the client
// writes, at the most detailed level.
TEST_F(ArrayClientSim, ZzNoSecretInLogOrErrors) {
    StartSim();
    auto wrong = Client(std::string(kPassword) + "x");
    EXPECT_FALSE(wrong->OpenConnection());
    EXPECT_EQ(ErrorOf(*wrong).message.find(kPassword), std::string::npos);
    auto array = Connected();
    AddFault({{"path", "/platform/1/cluster/config"},
              {"action", "error"},
              {"status", 400},
              {"code", "AEC_BAD_REQUEST"},
              {"message", std::string("echo ") + kPassword}});
    std::vector<_IsilonVersionInfo> versions;
    EXPECT_TRUE(array->GetVersionInfo(versions).IsError());
    EXPECT_EQ(ErrorOf(*array).message.find(kPassword), std::string::npos)
        << ErrorOf(*array).message;
    array.reset();
    std::string log = LogText();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.find("GET /platform/1/cluster/config"),
              std::string::npos);  // level 2 lines are there
    EXPECT_EQ(log.find(kPassword), std::string::npos);
    EXPECT_EQ(log.find("isisessid="), std::string::npos);
    EXPECT_EQ(log.find("isicsrf="), std::string::npos);
    EXPECT_EQ(log.find("X-CSRF-Token:"), std::string::npos);
}

}  // namespace
