// What the CLI reports is what happened: whole jobs of the snapscan CLI, the
// plug-in and the host services against arraysim, where an operator's slip, a
// lost state, a concurrent command, a bad configuration or an array that cannot
// snapshot or compare would once have ended in a false success. Each case says
// what the CLI printed and exited with, what was left on the array, and what
// the next job delivered: no change is lost in any of them.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/arraysim_process.h"
#include "tests/e2e/e2e_harness.h"

namespace {

using namespace snapscan_e2e;
using nlohmann::json;
using ::testing::HasSubstr;

class JobOutcomeTest : public E2eTest {
protected:
    long Http(const char* method, const std::string& path, const std::string& body = "",
              std::string* answer = nullptr) {
        return ArraySimRequest(method, "http://127.0.0.1:" + port + path, body, "backup", "pw",
                               answer);
    }
    void AddFaults(const json& rules) {
        std::string answer;
        ASSERT_EQ(Http("POST", "/arraysim/faults", rules.dump(), &answer), 201) << answer;
    }
    void ClearFaults() { EXPECT_EQ(Http("DELETE", "/arraysim/faults"), 204); }
    void ClearRequests() { EXPECT_EQ(Http("DELETE", "/arraysim/requests"), 204); }
    size_t RequestCount() {
        std::string answer;
        EXPECT_EQ(Http("GET", "/arraysim/requests", "", &answer), 200);
        const json log = json::parse(answer, nullptr, false);
        return log.is_object() ? log.value("requests", json::array()).size() : 0;
    }
    uint64_t RulesSeen() {
        std::string answer;
        EXPECT_EQ(Http("GET", "/arraysim/faults", "", &answer), 200);
        json rules = json::parse(answer, nullptr, false);
        if (rules.is_object()) rules = rules.value("rules", json::array());
        uint64_t seen = 0;
        for (const auto& rule : rules) seen += rule.value("seen", uint64_t{0});
        return seen;
    }
    void WriteSettings(const std::string& text) {
        WriteFile(dir / "config" / "settings.ini", text);
    }

    // The content's snapshots on the array, as job ids (one per share and job).
    std::multiset<int64_t> ArrayJobs(int subclient = 1) {
        std::string answer;
        EXPECT_EQ(Http("GET", "/platform/1/snapshot/snapshots", "", &answer), 200) << answer;
        std::multiset<int64_t> jobs;
        const std::string prefix = "TZOP_1_" + std::to_string(subclient) + "_";
        const json listed = json::parse(answer, nullptr, false);
        if (!listed.is_object()) return jobs;
        for (const auto& snapshot : listed.value("snapshots", json::array())) {
            const std::string name = snapshot.value("name", "");
            if (name.rfind(prefix, 0) == 0) jobs.insert(std::atoll(name.c_str() + prefix.size()));
        }
        return jobs;
    }
    json State() {
        return json::parse(ReadFile(dir / "state" / "client-1-subclient-1.json"), nullptr, false);
    }
    static json Last(const Result& result) {
        std::string out = result.out;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return json::parse(out.substr(out.rfind('\n') + 1), nullptr, false);
    }
    // The files a job reported changed, renamed or removed (directories left out).
    static std::set<std::string> Files(const Result& job) {
        std::set<std::string> files;
        for (const auto& item : job.Records("item")) {
            const std::string path = item["path"];
            if (path.back() != '/') files.insert(path);
        }
        return files;
    }
    std::string Touch(const std::string& share, const std::string& name) {
        const fs::path path = fs::path(Share(share)) / "d1" / name;
        WriteFile(path, name + "\n");
        return path.string();
    }
    Result Background(const std::vector<std::string>& args, const std::string& name, pid_t& pid) {
        pid = Spawn(CliArgs(args), dir / (name + ".out"), dir / (name + ".err"));
        return Result();
    }
    Result Wait(pid_t pid, const std::string& name) {
        Result result;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            result.status = WEXITSTATUS(status);
        result.out = ReadFile(dir / (name + ".out"));
        result.err = ReadFile(dir / (name + ".err"));
        return result;
    }
};

// The state was removed (as one does with a damaged one) while the snapshots of
// jobs 1 and 2 are still on the array: the next job must not become job 1 again
// and read job 1's old snapshot as its own.
TEST_F(JobOutcomeTest, JobIdsNeverReuseASnapshotOfAnEarlierJob) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(Job(1, 1, shares, "j1").status, 0);
    const std::string first = Touch("s1", "first");
    const Result second = Job(1, 1, shares, "j2");
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(Files(second), std::set<std::string>{first});
    ASSERT_EQ(ArrayJobs(), std::multiset<int64_t>{2});

