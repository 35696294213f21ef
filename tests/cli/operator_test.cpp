// What an operator sees: the JSON stream's shape (every line a record with its
// time, the summary, the closing record), the first line of a failure for the
// usual mistakes, quiet output for cron, progress while the array is slow, dry
// runs that change nothing, and the status of a content.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>
#include <sstream>
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
using ::testing::Not;

class OperatorTest : public E2eTest {
protected:
    long Http(const char* method, const std::string& path, const std::string& body = "",
              std::string* answer = nullptr) {
        return ArraySimRequest(method, "http://127.0.0.1:" + port + path, body, "backup", "pw",
                               answer);
    }
    std::vector<std::string> Requests() {
        std::string answer;
        EXPECT_EQ(Http("GET", "/arraysim/requests", "", &answer), 200);
        std::vector<std::string> requests;
        const json log = json::parse(answer, nullptr, false);
        if (!log.is_object()) return requests;
        for (const auto& r : log.value("requests", json::array()))
            requests.push_back(r.value("method", "") + " " + r.value("path", ""));
        return requests;
    }
    static std::vector<json> Lines(const Result& result) {
        std::vector<json> records;
        std::istringstream in(result.out);
        std::string line;
        while (std::getline(in, line)) {
            records.push_back(json::parse(line, nullptr, false));
            EXPECT_TRUE(records.back().is_object()) << "not a JSON record: " << line;
        }
        return records;
    }
    static std::string FirstLine(const std::string& text) {
        return text.substr(0, text.find('\n'));
    }
};

// "2026-12-10T14:30:00.123Z"
bool IsUtcTime(const std::string& text) {
    const std::string shape = "9999-99-99T99:99:99.999Z";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                            : text[i] != shape[i])
            return false;
    }
    return true;
}

