// Security of whole jobs: the snapscan CLI with the real plug-in, host services
// and array client against arraysim, run as separate processes. TLS trust (CA
// file, pinned key, explicit insecure mode, the system store by default), no
// password or session token in any text the jobs leave behind, owner-only
// credentials and databases, no stray files, and names with awkward bytes
// carried exactly through URLs, JSON and back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_harness.h"
#include "tests/support/arraysim_process.h"
#include "tests/support/test_certificates.h"

namespace {

using namespace snapscan_e2e;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

// Distinctive secrets. Each begins with a plain core, so that a leak shows up
// whatever escaping (JSON, log sanitising) the leaking text went through.
const std::string kPasswordCore = "Pw7qXz-Secret";
const std::string kPassword = kPasswordCore + "\"\\%&\xc3\xa9 end";
const std::string kWrongCore = "Wr0ngPw-9Kd";
const std::string kWrongPassword = kWrongCore + "#%\xc3\xa9";
const char kWrongPin[] = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

std::string Base64(const std::string& text) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        const unsigned v = (unsigned char)text[i] << 16 | (unsigned char)text[i + 1] << 8 |
                           (unsigned char)text[i + 2];
        for (int shift : {18, 12, 6, 0}) out += kDigits[(v >> shift) & 63];
    }
    if (i + 1 == text.size()) {
        const unsigned v = (unsigned char)text[i] << 16;
        out += std::string{kDigits[(v >> 18) & 63], kDigits[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == text.size()) {
        const unsigned v = (unsigned char)text[i] << 16 | (unsigned char)text[i + 1] << 8;
        out += std::string{kDigits[(v >> 18) & 63], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63],
                           '='};
    }
    return out;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// A TCP relay between the CLI and arraysim (plain HTTP) that keeps every byte
// the array sent: the only way to learn the session and CSRF tokens the CLI was
// handed, which it must never write anywhere.
class RecordingProxy {
public:
    ~RecordingProxy() { Stop(); }

    bool Start(int upstreamPort) {
        m_upstream = upstreamPort;
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (m_listen < 0 || ::bind(m_listen, (sockaddr*)&address, sizeof address) != 0 ||
            ::listen(m_listen, 16) != 0 || ::getsockname(m_listen, (sockaddr*)&address, &size) != 0)
            return false;
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { Accept(); });
        return true;
    }

    void Stop() {
        m_stop = true;
        if (m_acceptor.joinable()) m_acceptor.join();
        for (auto& pump : m_pumps) pump.join();
        m_pumps.clear();
        if (m_listen >= 0) ::close(m_listen);
        m_listen = -1;
    }

    int Port() const { return m_port; }

    // Every value the array handed out in a Set-Cookie of `name`.
    std::set<std::string> Cookies(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::set<std::string> values;
        const std::string key = name + "=";
        for (size_t at = m_fromArray.find(key); at != std::string::npos;
             at = m_fromArray.find(key, at + 1)) {
            const size_t begin = at + key.size();
            const std::string value =
                m_fromArray.substr(begin, m_fromArray.find_first_of(";\r\n", begin) - begin);
            if (!value.empty()) values.insert(value);
        }
        return values;
    }

private:
    void Accept() {
        while (!m_stop) {
            pollfd ready{m_listen, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int array = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(m_upstream));
            if (array < 0 || ::connect(array, (sockaddr*)&address, sizeof address) != 0) {
                if (array >= 0) ::close(array);
                ::close(client);
                continue;
            }
            m_pumps.emplace_back([this, client, array] { Pump(client, array); });
        }
    }

    void Pump(int client, int array) {
        pollfd fds[2] = {{client, POLLIN, 0}, {array, POLLIN, 0}};
        char buffer[16384];
        bool open = true;
        while (open && !m_stop) {
            if (::poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2 && open; ++i) {
                if (fds[i].revents == 0) continue;
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got <= 0) {
                    open = false;
                    break;
                }
                if (i == 1) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_fromArray.append(buffer, static_cast<size_t>(got));
                }
                for (ssize_t sent = 0; open && sent < got;) {
                    const ssize_t n =
                        ::send(fds[1 - i].fd, buffer + sent, got - sent, MSG_NOSIGNAL);
                    if (n <= 0)
                        open = false;
                    else
                        sent += n;
                }
            }
        }
        ::close(client);
        ::close(array);
    }

    int m_upstream = 0;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_pumps;
    std::mutex m_mutex;
    std::string m_fromArray;
};