    fs::remove(dir / "state" / "client-1-subclient-1.json");
    const std::string lost = Touch("s1", "after-state-lost");
    const Result third = Job(1, 1, shares, "j3");
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(Last(third)["jobId"], 3);
    ASSERT_EQ(third.Records("share").size(), 1u);
    EXPECT_THAT(third.Records("share")[0]["readPath"].get<std::string>(),
                HasSubstr("/TZOP_1_1_3_"));
    // Without a base the share is read in full: nothing of it is lost.
    EXPECT_EQ(third.Records("fullScan").size(), 1u);
    EXPECT_TRUE(fs::exists(third.Records("share")[0]["readPath"].get<std::string>() +
                           "/d1/after-state-lost"))
        << lost;
    EXPECT_EQ(ArrayJobs(), std::multiset<int64_t>{3});

    // A given job id whose snapshots exist is refused, unless it is a restart.
    const Result reused = Job(1, 1, shares, "reuse", {"--job-id", "3", "--prev-job-id", "2"});
    EXPECT_EQ(reused.status, 1);
    EXPECT_THAT(reused.err,
                HasSubstr("snapshots of job 3 of client 1 subclient 1 are on the array already"));
    EXPECT_EQ(Last(reused)["event"], "done");
    const Result restart = Job(1, 1, shares, "restart", {"--job-id", "3", "--restart"});
    EXPECT_EQ(restart.status, 0) << restart.err;

    // The chain goes on from job 3.
    const std::string later = Touch("s1", "later");
    const Result fourth = Job(1, 1, shares, "j4");
    ASSERT_EQ(fourth.status, 0) << fourth.err;
    EXPECT_EQ(Last(fourth)["jobId"], 4);
    EXPECT_EQ(Files(fourth), std::set<std::string>{later});
}

// While a job of a content runs, every other command that would change its
// snapshots or state is refused at once: a cleanup, a deletion of failed
// shares, a job with a given id, a job with another state directory.
TEST_F(JobOutcomeTest, CommandsThatChangeAContentWaitForNoRunningJob) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(Job(1, 1, shares, "base").status, 0);
    AddFaults({{"method", "POST"},
               {"path", "/platform/1/snapshot/snapshots"},
               {"action", "delay"},
               {"delay_ms", 2500},
               {"count", 1}});
    pid_t pid = -1;
    Background(JobArgs(1, 1, shares, "held"), "held", pid);
    for (int i = 0; i < 2000 && RulesSeen() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(RulesSeen(), 0u);
    // The job holds its lock; stopped, it goes on holding it however long the
    // other commands take (a slow machine, a sanitizer build).
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);

    const std::vector<std::vector<std::string>> others = {
        {"cleanup", "--json", "--client-id", "1", "--subclient-id", "1", "--job-id", "1"},
        {"delete-failed", "--json", "--client-id", "1", "--subclient-id", "1", "--job-id", "2",
         "127.0.0.1:/ifs/s1"},
        JobArgs(1, 1, shares, "given", {"--job-id", "50"}),
        [&] {
            auto args = JobArgs(1, 1, shares, "other-state");
            args.insert(args.begin(), {"--state-dir", (dir / "other-state").string()});
            return args;
        }(),
    };
    for (const auto& args : others) {
        SCOPED_TRACE(args[0] == "--state-dir" ? "another state directory" : args[0]);
        const Result refused = Snapscan(args);
        EXPECT_EQ(refused.status, 1);
        EXPECT_THAT(refused.err, HasSubstr("another snapscan run of client 1 subclient 1 holds"));
        EXPECT_EQ(Last(refused)["event"], "done");
    }
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    const Result held = Wait(pid, "held");
    ASSERT_EQ(held.status, 0) << held.err;
    ASSERT_EQ(held.Records("share").size(), 1u);
    EXPECT_TRUE(fs::exists(held.Records("share")[0]["readPath"].get<std::string>()));
    EXPECT_EQ(ArrayJobs(), std::multiset<int64_t>{2});
}

