// Faults through whole jobs: the snapscan CLI with the real plug-in and array
// client against arraysim, with the array failing requests, answering garbage,
// expiring the session, stopping to answer, or the CLI killed mid-job. After
// every fault the job has ended in bounded time with a clear exit status and
// message, the next job delivers exactly the changes since the last delivered
// job, and its cleanups leave only its own snapshots on the array.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_harness.h"
#include "tests/support/arraysim_process.h"

namespace {

using namespace snapscan_e2e;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kDeadlineSeconds = 60;  // no job here may take near this long; it means a hang

// Which of the content's snapshots are on the array: the base job's, the job's
// under test, both or none.
enum Left : unsigned { kNone = 0, kBase = 1, kJob = 2, kBoth = 3 };

// What the job after a fault must deliver.
enum class Next {
    kSinceBase,     // the faulted job delivered nothing: every change since the base
    kSinceFaulted,  // the faulted job delivered: only the changes made after it
    kFullScan,      // no comparison base is left: the share is read in full
};

class FaultsTest : public E2eTest {
protected:
    void SetUp() override {
        credentialsExtra = "connectTimeoutSeconds = 2\nlowSpeedTimeSeconds = 2\n";
        E2eTest::SetUp();
    }

    void TearDown() override {
        if (arrayStopped) ::kill(array.Pid(), SIGCONT);
        E2eTest::TearDown();
    }

    // One request to arraysim: its control endpoints, or its API with Basic auth.
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
    void Control(const json& control) {
        std::string answer;
        ASSERT_EQ(Http("POST", "/arraysim/control", control.dump(), &answer), 204) << answer;
    }
    json Rules() {
        std::string answer;
        EXPECT_EQ(Http("GET", "/arraysim/faults", "", &answer), 200);
        const json rules = json::parse(answer, nullptr, false);
        return rules.is_object() && rules.contains("rules") ? rules["rules"] : rules;
    }
    // How often the rules fired and how many requests they matched.
    uint64_t RulesFired() {
        uint64_t fired = 0;
        for (const auto& rule : Rules()) fired += rule.value("fired", uint64_t{0});
        return fired;
    }
    uint64_t RulesSeen() {
        uint64_t seen = 0;
        for (const auto& rule : Rules()) seen += rule.value("seen", uint64_t{0});
        return seen;
    }
    // The API requests arraysim logged (each once answered).
    json Requests() {
        std::string answer;
        EXPECT_EQ(Http("GET", "/arraysim/requests", "", &answer), 200);
        const json log = json::parse(answer, nullptr, false);
        return log.is_object() ? log.value("requests", json::array()) : json::array();
    }

    // Waits until `done` holds; false after `seconds`.
    static bool WaitFor(const std::function<bool()>& done, int seconds = kDeadlineSeconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    pid_t StartCli(const std::vector<std::string>& args, const std::string& name) {
        return Spawn(CliArgs(args), dir / (name + ".out"), dir / (name + ".err"));
    }

    // Waits for a CLI run; one still running at the deadline has hung: it is
    // killed and the test fails.
    Result Finish(pid_t pid, const std::string& name, double* seconds = nullptr) {
        Result result;
        EXPECT_GT(pid, 0);
        if (pid <= 0) return result;
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << name << ": still running after " << kDeadlineSeconds << " s";
        }
        if (seconds)
            *seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (ended && WIFEXITED(status)) result.status = WEXITSTATUS(status);
        result.out = ReadFile(dir / (name + ".out"));
        result.err = ReadFile(dir / (name + ".err"));
        return result;
    }

    Result RunJob(int subclient, const std::vector<std::string>& shares, const std::string& name,
                  double* seconds = nullptr) {
        return Finish(StartCli(JobArgs(1, subclient, shares, name), name), name, seconds);
    }

    // Kills a running CLI outright, as a crash or an operator would.
    void Kill(pid_t pid) {
        ASSERT_GT(pid, 0);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the job ended before it was killed";
    }

    json State(int subclient) {
        return json::parse(
            ReadFile(dir / "state" / ("client-1-subclient-" + std::to_string(subclient) + ".json")),
            nullptr, false);
    }