TEST_F(OperatorTest, EveryJsonLineIsARecordWithItsTimeAndTheSummaryComesLast) {
    const std::vector<std::string> shares = {Share("s1"), Share("s2"), Share("nowhere")};
    ASSERT_EQ(Job(1, 1, {Share("s1"), Share("s2")}, "full").status, 0);
    WriteFile(fs::path(Share("s1")) / "d1" / "new", "new\n");
    fs::rename(fs::path(Share("s1")) / "top", fs::path(Share("s1")) / "top2");
    fs::remove(fs::path(Share("s2")) / "top");
    const Result job = Job(1, 1, shares, "incremental");
    EXPECT_EQ(job.status, 3) << job.err;
    const std::vector<json> records = Lines(job);
    ASSERT_GE(records.size(), 4u);
    for (const json& record : records) {
        ASSERT_TRUE(record.contains("event")) << record;
        EXPECT_TRUE(IsUtcTime(record.value("time", ""))) << record;
    }
    EXPECT_EQ(records.back()["event"], "done");
    EXPECT_EQ(records.back()["status"], 3);
    const json& summary = records[records.size() - 2];
    ASSERT_EQ(summary["event"], "summary") << summary;
    EXPECT_EQ(summary["status"], 3);
    for (const char* phase : {"snapshot", "wait", "load", "delivery", "cleanup", "total"})
        EXPECT_TRUE(summary["seconds"].contains(phase)) << phase;
    std::map<std::string, json> byShare;
    for (const json& share : summary["shares"]) byShare[share["share"]] = share;
    ASSERT_EQ(byShare.size(), 3u) << summary;
    EXPECT_EQ(byShare[Share("nowhere")]["mode"], "notProcessed");
    EXPECT_THAT(byShare[Share("nowhere")]["reason"].get<std::string>(),
                HasSubstr("is not mounted"));
    const json& s1 = byShare[Share("s1")];
    EXPECT_EQ(s1["mode"], "incremental");
    EXPECT_EQ(s1["changed"], 3);  // the new file, d1 and the share's root, whose entries changed
    EXPECT_EQ(s1["renamed"], 1);  // top, paired with its old name
    EXPECT_EQ(s1["removed"], 0);
    // The array's entries: each change, and the old name of the rename.
    EXPECT_EQ(s1["entries"], 5);
    EXPECT_THAT(s1["readPath"].get<std::string>(), HasSubstr("/.snapshot/TZOP_1_1_2_"));
    EXPECT_EQ(byShare[Share("s2")]["removed"], 1);

    // The snapshots listing carries the creation time.
    const Result listed =
        Snapscan({"snapshots", "--json", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    ASSERT_FALSE(listed.Records("snapshot").empty());
    for (const json& snapshot : listed.Records("snapshot"))
        EXPECT_EQ(snapshot["created"].get<std::string>().size(),
                  std::string("2026-12-10T14:30:00Z").size())
            << snapshot;
}

// The first line of a failure says what failed and why in words that lead to
// the fix; the plug-in's code and messages follow, its trail of source
// locations only with --verbose. No build path shows.
TEST_F(OperatorTest, AFailureLeadsWithOneLineThatSaysWhy) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> shares;
        const char* firstLine;
    };
    const std::vector<Case> cases = {
        {"no configuration directory",
         [&] { ::setenv("SNAPSCAN_CONFIG_DIR", (dir / "none").c_str(), 1); },
         {Share("s1")},
         "credentials.ini: cannot be opened: No such file or directory"},
        {"credentials readable by others",
         [&] { WriteCredentials(0644); },
         {Share("s1")},
         "has mode 0644 and can be reached by group or others"},
        {"share not mounted",
         [] {},
         {Share("nowhere")},
         "the share is not mounted: Scan Content ["},
        {"array unreachable", [&] { StopArray(); }, {Share("s1")}, "CONNECT_FAILED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const Result job =
            Snapscan({"job", "--client-id", "1", "--subclient-id", "1", "--results-dir",
                      (dir / "results" / c.name).string(), "--map-file",
                      (dir / "results" / c.name / "map").string(), "--share", c.shares[0]});
        EXPECT_EQ(job.status, 1);
        EXPECT_THAT(FirstLine(job.err), HasSubstr(c.firstLine)) << job.err;
        EXPECT_THAT(FirstLine(job.err), ::testing::StartsWith("snapscan: "));
        EXPECT_THAT(job.err, Not(HasSubstr(" | at "))) << "the trail without --verbose";
        EXPECT_THAT(job.out + job.err, Not(HasSubstr(SNAPSCAN_SOURCE_DIR))) << "a build path";
        // The one-line summary tells cron's mail the outcome.
        EXPECT_THAT(job.out, HasSubstr("failed (exit 1)")) << job.out;
        ::setenv("SNAPSCAN_CONFIG_DIR", (dir / "config").c_str(), 1);
        WriteCredentials(0600);
    }
    StartArray();
    WriteCredentials(0600);
    const Result verbose =
        Snapscan({"--verbose", "job", "--client-id", "1", "--subclient-id", "1", "--results-dir",
                  (dir / "results" / "v").string(), "--map-file",
                  (dir / "results" / "v" / "map").string(), "--share", Share("nowhere")});
    EXPECT_EQ(verbose.status, 1);
    EXPECT_THAT(verbose.err, HasSubstr(" | at ")) << verbose.err;
    EXPECT_THAT(verbose.err, HasSubstr("  code "));

    // A refused login.
    StopArray();
    arrayPassword = "other";
    StartArray();
    arrayPassword = "pw";
    WriteCredentials(0600);
    const Result refused = Job(1, 1, {Share("s1")}, "login");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(FirstLine(refused.err), HasSubstr("AUTH_FAILED")) << refused.err;
}

// What cron mails: with -q a successful job prints its one-line summary only;
// without it, per-share counts and no line per item unless asked.
TEST_F(OperatorTest, QuietAndDefaultTextOutput) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(Job(1, 1, shares, "full").status, 0);
    WriteFile(fs::path(Share("s1")) / "d1" / "new", "new\n");
    const auto text = [&](const std::string& tag, std::vector<std::string> extra) {
        std::vector<std::string> args = extra;
        const auto job = JobArgs(1, 1, shares, tag);
        args.insert(args.end(), job.begin(), job.end());
        args.erase(std::find(args.begin(), args.end(), "--json"));
        return Snapscan(args);
    };
    const Result quiet = text("quiet", {"-q"});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(std::count(quiet.out.begin(), quiet.out.end(), '\n'), 1) << quiet.out;
    EXPECT_THAT(quiet.out, HasSubstr("succeeded (exit 0): 1 shares (1 incremental), 2 changes"));
    EXPECT_EQ(quiet.err, "");

    WriteFile(fs::path(Share("s1")) / "d1" / "newer", "newer\n");
    const Result normal = text("normal", {});
    ASSERT_EQ(normal.status, 0) << normal.err;
    EXPECT_THAT(normal.out, HasSubstr(": 2 changed, 0 renamed, 0 removed"));
    EXPECT_THAT(normal.out, Not(HasSubstr("  changed " + Share("s1") + "/d1/newer")));
    WriteFile(fs::path(Share("s1")) / "d1" / "newest", "newest\n");
    const Result listed = Snapscan([&] {
        auto args = JobArgs(1, 1, shares, "listed", {"--list-changes"});
        args.erase(std::find(args.begin(), args.end(), "--json"));
        return args;
    }());
    EXPECT_THAT(listed.out, HasSubstr("  changed " + Share("s1") + "/d1/newest"));
}