// How a job ends decides its exit status, the next job's base and what stays on
// the array: a share not processed keeps the old base and its snapshots, a
// failure wins over a share not processed, a share read live is said, and an
// array without snap-scan support costs change detection only.
TEST_F(JobOutcomeTest, TheExitStatusAndTheBaseFollowWhatWasDelivered) {
    struct Case {
        const char* name;
        std::function<void()> arrange;  // faults, settings, array
        bool withMissingShare;          // a share that is not mounted is listed too
        int status;
        std::vector<const char*> events;  // records the job must have
        bool becomesBase;
    };
    const auto failCreate = [&] {
        AddFaults({{"method", "POST"},
                   {"path", "/platform/1/snapshot/snapshots"},
                   {"action", "error"},
                   {"status", 500},
                   {"count", 1}});
    };
    const std::vector<Case> cases = {
        {"a share not processed, then a comparison failing",
         [&] {
             AddFaults({{"method", "POST"},
                        {"path", "/platform/3/job/jobs"},
                        {"action", "error"},
                        {"status", 500},
                        {"count", 1}});
         },
         true,
         1,
         {"notProcessed", "error"},
         false},
        {"snapshots only, one share's snapshot failing",
         [&] {
             WriteSettings("[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1\n");
             failCreate();
         },
         false,
         3,
         {"notProcessed", "notBase"},
         false},
        {"one share's snapshot failing, read live", failCreate, false, 3, {"liveRead"}, true},
        {"an array too old for snap scan",
         [&] {
             AddFaults(
                 {{"method", "GET"},
                  {"path", "/platform/1/cluster/config"},
                  {"action", "body"},
                  {"body",
                   R"({"name":"old","onefs_version":{"build":"B_8_0_0_0","release":"v8.0.0.0",)"
                   R"("revision":"1","type":"Isilon OneFS","version":"8.0.0.0"}})"},
                  {"count", -1}});
         },
         false,
         0,
         {"snapScanUnavailable"},
         true},
    };
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    ASSERT_EQ(Job(1, 1, shares, "full").status, 0);
    int step = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = "case" + std::to_string(++step);
        const int64_t base = State()["baseJobId"];
        const std::set<std::string> before = {Touch("s1", tag + "-before"),
                                              Touch("s2", tag + "-before")};
        c.arrange();
        std::vector<std::string> listed = shares;
        if (c.withMissingShare) listed.push_back(Share("nowhere"));
        const Result job = Job(1, 1, listed, tag);
        ClearFaults();
        WriteSettings("[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 20\n");
        EXPECT_EQ(job.status, c.status) << job.out << job.err;
        EXPECT_EQ(Last(job)["event"], "done");
        EXPECT_EQ(Last(job)["status"], c.status);
        for (const char* event : c.events)
            EXPECT_FALSE(job.Records(event).empty()) << event << "\n" << job.out;
        for (const char* event : {"notProcessed", "liveRead"})
            for (const auto& record : job.Records(event))
                EXPECT_NE(record["reason"], "see the log") << record;
        const int64_t jobId = Last(job)["jobId"];
        EXPECT_EQ(State()["baseJobId"], c.becomesBase ? jobId : base);
        // The old base's snapshots stay until a job that delivered replaces them.
        const std::multiset<int64_t> left = ArrayJobs();
        if (c.becomesBase) {
            EXPECT_EQ(left.count(base), 0u);
        } else {
            EXPECT_EQ(left.count(base), shares.size());
        }

        const std::set<std::string> after = {Touch("s1", tag + "-after"),
                                             Touch("s2", tag + "-after")};
        const Result next = Job(1, 1, shares, tag + "-next");
        ASSERT_EQ(next.status, 0) << next.err;
        std::set<std::string> expected = after;
        if (!c.becomesBase) expected.insert(before.begin(), before.end());
        std::set<std::string> delivered = Files(next);
        // A share read in full last time has no base now and is read in full
        // again; its changes are then not items.
        for (const auto& full : next.Records("fullScan")) {
            const std::string share = full["share"];
            for (auto it = expected.begin(); it != expected.end();)
                it = it->rfind(share + "/", 0) == 0 ? expected.erase(it) : std::next(it);
        }
        EXPECT_EQ(delivered, expected);
        EXPECT_EQ(ArrayJobs(), (std::multiset<int64_t>{Last(next)["jobId"], Last(next)["jobId"]}));
        if (HasFailure()) return;
    }
}