    // The job ids of the content's snapshots, as the array lists them (asked
    // directly, no fault rule being in place: a CLI run per check is slow).
    std::multiset<int64_t> ArrayJobsOf(int subclient) {
        std::string answer;
        EXPECT_EQ(Http("GET", "/platform/1/snapshot/snapshots", "", &answer), 200) << answer;
        const json listed = json::parse(answer, nullptr, false);
        std::multiset<int64_t> jobs;
        const std::string prefix = "TZOP_1_" + std::to_string(subclient) + "_";
        if (!listed.is_object()) return jobs;
        for (const auto& snapshot : listed.value("snapshots", json::array())) {
            const std::string name = snapshot.value("name", "");
            if (name.rfind(prefix, 0) == 0) jobs.insert(std::atoll(name.c_str() + prefix.size()));
        }
        return jobs;
    }

    // The content's snapshots on the array by job, as a set of the base's and the job's.
    unsigned LeftOf(int subclient, int64_t base, int64_t job,
                    std::multiset<int64_t>* all = nullptr) {
        const std::multiset<int64_t> jobs = ArrayJobsOf(subclient);
        if (all) *all = jobs;
        unsigned left = kNone;
        for (int64_t id : jobs) left |= id == base ? kBase : id == job ? kJob : 4u;
        return left;
    }

    // The regular files a job reported changed, renamed or removed.
    static std::set<std::string> ChangedFiles(const Result& job) {
        std::set<std::string> files;
        for (const auto& item : job.Records("item")) {
            const std::string path = item["path"];
            if (path.back() != '/') files.insert(path);
        }
        return files;
    }

    std::string File(const std::string& share, const std::string& name) const {
        return (fs::path(Share(share)) / "d1" / name).string();
    }

    // One more job after a fault: it must succeed, deliver what `next` says,
    // leave nothing but its own snapshots and become the base.
    void CheckNextJob(int subclient, const std::vector<std::string>& shares,
                      const std::string& name, Next next, const std::set<std::string>& sinceBase,
                      const std::set<std::string>& sinceFaulted, int64_t& lastJob) {
        const Result job = RunJob(subclient, shares, name);
        ++lastJob;
        ASSERT_EQ(job.status, 0) << job.err;
        ASSERT_FALSE(job.Records("job").empty()) << job.out;
        EXPECT_EQ(job.Records("job")[0]["jobId"], lastJob);
        switch (next) {
            case Next::kSinceBase:
                EXPECT_EQ(ChangedFiles(job), sinceBase);
                EXPECT_TRUE(job.Records("fullScan").empty()) << job.out;
                break;
            case Next::kSinceFaulted:
                EXPECT_EQ(ChangedFiles(job), sinceFaulted);
                EXPECT_TRUE(job.Records("fullScan").empty()) << job.out;
                break;
            case Next::kFullScan:
                EXPECT_EQ(job.Records("fullScan").size(), shares.size()) << job.out;
                EXPECT_TRUE(job.Records("item").empty()) << job.out;
                break;
        }
        std::multiset<int64_t> all;
        EXPECT_EQ(LeftOf(subclient, -1, lastJob, &all), kJob) << ::testing::PrintToString(all);
        EXPECT_EQ(all.size(), shares.size());
        EXPECT_EQ(State(subclient)["baseJobId"], lastJob);
    }