// Certificates made once for the suite: our CA, a server certificate it signed,
// an unrelated CA, and the server key's pin.
struct Certificates {
    fs::path dir;
    std::string pin;
    bool ok = false;
};

// The end-to-end fixture with arraysim restarted under a distinctive password,
// over HTTPS when asked, and the most detailed log level.
class SecurityTest : public E2eTest {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/snapscan-security-certs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        const snapscan_test::TestCertificates made = snapscan_test::MakeTestCertificates(pattern);
        s_certs.dir = made.dir;
        s_certs.ok = made.ok;
        s_certs.pin = made.pin;
    }

    static void TearDownTestSuite() { fs::remove_all(s_certs.dir); }

    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure()) return;
        WriteSettings("");
        ASSERT_NO_FATAL_FAILURE(RestartArray(false));
    }

    void WriteSettings(const std::string& extra) {
        WriteFile(
            dir / "config" / "settings.ini",
            "[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 20\nnLogLevel = 3\n" + extra);
    }

    void RestartArray(bool tls) {
        StopArray();
        m_tls = tls;
        std::vector<std::string> args = {"--root", ifs.string(), "--user",
                                         "backup", "--password", kPassword};
        if (tls) {
            ASSERT_TRUE(s_certs.ok) << ReadFile(s_certs.dir / "make.log");
            args.insert(args.end(), {"--cert", (s_certs.dir / "server.pem").string(), "--key",
                                     (s_certs.dir / "server.key").string()});
        }
        std::string error;
        ASSERT_TRUE(array.Start(SNAPSCAN_ARRAYSIM, dir.string(), args, error)) << error;
        port = std::to_string(array.Port());
        WriteCreds(ArrayServer());
    }

    // The file server entry naming arraysim directly.
    std::string ArrayServer() const { return (m_tls ? "127.0.0.1:" : "http://127.0.0.1:") + port; }

    void WriteCreds(const std::string& fileServer, const std::string& extra = "",
                    mode_t mode = 0600, const std::string& password = kPassword) {
        std::string text;
        for (int client : {1, 2})
            text += "[client " + std::to_string(client) + "]\nfileServer = " + fileServer +
                    "\nuser = backup\npassword = " + password + "\n" + extra;
        const fs::path path = dir / "config" / "credentials.ini";
        fs::remove(path);
        WriteFile(path, text);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }

    // One request to arraysim: a control endpoint, or the API with Basic auth.
    long Http(const char* method, const std::string& path, const std::string& body = "",
              std::string* answer = nullptr) {
        return ArraySimRequest(method,
                               (m_tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + port + path,
                               body, "backup", kPassword, answer);
    }

    void AddFault(const json& rule) {
        std::string answer;
        ASSERT_EQ(Http("POST", "/arraysim/faults", rule.dump(), &answer), 201) << answer;
    }
    void Control(const json& control) {
        std::string answer;
        ASSERT_EQ(Http("POST", "/arraysim/control", control.dump(), &answer), 204) << answer;
    }
    // The API requests arraysim answered, as "METHOD path status".
    std::vector<std::string> Requests() {
        std::string answer;
        EXPECT_EQ(Http("GET", "/arraysim/requests", "", &answer), 200);
        std::vector<std::string> lines;
        const json log = json::parse(answer, nullptr, false);
        if (!log.is_object()) return lines;
        for (const auto& r : log.value("requests", json::array()))
            lines.push_back(r.value("method", "") + " " + r.value("path", "") + " " +
                            std::to_string(r.value("status", 0)));
        return lines;
    }
    void ClearRequests() { EXPECT_EQ(Http("DELETE", "/arraysim/requests"), 204); }

    std::string Log() { return ReadFile(dir / "log" / "snapscan.log"); }

    // Text of every regular file below `root`.
    static std::vector<std::pair<std::string, std::string>> FilesBelow(const fs::path& root) {
        std::vector<std::pair<std::string, std::string>> files;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
             it.increment(ec))
            if (it->is_regular_file())
                files.emplace_back(it->path().string(), ReadFile(it->path()));
        return files;
    }

    // No secret in any output text, nor in any file the jobs wrote: the log,
    // the events, the map files and the job state.
    void ExpectNoSecret(const std::vector<std::string>& secrets, const std::vector<Result>& runs) {
        std::vector<std::pair<std::string, std::string>> texts;
        for (size_t i = 0; i < runs.size(); ++i) {
            texts.emplace_back("stdout of run " + std::to_string(i), runs[i].out);
            texts.emplace_back("stderr of run " + std::to_string(i), runs[i].err);
        }
        for (const char* sub : {"log", "results", "state"})
            for (auto& file : FilesBelow(dir / sub)) texts.push_back(std::move(file));
        ASSERT_FALSE(Log().empty());
        for (const auto& [where, text] : texts)
            for (const auto& secret : secrets)
                EXPECT_EQ(text.find(secret), std::string::npos)
                    << "[" << secret << "] in " << where;
    }

    static Certificates s_certs;
    bool m_tls = false;
};