// While the array builds the changelist, progress records say so.
TEST_F(OperatorTest, ProgressRecordsAppearWhileTheArrayIsSlow) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(Job(1, 1, shares, "full").status, 0);
    std::string answer;
    ASSERT_EQ(
        Http("POST", "/arraysim/control", json({{"changelist_delay_ms", 1000}}).dump(), &answer),
        204);
    const Result job = Snapscan([&] {
        auto args = JobArgs(1, 1, shares, "slow");
        args.insert(args.begin(), {"--progress-interval", "0.2"});
        return args;
    }());
    ASSERT_EQ(job.status, 0) << job.err;
    const auto progress = job.Records("progress");
    bool waiting = false;
    for (const json& record : progress)
        waiting = waiting || (record["phase"] == "changelist" && record.value("attempt", 0) >= 1);
    EXPECT_TRUE(waiting) << job.out;
    ASSERT_EQ(Http("POST", "/arraysim/control", json({{"changelist_delay_ms", 0}}).dump(), &answer),
              204);
    const Result never = Snapscan([&] {
        auto args = JobArgs(1, 1, shares, "never");
        args.insert(args.begin(), {"--progress", "never", "--progress-interval", "0.2"});
        return args;
    }());
    EXPECT_TRUE(never.Records("progress").empty());
}

// Dry runs say what they would delete or enable, and the array sees only reads.
TEST_F(OperatorTest, DryRunsChangeNothingOnTheArray) {
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    ASSERT_EQ(Job(1, 1, shares, "one", {"--skip-cleanup"}).status, 0);
    ASSERT_EQ(Job(1, 1, shares, "two", {"--skip-cleanup"}).status, 0);
    EXPECT_EQ(Http("DELETE", "/arraysim/requests"), 204);
    const Result cleanup =
        Snapscan({"cleanup", "--json", "--dry-run", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(cleanup.status, 0) << cleanup.err;
    std::set<int64_t> wouldGo;
    for (const json& record : cleanup.Records("wouldDelete"))
        wouldGo.insert(record["jobId"].get<int64_t>());
    EXPECT_EQ(wouldGo, std::set<int64_t>{1});
    EXPECT_EQ(cleanup.Records("wouldDelete").size(), 2u);
    const Result failed = Snapscan({"delete-failed", "--json", "--dry-run", "--client-id", "1",
                                    "--subclient-id", "1", "127.0.0.1:/ifs/s2"});
    ASSERT_EQ(failed.status, 0) << failed.err;
    ASSERT_EQ(failed.Records("wouldDelete").size(), 1u);
    EXPECT_EQ(failed.Records("wouldDelete")[0]["path"], "/ifs/s2");
    EXPECT_EQ(failed.Records("wouldDelete")[0]["jobId"], 2);
    const Result verify = Snapscan({"verify", "--json", "--dry-run", "--client-id", "1"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    for (const std::string& request : Requests()) {
        if (request.find(" /session/") != std::string::npos) continue;  // logging in and out
        EXPECT_EQ(request.rfind("DELETE ", 0), std::string::npos) << request;
        EXPECT_EQ(request.rfind("PUT ", 0), std::string::npos) << request;
        EXPECT_EQ(request.rfind("POST /platform", 0), std::string::npos) << request;
    }
}

// snapscan status: the last job, the base, their times and outcome, and the
// content's snapshots, read-only.
TEST_F(OperatorTest, StatusShowsTheLastJobTheBaseAndTheSnapshots) {
    const std::vector<std::string> shares = {Share("s1")};
    ASSERT_EQ(Job(1, 1, shares, "one").status, 0);
    ASSERT_EQ(Job(1, 1, {Share("s1"), Share("nowhere")}, "two").status, 3);
    ASSERT_EQ(Job(1, 2, shares, "other").status, 0);
    const Result status = Snapscan({"status", "--json", "--client-id", "1"});
    ASSERT_EQ(status.status, 0) << status.err;
    const auto records = status.Records("status");
    ASSERT_EQ(records.size(), 2u) << status.out;
    const json& first = records[0];
    EXPECT_EQ(first["subclientId"], 1);
    EXPECT_EQ(first["lastJobId"], 2);
    EXPECT_EQ(first["lastStatus"], 3);
    EXPECT_EQ(first["baseJobId"], 1);
    EXPECT_FALSE(first["lastStartedAt"].get<std::string>().empty());
    EXPECT_FALSE(first["baseDeliveredAt"].get<std::string>().empty());
    std::set<int64_t> jobs;
    for (const json& snapshot : first["snapshots"]) jobs.insert(snapshot["jobId"].get<int64_t>());
    EXPECT_EQ(jobs, (std::set<int64_t>{1, 2}));  // the base stays until a delivered job replaces it
    EXPECT_EQ(records[1]["subclientId"], 2);
    EXPECT_EQ(records[1]["lastStatus"], 0);
    const Result text = Snapscan({"status", "--client-id", "1", "--subclient-id", "1"});
    EXPECT_THAT(text.out, HasSubstr("last job 2"));
    EXPECT_THAT(text.out, HasSubstr("base job 1, delivered "));
}

}  // namespace