// Command lines that would name the wrong client or job are usage errors, and
// nothing reaches the array.
TEST_F(JobOutcomeTest, IdsArePlainDecimalAndCheckedBeforeAnything) {
    ClearRequests();
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"cleanup", "--client-id", "010", "--subclient-id", "1", "--job-id", "1"},
         "--client-id: [010] is not a plain decimal number"},
        {{"cleanup", "--client-id", "0x1", "--subclient-id", "1"}, "--client-id"},
        {{"cleanup", "--client-id", "-1", "--subclient-id", "1"}, "--client-id"},
        {{"cleanup", "--client-id", "4294967296", "--subclient-id", "1"}, "is above 4294967295"},
        {{"cleanup", "--client-id", "1", "--subclient-id", "1", "--job-id", "0"},
         "a job id is a positive"},
        {JobArgs(1, 1, {Share("s1")}, "neg", {"--job-id", "-3"}), "--job-id"},
        {JobArgs(1, 1, {Share("s1")}, "prev", {"--job-id", "5", "--prev-job-id", "5"}),
         "is not below the job id 5"},
        {JobArgs(1, 1, {Share("s1")}, "restart", {"--restart"}), "--restart"},
        {{"jbo", "--client-id", "1"}, "unknown command 'jbo'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const Result result = Snapscan(c.args);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.says));
    }
    EXPECT_EQ(RequestCount(), 0u);
}