Certificates SecurityTest::s_certs;

// -- TLS ---------------------------------------------------------------------

struct TlsCase {
    const char* name;
    std::string options;  // lines of the credentials entry
    bool connects;
    const char* why;  // what a refusal says about the certificate
};

TEST_F(SecurityTest, TlsTrustIsVerifiedAndInsecureModeIsExplicitAndLogged) {
    ASSERT_NO_FATAL_FAILURE(RestartArray(true));
    const std::string ca = "caFile = " + (s_certs.dir / "ca.pem").string() + "\n";
    const std::string otherCa = "caFile = " + (s_certs.dir / "other-ca.pem").string() + "\n";
    const std::string pin = "pinnedPublicKey = " + s_certs.pin + "\n";
    const std::string wrongPin = std::string("pinnedPublicKey = ") + kWrongPin + "\n";
    const std::vector<TlsCase> cases = {
        {"our CA", ca, true, ""},
        {"no caFile: the system store, which does not know our CA", "", false,
         "certificate problem"},
        {"a CA that did not sign the array's certificate", otherCa, false, "certificate problem"},
        {"the pinned key alone", pin, true, ""},
        {"the pinned key and our CA", ca + pin, true, ""},
        {"a wrong pinned key alone", wrongPin, false, "pinned public key"},
        {"a wrong pinned key with our CA", ca + wrongPin, false, "pinned public key"},
        {"insecure = 1", "insecure = 1\n", true, ""},
        {"insecure = 1 still checks a pinned key", "insecure = 1\n" + wrongPin, false,
         "pinned public key"},
        {"insecure = true is refused before connecting", "insecure = true\n", false,
         "must be 0 or 1"},
        {"insecure = 0", "insecure = 0\n", false, "certificate problem"},
    };
    const std::string offLine =
        "TLS certificate verification is off for file server [" + ArrayServer() + "]";
    std::vector<Result> runs;
    int jobId = 0;
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteCreds(ArrayServer(), c.options);
        fs::remove(dir / "log" / "snapscan.log");
        ClearRequests();
        const Result job = Job(1, 1, {Share("s1")}, "tls", {"--job-id", std::to_string(++jobId)});
        runs.push_back(job);
        const std::string log = Log();
        const std::vector<std::string> requests = Requests();
        const size_t logins = std::count_if(
            requests.begin(), requests.end(),
            [](const std::string& r) { return r.rfind("POST /session/1/session 201", 0) == 0; });
        const bool insecure = c.options.find("insecure = 1") != std::string::npos;
        if (c.connects) {
            EXPECT_EQ(job.status, 0) << job.err;
            EXPECT_EQ(job.err, "");
            EXPECT_THAT(log, Not(HasSubstr("Array request failed")));
            EXPECT_GE(logins, 2u);  // the job's client and the cleanup's
        } else if (c.why == std::string("must be 0 or 1")) {
            // A value the key does not take stops the job before it connects.
            EXPECT_EQ(job.status, 1);
            EXPECT_THAT(job.err, HasSubstr("snapscan: reading the credentials failed: "));
            EXPECT_THAT(job.err, HasSubstr("key [insecure] of [client 1] must be 0 or 1"));
            EXPECT_EQ(requests, std::vector<std::string>());
            continue;
        } else {
            EXPECT_EQ(job.status, 1);
            // Refused at the first connection: the listing of the content's
            // snapshots that checks the job id.
            EXPECT_THAT(job.err, HasSubstr("snapscan: job failed: "));
            EXPECT_THAT(job.err, HasSubstr("TLS_FAILED"));
            EXPECT_THAT(job.err, HasSubstr(c.why));
            EXPECT_THAT(log, HasSubstr("code [TLS_FAILED]"));
            EXPECT_THAT(log, HasSubstr(c.why));
            const auto errors = job.Records("error");
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_THAT(errors[0]["message"].get<std::string>(), HasSubstr("TLS failed"));
            // Refused during the handshake: no request, so no password, reached the array.
            EXPECT_EQ(requests, std::vector<std::string>());
        }
        // Every connection made without verification says so; a refused job made one.
        EXPECT_EQ(Count(log, offLine), insecure ? (c.connects ? logins : 1u) : 0u) << log;
    }
    ExpectNoSecret({kPasswordCore, Base64("backup:" + kPassword)}, runs);
}