    bool arrayStopped = false;
};

// ---------------------------------------------------------------------------
// Failed requests of every kind, and answers that cannot be used.

struct RequestKind {
    const char* name;
    const char* method;
    const char* path;
    uint64_t skip;
};

// The requests of one incremental job of one share, in their order. Changelist
// pages are one entry each here, so every changelist has several.
// Before the job takes its id, the CLI lists the content's snapshots.
constexpr RequestKind kIdList{"job id list", "GET", "/platform/1/snapshot/snapshots", 0};
constexpr RequestKind kVersion{"version", "GET", "/platform/1/cluster/config", 0};
constexpr RequestKind kJobType{"job type", "GET", "/platform/1/job/types/ChangelistCreate", 0};
constexpr RequestKind kCreate{"create", "POST", "/platform/1/snapshot/snapshots", 0};
constexpr RequestKind kList{"list", "GET", "/platform/1/snapshot/snapshots", 1};
constexpr RequestKind kJobStart{"job start", "POST", "/platform/3/job/jobs", 0};
constexpr RequestKind kJobState{"job state", "GET", "/platform/3/job/jobs/", 0};
constexpr RequestKind kChangelist{"changelist", "GET", "/platform/1/snapshot/changelists/", 0};
constexpr RequestKind kFirstPage{"first page", "GET", "/platform/1/snapshot/changelists/", 1};
constexpr RequestKind kLaterPage{"later page", "GET", "/platform/1/snapshot/changelists/", 2};
constexpr RequestKind kCleanupList{"cleanup list", "GET", "/platform/1/snapshot/snapshots", 2};
constexpr RequestKind kDelete{"delete", "DELETE", "/platform/1/snapshot/snapshots/", 0};

// What a fault of one kind of request does to the job.
struct KindOutcome {
    RequestKind kind;
    int status;         // exit status of the faulted job
    const char* phase;  // its stderr: "snapscan: <phase> failed: ..." ("": empty)
    const char* text;   // and this
    unsigned left;      // the content's snapshots on the array afterwards
    Next next;
    bool takesJobId = true;  // the run got as far as taking a job id
};

// A request that fails outright (HTTP error, connection gone, no usable
// answer) fails the job at the step that needed it, except where a failure
// costs no change: the snap-scan check failing costs change detection only
// (every share read in full, a success), a snapshot that could not be made
// sends the share to the live file system (read in full, said, exit 3), a
// snapshot that could not be deleted is deleted by the next job. A listing
// failing before the job takes its id runs no job at all.
constexpr const char* kNoList =
    "Couldn't get snapshot list from file server. Error message[GetSnapshotList: GET";
constexpr const char* kNoJob = "Unable to create snapshot changelist between snapshots [BASE][";
constexpr const char* kNoChangelist =
    "Unable to get the snapshot changelist between snapshots [BASE][";
constexpr const char* kCompare = "CompareSnapshots of ";

const std::vector<KindOutcome> kKindOutcomes = {
    {kIdList, 1, "job", "cannot list the content's snapshots to choose the job id", kBase,
     Next::kSinceBase, false},
    {kVersion, 0, "", "", kJob, Next::kSinceFaulted},
    {kJobType, 0, "", "", kJob, Next::kSinceFaulted},
    {kCreate, 3, "", "", kNone, Next::kFullScan},
    {kList, 1, "ConfigureSnapshot", kNoList, kBoth, Next::kSinceBase},
    {kJobStart, 1, kCompare, kNoJob, kBoth, Next::kSinceBase},
    {kJobState, 1, kCompare, kNoChangelist, kBoth, Next::kSinceBase},
    {kChangelist, 1, kCompare, kNoChangelist, kBoth, Next::kSinceBase},
    {kFirstPage, 1, kCompare, kNoChangelist, kBoth, Next::kSinceBase},
    {kLaterPage, 1, kCompare, kNoChangelist, kBoth, Next::kSinceBase},
    {kCleanupList, 1, "CleanupSnapshotsPostBackup", kNoList, kBoth, Next::kSinceFaulted},
    {kDelete, 0, "", "", kBoth, Next::kSinceFaulted},
};

struct Fault {
    const char* name;
    json rule;         // without method, path and skip
    const char* text;  // what the failure says about it
    bool served;       // the array did what was asked; only its answer went wrong
    // The kinds of request it is tried on; all when empty.
    std::vector<const char*> kinds = {};
};

// A fault of the connection or of the status line reads the same whatever was
// asked; one kind of each step is enough for those.
const std::vector<const char*> kEachStep = {"job id list", "version",    "create", "list",
                                            "job start",   "later page", "delete"};

const std::vector<Fault> kTransportFaults = {
    {"HTTP 500",
     {{"action", "error"}, {"status", 500}, {"count", 1}},
     "answered HTTP 500: injected fault",
     false},
    {"HTTP 503",
     {{"action", "error"},
      {"status", 503},
      {"code", "AEC_SERVICE_UNAVAILABLE"},
      {"message", "busy"},
      {"count", 1}},
     "answered HTTP 503 AEC_SERVICE_UNAVAILABLE: busy",
     false},
    // curl sends a request again once when a kept-alive connection turns out closed.
    {"dropped connection", {{"action", "drop"}, {"count", 2}}, "Empty reply from server", false},
};

const std::vector<Fault> kBadAnswerFaults = {
    {"malformed JSON", {{"action", "malformed"}, {"count", 1}}, "with an unusable body", true},
    {"truncated answer",
     {{"action", "truncate"}, {"count", 1}},
     "transfer failed",
     true,
     kEachStep},
    {"HTML error page",
     {{"action", "html"}, {"status", 502}, {"count", 1}},
     "answered HTTP 502",
     false,
     kEachStep},
    {"JSON of the wrong types",
     {{"action", "body"},
      {"body", R"({"snapshots":"none","id":"7","cluster":[],"onefs_version":{"release":8},)"
               R"("types":{},"jobs":[{"id":-1}],"changelists":[{"root_path":5}],"lins":{"id":1}})"},
      {"count", 1}},
     "with an unusable body",
     true},
};

class RequestFaultsTest : public FaultsTest {
protected:
    void SetUp() override {
        FaultsTest::SetUp();
        Control({{"changelist_page_size", 1}});
        ASSERT_EQ(RunJob(kSubclient, {Share("s1")}, "full").status, 0);
        lastJob = 1;
    }