// A configuration that cannot be read exactly stops the job before any array
// call, naming the file, the line and the reason; what only looks odd (a BOM,
// CRLF, a quoted password with comment characters) is read as meant.
TEST_F(JobOutcomeTest, ConfigurationFailsClosed) {
    struct Case {
        const char* name;
        std::function<void()> write;
        int status;
        const char* says;
    };
    const fs::path credentials = dir / "config" / "credentials.ini";
    const std::vector<Case> cases = {
        {"a malformed settings line",
         [&] {
             WriteSettings(
                 "[~FileSystemAgent]\nbBackupFromSnapshotOnly = 1\nthis is not a setting\n");
         },
         1, "settings.ini: line 3: not a [section], a key = value or a comment"},
        {"a flag written yes",
         [&] { WriteSettings("[~FileSystemAgent]\nbBackupFromSnapshotOnly = yes\n"); }, 1,
         "settings.ini: line 2: setting [bBackupFromSnapshotOnly] of [~FileSystemAgent] is not an "
         "integer"},
        {"BOM and CRLF",
         [&] {
             WriteSettings("\xEF\xBB\xBF[~FileSystemAgent]\r\nbBackupFromSnapshotOnly = 1\r\n");
         },
         0, ""},
        {"credentials as a FIFO",
         [&] {
             fs::remove(credentials);
             ASSERT_EQ(::mkfifo(credentials.c_str(), 0600), 0);
         },
         1, "credentials.ini: is not a regular file; refused"},
        {"credentials in a directory others can write",
         [&] { ASSERT_EQ(::chmod((dir / "config").c_str(), 0777), 0); }, 1,
         "which others can write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearRequests();
        c.write();
        const Result job = Job(1, 1, {Share("s1")}, c.name);
        EXPECT_EQ(job.status, c.status) << job.err;
        if (c.status != 0) {
            EXPECT_THAT(job.err, HasSubstr(c.says));
            EXPECT_EQ(RequestCount(), 0u) << "the array was called";
            EXPECT_EQ(Last(job)["status"], 1);
            EXPECT_THAT(Last(job)["cause"].get<std::string>(), HasSubstr(c.says));
        }
        ASSERT_EQ(::chmod((dir / "config").c_str(), 0700), 0);
        fs::remove(credentials);
        WriteCredentials(0600);
        WriteSettings("[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 20\n");
    }

    // A password with blanks and comment characters, quoted.
    StopArray();
    arrayPassword = "p ;w#x";
    StartArray();
    WriteCredentials(0600);
    ASSERT_THAT(ReadFile(credentials), HasSubstr("password = \"p ;w#x\"\n"));
    const Result quoted = Job(1, 1, {Share("s1")}, "quoted");
    EXPECT_EQ(quoted.status, 0) << quoted.err;
    EXPECT_EQ(ReadFile(dir / "log" / "snapscan.log").find("p ;w#x"), std::string::npos);

    // snapscan check says the same without a job, and touches nothing.
    ClearRequests();
    const Result fine =
        Snapscan({"check", "--json", "--client-id", "1", "--share", Share("s1"), "--array"});
    EXPECT_EQ(fine.status, 0) << fine.out << fine.err;
    std::set<std::string> passed;
    for (const auto& record : fine.Records("check"))
        if (record["ok"] == true) passed.insert(record["check"].get<std::string>());
    EXPECT_EQ(passed, (std::set<std::string>{"settings", "credentials", "mount table",
                                             "share " + Share("s1"), "array login", "array release",
                                             "changelist job type"}));
    WriteSettings("[~FileSystemAgent]\nbBackupFromSnapshotOnly = on\n");
    const Result bad = Snapscan({"check", "--client-id", "1", "--share", Share("nowhere")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_THAT(bad.out, HasSubstr("FAILED  settings: "));
    EXPECT_THAT(bad.out, HasSubstr("FAILED  share " + Share("nowhere") + ": not on any mount"));
}

// Under umask 000 every file and directory the CLI and the host services make
// is still the owner's alone: a map file others could write would let them
// choose where the backup reads a share from.
TEST_F(JobOutcomeTest, FilesAreOwnerOnlyWhateverTheUmask) {
    const mode_t saved = ::umask(0);
    const Result job = Job(1, 1, {Share("s1")}, "umask");
    ::umask(saved);
    ASSERT_EQ(job.status, 0) << job.err;
    for (const fs::path& path : {dir / "log", dir / "log" / "snapscan.log", dir / "state",
                                 dir / "state" / "client-1-subclient-1.json", dir / "locks",
                                 dir / "locks" / "client-1-subclient-1.lock",
                                 dir / "results" / "umask", dir / "results" / "umask" / "map"}) {
        struct stat info;
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 077, 0u)
            << path << " has mode " << std::oct << (info.st_mode & 0777);
    }
}

// Names on old shares are often Latin-1, and a lone continuation byte is a
// legal name too: such changes go through a whole job byte for byte, shown
// reversibly in the JSON output, and the next incremental still works.
TEST_F(JobOutcomeTest, NamesThatAreNotUtf8GoThroughWholeJobsExactly) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(Job(1, 1, shares, "full").status, 0);
    const std::vector<std::string> names = {"caf\xe9",
                                            "lone\x80"
                                            "byte",
                                            "ok-\xc3\xa9"};
    for (const std::string& name : names) WriteFile(fs::path(Share("s1")) / name, "x\n");
    const Result job = Job(1, 1, shares, "odd");
    ASSERT_EQ(job.status, 0) << job.err;
    std::map<std::string, std::string> hexByName;
    for (const auto& item : job.Records("item")) {
        const std::string path = item["path"];
        if (item.contains("pathHex")) hexByName[path] = item["pathHex"];
    }
    const auto hex = [](const std::string& bytes) {
        std::string text;
        char pair[3];
        for (const unsigned char c : bytes) {
            std::snprintf(pair, sizeof pair, "%02x", c);
            text += pair;
        }
        return text;
    };
    std::set<std::string> exact;
    for (const auto& [path, pathHex] : hexByName) exact.insert(pathHex);
    // Exactly the two names that are not UTF-8 carry their bytes; the UTF-8 one is as it is.
    EXPECT_EQ(exact,
              (std::set<std::string>{hex(Share("s1") + "/caf\xe9"), hex(Share("s1") + "/lone\x80"
                                                                                      "byte")}));
    bool utf8Seen = false;
    for (const auto& item : job.Records("item"))
        utf8Seen = utf8Seen || item["path"] == Share("s1") + "/ok-\xc3\xa9";
    EXPECT_TRUE(utf8Seen) << job.out;

    WriteFile(fs::path(Share("s1")) / "after", "x\n");
    const Result next = Job(1, 1, shares, "next");
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(Files(next), std::set<std::string>{Share("s1") + "/after"});
}

}  // namespace