// -- Secrets -----------------------------------------------------------------

struct SecretStep {
    const char* name;
    std::function<void()> before;
    std::function<std::vector<std::string>()> args;
    int status;
    const char* err;  // in stderr when the step fails
};

TEST_F(SecurityTest, NoPasswordOrSessionTokenInAnyLogEventErrorOutputOrFile) {
    RecordingProxy proxy;
    ASSERT_TRUE(proxy.Start(std::stoi(port)));
    const std::string viaProxy = "http://127.0.0.1:" + std::to_string(proxy.Port());
    WriteCreds(viaProxy);
    int changes = 0;
    auto change = [&] { WriteFile(ifs / "s1" / ("change" + std::to_string(++changes)), "x\n"); };
    auto job = [&](const std::string& tag, bool json = true) {
        return [=] {
            std::vector<std::string> args = JobArgs(1, 1, {Share("s1"), Share("s2")}, tag);
            if (!json) args.erase(std::find(args.begin(), args.end(), "--json"));
            return args;
        };
    };
    const std::vector<SecretStep> steps = {
        {"full job", [] {}, job("full"), 0, ""},
        {"incremental job, text output", change, job("text", false), 0, ""},
        {"the array replaces the session mid-job",
         [&] {
             change();
             AddFault({{"method", "GET"},
                       {"path", "/platform/1/snapshot/snapshots"},
                       {"action", "rotate_session"},
                       {"count", 1}});
         },
         job("rotated"), 0, ""},
        {"the changelist job fails",
         [&] {
             change();
             Control({{"fail_next_jobs", 1}});
         },
         job("changelist-failed"), 1, "CompareSnapshots of "},
        {"a storm of 401s",
         [&] {
             EXPECT_EQ(Http("DELETE", "/arraysim/faults"), 204);
             AddFault({{"path", "/platform"}, {"action", "expire_sessions"}, {"count", -1}});
         },
         job("401"), 1, "HTTP 401"},
        {"verify", [&] { EXPECT_EQ(Http("DELETE", "/arraysim/faults"), 204); },
         [] {
             return std::vector<std::string>{"verify", "--json", "--client-id", "1"};
         },
         0, ""},
        {"snapshots", [] {},
         [] {
             return std::vector<std::string>{"snapshots", "--json", "--client-id", "1",
                                             "--all-subclients"};
         },
         0, ""},
        {"cleanup", [] {},
         [] {
             return std::vector<std::string>{"cleanup", "--json",         "--client-id",
                                             "1",       "--subclient-id", "1"};
         },
         0, ""},
        {"wrong password", [&] { WriteCreds(viaProxy, "", 0600, kWrongPassword); }, job("wrong"), 1,
         "the array refused the user name or password"},
        {"HTTP Basic",
         [&] {
             change();
             WriteCreds(viaProxy, "auth = basic\n");
         },
         job("basic"), 0, ""},
        {"wrong password over HTTP Basic",
         [&] { WriteCreds(viaProxy, "auth = basic\n", 0600, kWrongPassword); }, job("basic-wrong"),
         1, "the array refused the user name or password"},
        {"array down",
         [&] {
             StopArray();
             WriteCreds(ArrayServer());
         },
         job("down"), 1, "CONNECT_FAILED"},
    };
    std::vector<Result> runs;
    for (const SecretStep& step : steps) {
        SCOPED_TRACE(step.name);
        step.before();
        runs.push_back(Snapscan(step.args()));
        const Result& run = runs.back();
        EXPECT_EQ(run.status, step.status) << run.err;
        if (step.status != 0) {
            EXPECT_THAT(run.err, HasSubstr(step.err));
        }
    }
    proxy.Stop();

    const std::set<std::string> sessions = proxy.Cookies("isisessid");
    const std::set<std::string> csrf = proxy.Cookies("isicsrf");
    // One session per connection: several per job, one more for the replaced
    // session, one per login of the 401 storm.
    EXPECT_GE(sessions.size(), 12u);
    EXPECT_GE(csrf.size(), 10u);
    std::vector<std::string> secrets = {kPassword,
                                        kPasswordCore,
                                        kWrongPassword,
                                        kWrongCore,
                                        Base64("backup:" + kPassword),
                                        Base64("backup:" + kWrongPassword)};
    secrets.insert(secrets.end(), sessions.begin(), sessions.end());
    secrets.insert(secrets.end(), csrf.begin(), csrf.end());
    // The log holds the most detailed lines, so the check covers them all.
    EXPECT_THAT(Log(), HasSubstr("POST /session/1/session -> HTTP 201"));
    EXPECT_THAT(Log(), HasSubstr("GET /platform/1/snapshot/snapshots -> HTTP 200"));
    ExpectNoSecret(secrets, runs);
}