    // Every fault against every kind of request, the jobs of one content
    // chained: the faulted job, then a job that must deliver exactly what the
    // fault left undelivered and clean up after it. `adjust` gives the outcome
    // of a fault where it differs from the kind's.
    void RunTable(const std::vector<Fault>& faults,
                  const std::function<KindOutcome(const Fault&, KindOutcome)>& adjust) {
        int step = 0;
        for (const Fault& fault : faults) {
            for (const KindOutcome& byKind : kKindOutcomes) {
                if (!fault.kinds.empty() &&
                    std::find_if(fault.kinds.begin(), fault.kinds.end(), [&](const char* kind) {
                        return std::string(kind) == byKind.kind.name;
                    }) == fault.kinds.end())
                    continue;
                const KindOutcome expected = adjust(fault, byKind);
                const std::string name = std::string(fault.name) + " on " + expected.kind.name;
                SCOPED_TRACE(name);
                const std::string tag = "case" + std::to_string(++step);
                const int64_t base = State(kSubclient)["baseJobId"];

                // A change before the faulted job, one after it.
                const std::string before = File("s1", tag + "-before");
                WriteFile(before, "before\n");
                json rule = fault.rule;
                rule["method"] = expected.kind.method;
                rule["path"] = expected.kind.path;
                rule["skip"] = expected.kind.skip;
                AddFaults(rule);
                double seconds = 0;
                const Result faulted = RunJob(kSubclient, {Share("s1")}, tag, &seconds);
                if (expected.takesJobId) ++lastJob;
                EXPECT_GT(RulesFired(), 0u) << "the fault never fired";
                ClearFaults();
                EXPECT_EQ(faulted.status, expected.status) << faulted.err;
                ASSERT_FALSE(faulted.out.empty());
                EXPECT_EQ(json::parse(faulted.out.substr(
                              faulted.out.rfind('\n', faulted.out.size() - 2) + 1))["status"],
                          expected.status)
                    << "the last record is not the job's outcome";
                if (expected.phase[0] == '\0') {
                    EXPECT_EQ(faulted.err, "");
                } else {
                    EXPECT_THAT(faulted.err, HasSubstr(std::string("snapscan: ") + expected.phase));
                    EXPECT_THAT(faulted.err, HasSubstr(expected.text));
                    EXPECT_THAT(faulted.err, HasSubstr(fault.text));
                }
                EXPECT_THAT(faulted.err, Not(HasSubstr("pw")));
                std::multiset<int64_t> all;
                EXPECT_EQ(LeftOf(kSubclient, base, lastJob, &all), expected.left)
                    << "base " << base << ", snapshots of jobs " << ::testing::PrintToString(all);
                const std::string after = File("s1", tag + "-after");
                WriteFile(after, "after\n");
                CheckNextJob(kSubclient, {Share("s1")}, tag + "-next", expected.next,
                             {before, after}, {after}, lastJob);
                if (HasFailure()) return;  // the chain is broken: later cases would only echo it
            }
        }
    }

    static constexpr int kSubclient = 1;
    int64_t lastJob = 0;
};

// An answer that went wrong after the array made the snapshot or deleted it:
// a made snapshot is there to compare against next time though the job read
// the share from the live file system; a deleted one is gone.
KindOutcome WhenServed(const Fault& fault, KindOutcome outcome) {
    if (!fault.served) return outcome;
    if (std::string(outcome.kind.name) == kCreate.name) {
        outcome.left = kJob;
        outcome.next = Next::kSinceFaulted;
    }
    if (std::string(outcome.kind.name) == kDelete.name) outcome.left = kJob;
    return outcome;
}

TEST_F(RequestFaultsTest, ErrorStatusesAndDroppedConnectionsOnEveryRequest) {
    RunTable(kTransportFaults, WhenServed);
}

TEST_F(RequestFaultsTest, UnusableAnswersOnEveryRequest) { RunTable(kBadAnswerFaults, WhenServed); }

// The session ends in the middle of a job (expired, or replaced by the array):
// the client logs in again and the job goes on as if nothing happened.
TEST_F(RequestFaultsTest, SessionEndingMidJobIsRenewed) {
    const std::vector<Fault> faults = {
        {"session expired", {{"action", "expire_sessions"}, {"count", 1}}, "", true},
        {"session replaced", {{"action", "rotate_session"}, {"count", 1}}, "", true},
    };
    RunTable(faults, [](const Fault&, KindOutcome outcome) {
        outcome.status = 0;
        outcome.phase = "";
        outcome.takesJobId = true;
        outcome.left = kJob;
        outcome.next = Next::kSinceFaulted;
        return outcome;
    });
    // Each expiry cost one more login and a 401 that the client answered with it.
    int refused = 0;
    for (const auto& request : Requests())
        if (request["status"] == 401) ++refused;
    EXPECT_GE(refused, 1);
}

// A session the array refuses again right after a new login is a failure of
// the request, with the array's answer in the message.
TEST_F(RequestFaultsTest, SessionRefusedAfterANewLogin) {
    const std::vector<Fault> faults = {
        {"session refused",
         {{"action", "expire_sessions"}, {"count", -1}},
         "answered HTTP 401",
         false,
         kEachStep},
    };
    RunTable(faults, WhenServed);
}

// ---------------------------------------------------------------------------
// An array that stops answering in the middle of a job: the transfer time-out
// ends every request, the job fails in bounded time, and once the array is
// back the next job picks up where the last delivered one ended.
TEST_F(FaultsTest, ArrayThatStopsAnsweringFailsTheJobInBoundedTime) {
    struct Case {
        const char* name;
        RequestKind at;  // the array stops while this request is pending
        const char* phase;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"creating the snapshot", kCreate, "ConfigureSnapshot", kNoList},
        {"reading the changelist", kFirstPage, kCompare, kNoChangelist},
    };
    credentialsExtra = "connectTimeoutSeconds = 1\nlowSpeedTimeSeconds = 1\n";
    WriteCredentials(0600);
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(RunJob(1, shares, "full").status, 0);
    int64_t lastJob = 1;
    int step = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = "case" + std::to_string(++step);
        const std::string before = File("s1", tag + "-before");
        WriteFile(before, "before\n");
        Control({{"changelist_page_size", 1}});
        // The request is held long enough for the array to be stopped under it.
        AddFaults({{"method", c.at.method},
                   {"path", c.at.path},
                   {"skip", c.at.skip},
                   {"action", "delay"},
                   {"delay_ms", 1500},
                   {"count", 1}});
        const pid_t pid = StartCli(JobArgs(1, 1, shares, tag), tag);
        ASSERT_TRUE(WaitFor([&] { return RulesSeen() > 0; }));
        ASSERT_EQ(::kill(array.Pid(), SIGSTOP), 0);
        arrayStopped = true;
        double seconds = 0;
        const Result job = Finish(pid, tag, &seconds);
        ::kill(array.Pid(), SIGCONT);
        arrayStopped = false;
        ++lastJob;
        EXPECT_EQ(job.status, 1) << job.err;
        EXPECT_THAT(job.err, HasSubstr(std::string("snapscan: ") + c.phase));
        EXPECT_THAT(job.err, HasSubstr(c.text));
        // A few requests, each ended by the 1 s time-out: far from the deadline.
        EXPECT_LT(seconds, kDeadlineSeconds / 2) << job.err;
        ClearFaults();
        const std::string after = File("s1", tag + "-after");
        WriteFile(after, "after\n");
        CheckNextJob(1, shares, tag + "-next", Next::kSinceBase, {before, after}, {after}, lastJob);
        if (HasFailure()) return;
    }
}

// ---------------------------------------------------------------------------
// Answers far larger than usual.