// -- Files -------------------------------------------------------------------

struct ModeCase {
    mode_t mode;
    bool accepted;
};

TEST_F(SecurityTest, CredentialsFileReachableByOthersIsRefused) {
    constexpr ModeCase cases[] = {{0600, true},  {0400, true},  {0644, false}, {0640, false},
                                  {0604, false}, {0620, false}, {0602, false}};
    int jobId = 0;
    for (const ModeCase& c : cases) {
        char name[8];
        std::snprintf(name, sizeof name, "%04o", static_cast<unsigned>(c.mode));
        SCOPED_TRACE(name);
        WriteCreds(ArrayServer(), "", c.mode);
        ClearRequests();
        const Result job = Job(1, 1, {Share("s1")}, name, {"--job-id", std::to_string(++jobId)});
        if (c.accepted) {
            EXPECT_EQ(job.status, 0) << job.err;
            continue;
        }
        // Refused before anything reaches the array, with the file and the reason.
        EXPECT_EQ(job.status, 1);
        EXPECT_THAT(job.err, HasSubstr("snapscan: reading the credentials failed: "));
        const std::string why =
            std::string("has mode ") + name +
            " and can be reached by group or others (make it chmod 600); refused";
        EXPECT_THAT(job.err, HasSubstr((dir / "config" / "credentials.ini").string() + ": " + why));
        EXPECT_THAT(Log(), HasSubstr("Credentials file [" +
                                     (dir / "config" / "credentials.ini").string() + "] " + why));
        EXPECT_EQ(Requests(), std::vector<std::string>());
    }
}

// Every file a job leaves, relative to the test directory, outside the served tree.
std::set<std::string> FilesOutsideIfs(const fs::path& root) {
    std::set<std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (relative == "ifs")
            it.disable_recursion_pending();
        else if (!it->is_directory())
            files.insert(relative);
    }
    return files;
}

TEST_F(SecurityTest, DatabasesAreOwnerOnlyAndJobsWriteNoOtherFiles) {
    // Even with a umask that lets everyone read, the change database is the owner's.
    WriteSettings("bKeepSnapDiffDatabase = 1\n");
    fs::create_directories(dir / "tmp");
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    ::setenv("SQLITE_TMPDIR", (dir / "tmp").c_str(), 1);
    const mode_t umask = ::umask(0);
    const Result full = Job(1, 1, {Share("s1")}, "full");
    WriteFile(ifs / "s1" / "new", "new\n");
    const Result incremental = Job(1, 1, {Share("s1")}, "incremental");
    WriteSettings("");
    WriteFile(ifs / "s1" / "newer", "newer\n");
    const Result dropped = Job(1, 1, {Share("s1")}, "dropped");
    ::umask(umask);
    ::unsetenv("TMPDIR");
    ::unsetenv("SQLITE_TMPDIR");
    ASSERT_EQ(full.status, 0) << full.err;
    ASSERT_EQ(incremental.status, 0) << incremental.err;
    ASSERT_EQ(dropped.status, 0) << dropped.err;

    size_t databases = 0;
    for (const auto& entry : fs::directory_iterator(dir / "results" / "incremental")) {
        if (entry.path().filename() == "map") continue;
        ++databases;
        struct stat info;
        ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << entry.path();
        EXPECT_EQ(info.st_mode & 077, 0u)
            << entry.path() << " has mode " << std::oct << (info.st_mode & 0777);
    }
    EXPECT_EQ(databases, 1u);

    const std::set<std::string> expected = {"sim.out",
                                            "sim.port",
                                            "cli.err",
                                            "cli.out",
                                            "mounts",
                                            "config/credentials.ini",
                                            "config/settings.ini",
                                            "log/snapscan.log",
                                            "log/events.jsonl",
                                            "state/client-1-subclient-1.json",
                                            "locks/client-1-subclient-1.lock",
                                            "results/full/map",
                                            "results/incremental/map",
                                            "results/dropped/map"};
    std::set<std::string> found = FilesOutsideIfs(dir);
    // The kept database of the incremental job, and nothing else of its kind.
    for (auto it = found.begin(); it != found.end();) {
        if (it->rfind("results/incremental/snapdiff_", 0) == 0)
            it = found.erase(it);
        else
            ++it;
    }
    std::set<std::string> expectedPresent;
    for (const auto& name : expected)
        if (found.count(name)) expectedPresent.insert(name);
    EXPECT_EQ(found, expectedPresent) << "files nobody named";
    EXPECT_TRUE(found.count("results/dropped/map"));
}

// The map file is written where the agent names it. A symlink the agent put
// there is the agent's choice: the map goes through it to its target, and the
// link stays a link (the results directory is the agent's own, not shared).
TEST_F(SecurityTest, MapFileIsWrittenOnlyWhereTheAgentNamedIt) {
    const fs::path target = dir / "agent" / "map-target";
    WriteFile(target, "stale line of an earlier job\n");
    fs::create_directories(dir / "results" / "linked");
    fs::create_symlink(target, dir / "results" / "linked" / "map");
    const Result job = Job(1, 1, {Share("s1")}, "linked");
    ASSERT_EQ(job.status, 0) << job.err;
    EXPECT_TRUE(fs::is_symlink(dir / "results" / "linked" / "map"));
    const std::string map = ReadFile(target);
    EXPECT_EQ(map.rfind("m:" + Share("s1") + "/:" + Share("s1") + "/.snapshot/TZOP_1_1_1_", 0), 0u)
        << map;
    EXPECT_EQ(Count(map, "\n"), 1u) << map;
    std::set<std::string> inResults;
    for (const auto& entry : fs::directory_iterator(dir / "results" / "linked"))
        inResults.insert(entry.path().filename().string());
    EXPECT_EQ(inResults, std::set<std::string>{"map"});
}

// -- Names -------------------------------------------------------------------

// A share whose directory name needs escaping everywhere: in the mount table
// (octal), in URLs (percent), in JSON, and as UTF-8.
const std::string kOddName = "we ird %41 #h ?q &x=1 \xc3\xa9\xe2\x82\xac";

std::string OctalEscaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == ' ' ? std::string("\\040") : std::string(1, c);
    return out;
}

std::string CollapseSlashes(std::string path) {
    for (size_t at = path.find("//"); at != std::string::npos; at = path.find("//", at))
        path.erase(at, 1);
    return path;
}

using Change = std::tuple<std::string, std::string, std::string>;  // kind, path, old path

std::set<Change> Delivered(const Result& job) {
    std::set<Change> items;
    for (const auto& item : job.Records("item"))
        items.insert({item["kindName"], CollapseSlashes(item["path"]),
                      CollapseSlashes(item.value("oldPath", ""))});
    return items;
}