// A changelist in one page of 10,000 entries where the client asked for 1,000.
TEST_F(FaultsTest, ChangelistPageFarLargerThanAskedFor) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(RunJob(1, shares, "full").status, 0);
    constexpr int kFiles = 10000;
    std::set<std::string> made;
    const fs::path big = fs::path(Share("s1")) / "big";
    fs::create_directories(big);
    for (int i = 0; i < kFiles; ++i) {
        const fs::path file = big / ("f" + std::to_string(i));
        std::ofstream(file) << 'x';
        made.insert(file.string());
    }
    Control({{"changelist_page_size", 100000}});
    const Result job = RunJob(1, shares, "large");
    ASSERT_EQ(job.status, 0) << job.err;
    EXPECT_EQ(ChangedFiles(job), made);
    int pages = 0;
    for (const auto& request : Requests())
        if (request["path"].get<std::string>().find("/lins") != std::string::npos) ++pages;
    EXPECT_EQ(pages, 1);
    EXPECT_EQ(ArrayJobsOf(1), (std::multiset<int64_t>{2}));
}

// A path of more than 3,000 bytes, deep below the share, in every step.
TEST_F(FaultsTest, VeryLongPathsGoThroughTheWholeJob) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(RunJob(1, shares, "full").status, 0);
    fs::path deep = Share("s1");
    for (int level = 0; level < 13; ++level)
        deep /= std::string(240, static_cast<char>('a' + level));
    const fs::path file = deep / (std::string(200, 'z') + " with spaces, \"quotes\" and ünïcode");
    WriteFile(file, "deep\n");
    ASSERT_GT(file.string().size(), 3300u);
    const Result job = RunJob(1, shares, "long");
    ASSERT_EQ(job.status, 0) << job.err;
    EXPECT_EQ(ChangedFiles(job), (std::set<std::string>{file.string()}));
    // The directories on the way are each reported once, by their full path.
    std::set<std::string> directories;
    for (const auto& item : job.Records("item")) {
        const std::string path = item["path"];
        if (path.back() == '/') directories.insert(path);
    }
    EXPECT_EQ(directories.count(deep.string() + "/"), 1u);
}

// ---------------------------------------------------------------------------
// A snapshot that cannot be deleted while it is locked: the cleanups that
// cannot delete it go on, and the first cleanup after the unlock deletes it.
TEST_F(FaultsTest, LockedSnapshotIsDeletedByTheFirstCleanupAfterItsUnlock) {
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    ASSERT_EQ(RunJob(1, shares, "1").status, 0);
    const auto names = Snapshots(1);
    ASSERT_EQ(names.size(), 2u);
    const std::string locked = names.begin()->first;  // job 1's snapshot of one share
    Control({{"lock", locked}});

    struct Step {
        const char* name;
        bool unlockFirst;
        std::multiset<int64_t> left;  // after the job and its post-backup cleanup
    };
    const std::vector<Step> steps = {
        {"job 2: the post-backup cleanup cannot delete job 1's locked snapshot", false, {1, 2, 2}},
        {"job 3: neither can its job-start retention nor its cleanup", false, {1, 3, 3}},
        {"job 4, after the unlock: its job-start retention deletes it", true, {4, 4}},
    };
    int64_t job = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.unlockFirst) Control({{"unlock", locked}});
        const std::string changed = File("s2", "changed-by-" + std::to_string(job + 1));
        WriteFile(changed, "x\n");
        const Result result = RunJob(1, shares, std::to_string(++job));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(ChangedFiles(result), (std::set<std::string>{changed}));
        EXPECT_EQ(ArrayJobsOf(1), step.left);
    }
    // The refusals were the array's: a locked snapshot answers 409 or the like.
    int refused = 0;
    for (const auto& request : Requests())
        if (request["method"] == "DELETE" &&
            request["path"].get<std::string>().find(locked) != std::string::npos &&
            request["status"] != 204)
            ++refused;
    EXPECT_EQ(refused, 3);
}