TEST_F(SecurityTest, OddNamesTravelExactlyThroughSnapshotsChangelistsAndDeletes) {
    const fs::path root = ifs / kOddName;
    const std::string share = root.string();
    fs::create_directories(root / "d d");
    WriteFile(root / "d d" / "f %20#?.txt", "f\n");
    WriteFile(root / "top", "top\n");
    WriteFile(dir / "mounts", "127.0.0.1:/ifs/" + OctalEscaped(kOddName) + " " +
                                  OctalEscaped(share) + " nfs rw 0 0\n");

    const Result full = Job(1, 1, {share}, "full");
    ASSERT_EQ(full.status, 0) << full.err;
    const std::string map = ReadFile(dir / "results" / "full" / "map");
    EXPECT_EQ(map.rfind("m:" + share + "/:" + share + "/.snapshot/TZOP_1_1_1_", 0), 0u) << map;
    const auto snapshots =
        Snapscan({"snapshots", "--json", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(snapshots.Records("snapshot").size(), 1u) << snapshots.out;
    EXPECT_EQ(snapshots.Records("snapshot")[0]["path"], "/ifs/" + kOddName);

    // Snapshots of others on the same path with odd names: one under the
    // content's prefix (retention must delete it by that exact name), one not.
    const std::string theirs = "other snap #1 ?%2F \xe2\x82\xac";
    for (const std::string& name : {std::string("TZOP_1_1_1_sp ace#h?q%41&\xc3\xa9"), theirs}) {
        std::string answer;
        ASSERT_EQ(Http("POST", "/platform/1/snapshot/snapshots",
                       json{{"name", name}, {"path", "/ifs/" + kOddName}}.dump(), &answer),
                  201)
            << answer;
    }

    fs::create_directories(root / "sub \xc3\xa9");
    WriteFile(root / "sub \xc3\xa9" / "x y", "x\n");
    WriteFile(root / "n?#%.txt", "n\n");
    fs::rename(root / "d d" / "f %20#?.txt", root / "d d" / "g %2F#?\xc3\xa9.txt");
    fs::remove(root / "top");
    ClearRequests();
    const Result incremental = Job(1, 1, {share}, "incremental");
    ASSERT_EQ(incremental.status, 0) << incremental.err;
    const std::set<Change> expected = {
        {"changed", share + "/", ""},
        {"changed", share + "/d d/", ""},
        {"renamed", share + "/d d/g %2F#?\xc3\xa9.txt", share + "/d d/f %20#?.txt"},
        {"changed", share + "/sub \xc3\xa9/", ""},
        {"changed", share + "/sub \xc3\xa9/x y", ""},
        {"changed", share + "/n?#%.txt", ""},
        {"removed", share + "/top/", ""},  // removed entries end in "/", whatever they were
    };
    EXPECT_EQ(Delivered(incremental), expected);
    const std::vector<std::string> requests = Requests();
    EXPECT_THAT(requests, ::testing::Contains(
                              "DELETE /platform/1/snapshot/snapshots/TZOP_1_1_1_sp ace#h?q%41&"
                              "\xc3\xa9 204"));
    std::set<std::string> left;
    for (const auto& record :
         Snapscan({"snapshots", "--json", "--client-id", "1", "--all-subclients"})
             .Records("snapshot"))
        left.insert(record["name"].get<std::string>());
    std::string answer;
    ASSERT_EQ(Http("GET", "/platform/1/snapshot/snapshots", "", &answer), 200);
    std::set<std::string> onArray;
    const json listing = json::parse(answer, nullptr, false);
    ASSERT_TRUE(listing.is_object()) << answer;
    for (const auto& s : listing.value("snapshots", json::array()))
        onArray.insert(s["name"].get<std::string>());
    EXPECT_EQ(onArray.count(theirs), 1u) << answer;
    EXPECT_EQ(onArray.count("TZOP_1_1_1_sp ace#h?q%41&\xc3\xa9"), 0u);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.begin()->rfind("TZOP_1_1_2_", 0), 0u);

    // The same share given with runs of "/": the same array path, the same changes.
    WriteFile(root / "sub \xc3\xa9" / "z", "z\n");
    std::string runs = share;
    runs.replace(runs.find("/ifs/"), 5, "//ifs///");
    const Result slashes = Job(1, 1, {runs + "//"}, "slashes");
    ASSERT_EQ(slashes.status, 0) << slashes.err;
    EXPECT_EQ(Delivered(slashes), (std::set<Change>{{"changed", share + "/sub \xc3\xa9/", ""},
                                                    {"changed", share + "/sub \xc3\xa9/z", ""}}));
    const auto after = Snapscan({"snapshots", "--json", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(after.Records("snapshot").size(), 1u) << after.out;
    EXPECT_EQ(after.Records("snapshot")[0]["path"], "/ifs/" + kOddName);
    EXPECT_EQ(after.Records("snapshot")[0]["jobId"], 3);
}

}  // namespace