// ---------------------------------------------------------------------------
// The CLI killed outright in each phase of a job. The next run is not blocked
// by the dead run's lock, finds its comparison base (the killed job delivered
// nothing, unless it was already cleaning up), delivers exactly what was not
// delivered, and its retention leaves only its own snapshots.
TEST_F(FaultsTest, JobKilledInEachPhaseIsCaughtUpByTheNextJob) {
    struct Case {
        const char* name;
        json hold;      // the rule that holds the phase's request while the CLI is killed
        json control;   // arraysim set-up for the phase, undone afterwards
        unsigned left;  // the content's snapshots once the held request is done
        Next next;
    };
    const json kHold = {{"action", "delay"}, {"delay_ms", 1000}, {"count", 1}};
    const auto hold = [&](const char* method, const char* path, int skip) {
        json rule = kHold;
        rule.update({{"method", method}, {"path", path}, {"skip", skip}});
        return rule;
    };
    const std::vector<Case> cases = {
        {"checking the array", hold("GET", "/platform/1/cluster/config", 0), json::object(), kBase,
         Next::kSinceBase},
        {"creating the snapshots", hold("POST", "/platform/1/snapshot/snapshots", 0),
         json::object(), kBoth, Next::kSinceBase},
        {"job-start retention", hold("GET", "/platform/1/snapshot/snapshots", 1), json::object(),
         kBoth, Next::kSinceBase},
        // The changelist is missing for a minute: the plug-in polls for it.
        {"waiting for the changelist",
         {{"method", "GET"},
          {"path", "/platform/1/snapshot/changelists/"},
          {"action", "delay"},
          {"count", 0}},
         {{"changelist_delay_ms", 60000}},
         kBoth,
         Next::kSinceBase},
        // Pages of one entry: the third page is held.
        {"reading the changelist pages",
         hold("GET", "/platform/1/snapshot/changelists/", 3),
         {{"changelist_page_size", 1}},
         kBoth,
         Next::kSinceBase},
        // The changes were all handed on: the job is the next one's base.
        {"post-backup cleanup", hold("DELETE", "/platform/1/snapshot/snapshots/", 0),
         json::object(), kBoth, Next::kSinceFaulted},
    };
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    ASSERT_EQ(RunJob(1, shares, "full").status, 0);
    int64_t lastJob = 1;
    int step = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = "case" + std::to_string(++step);
        const int64_t base = State(1)["baseJobId"];
        std::set<std::string> before;
        for (const char* share : {"s1", "s2"})
            for (const char* name : {"-before1", "-before2"})
                before.insert(File(share, tag + name));
        for (const auto& file : before) WriteFile(file, "before\n");

        EXPECT_EQ(Http("DELETE", "/arraysim/requests"), 204);
        if (!c.control.empty()) Control(c.control);
        AddFaults(c.hold);
        const pid_t pid = StartCli(JobArgs(1, 1, shares, tag), tag);
        const uint64_t phaseSeen = c.hold.value("skip", 0) + 1;
        ASSERT_TRUE(WaitFor([&] { return RulesSeen() >= phaseSeen; }));
        if (step == 2) {
            // Meanwhile a second run of the same content is refused, not queued.
            const Result second = Finish(
                StartCli(JobArgs(1, 1, shares, tag + "-second"), tag + "-second"), tag + "-second");
            EXPECT_EQ(second.status, 1);
            EXPECT_THAT(second.err,
                        HasSubstr("another snapscan run of client 1 subclient 1 holds"));
        }
        Kill(pid);
        ++lastJob;
        // The request held when the CLI died still completes on the array.
        if (c.hold["count"] != 0) {
            EXPECT_TRUE(WaitFor([&] {
                for (const auto& request : Requests())
                    if (request.contains("fault")) return true;
                return false;
            }));
        }
        ClearFaults();
        Control({{"changelist_delay_ms", 0}, {"changelist_page_size", 0}});
        EXPECT_TRUE(fs::exists(dir / "locks" / "client-1-subclient-1.lock"));
        EXPECT_EQ(State(1)["lastIssuedJobId"], lastJob);
        EXPECT_EQ(State(1)["baseJobId"], c.next == Next::kSinceFaulted ? lastJob : base);
        std::multiset<int64_t> all;
        EXPECT_EQ(LeftOf(1, base, lastJob, &all), c.left) << ::testing::PrintToString(all);

        std::set<std::string> after;
        for (const char* share : {"s1", "s2"}) after.insert(File(share, tag + "-after"));
        for (const auto& file : after) WriteFile(file, "after\n");
        std::set<std::string> sinceBase = before;
        sinceBase.insert(after.begin(), after.end());
        CheckNextJob(1, shares, tag + "-next", c.next, sinceBase, after, lastJob);
        if (HasFailure()) return;
    }
}

}  // namespace
