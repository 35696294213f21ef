// The metrics file: the exposition text of a job, the success time a failed
// job keeps, label escaping, and that a collector never sees a partial file.
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_files.h"
#include "tools/snapscan/job_metrics.h"
#include "tools/snapscan/metrics.h"

namespace {

using snapscan::JobOutcome;
using snapscan::JobRequest;
using snapscan::MetricsFile;
using snapscan_test::ReadFile;
using snapscan_test::TempDir;

JobRequest Request() {
    JobRequest request;
    request.clientId = 7;
    request.subclientId = 2;
    request.jobId = 41;
    return request;
}

JobOutcome Outcome(int status) {
    JobOutcome outcome;
    outcome.status = status;
    outcome.summary.snapshotSeconds = 1.5;
    outcome.summary.cleanupSeconds = 0.25;
    snapscan::ShareSummary incremental{"/ifs/a", "/ifs/a/.snapshot/x", "incremental", ""};
    incremental.changed = 3;
    incremental.renamed = 1;
    incremental.removed = 2;
    incremental.entries = 9;
    incremental.waitSeconds = 2;
    incremental.loadSeconds = 0.5;
    incremental.deliverySeconds = 0.125;
    outcome.summary.shares.push_back(incremental);
    outcome.summary.shares.push_back(
        {"/ifs/b", "/ifs/b", "live", "ConfigureSnapshot: snapshot of [/ifs/b] failed"});
    outcome.summary.shares.push_back(
        {"/ifs/c", "/ifs/c/.snapshot/y", "full", "no comparison base"});
    return outcome;
}

TEST(JobMetricsTest, ASuccessfulJobsFileHasEveryFamilyWithItsLabels) {
    MetricsFile metrics;
    snapscan::AddJobMetrics(Request(), Outcome(0), 10, 1765400000.5, 1765300000, 4, metrics);
    const std::string c = "client=\"7\",subclient=\"2\"";
    std::string expected =
        "# HELP snapscan_job_exit_status Exit status of the content's last job: 0 success, 1 "
        "failed, 3 a share not processed or read live.\n"
        "# TYPE snapscan_job_exit_status gauge\n"
        "snapscan_job_exit_status{" +
        c +
        "} 0\n"
        "# HELP snapscan_job_id Id of the content's last job.\n"
        "# TYPE snapscan_job_id gauge\n"
        "snapscan_job_id{" +
        c +
        "} 41\n"
        "# HELP snapscan_job_end_timestamp_seconds When the content's last job ended, seconds "
        "since the epoch.\n"
        "# TYPE snapscan_job_end_timestamp_seconds gauge\n"
        "snapscan_job_end_timestamp_seconds{" +
        c +
        "} 1765400000.5\n"
        "# HELP snapscan_last_success_timestamp_seconds When the content's last successful job "
        "(exit 0) ended, seconds since the epoch.\n"
        "# TYPE snapscan_last_success_timestamp_seconds gauge\n"
        "snapscan_last_success_timestamp_seconds{" +
        c + "} 1765400000.5\n";
    EXPECT_EQ(metrics.Text().substr(0, expected.size()), expected);
    const std::string text = metrics.Text();
    for (const std::string& line : {
             "snapscan_job_phase_duration_seconds{" + c + ",phase=\"snapshot\"} 1.5\n",
             "snapscan_job_phase_duration_seconds{" + c + ",phase=\"wait\"} 2\n",
             "snapscan_job_phase_duration_seconds{" + c + ",phase=\"load\"} 0.5\n",
             "snapscan_job_phase_duration_seconds{" + c + ",phase=\"delivery\"} 0.125\n",
             "snapscan_job_phase_duration_seconds{" + c + ",phase=\"cleanup\"} 0.25\n",
             "snapscan_job_phase_duration_seconds{" + c + ",phase=\"total\"} 10\n",
             "snapscan_share_changelist_entries{" + c + ",share=\"/ifs/a\"} 9\n",
             "snapscan_share_items{" + c + ",share=\"/ifs/a\",kind=\"changed\"} 3\n",
             "snapscan_share_items{" + c + ",share=\"/ifs/a\",kind=\"renamed\"} 1\n",
             "snapscan_share_items{" + c + ",share=\"/ifs/a\",kind=\"removed\"} 2\n",
             "snapscan_share_full_read{" + c + ",share=\"/ifs/a\",reason=\"\"} 0\n",
             "snapscan_share_live_read{" + c + ",share=\"/ifs/a\",reason=\"\"} 0\n",
             "snapscan_share_live_read{" + c +
                 ",share=\"/ifs/b\",reason=\"ConfigureSnapshot: snapshot of [/ifs/b] failed\"} 1\n",
             "snapscan_share_full_read{" + c + ",share=\"/ifs/b\",reason=\"\"} 0\n",
             "snapscan_share_full_read{" + c +
                 ",share=\"/ifs/c\",reason=\"no comparison base\"} 1\n",
             "snapscan_share_not_processed{" + c + ",share=\"/ifs/c\"} 0\n",
             "# TYPE snapscan_own_snapshots gauge\nsnapscan_own_snapshots{" + c + "} 4\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // One HELP and TYPE per family, whatever its number of samples.
    size_t types = 0;
    for (size_t at = text.find("# TYPE "); at != std::string::npos;
         at = text.find("# TYPE ", at + 1))
        ++types;
    EXPECT_EQ(types, 11u);
}

TEST(JobMetricsTest, AFailedJobKeepsThePreviousSuccessTime) {
    TempDir dir;
    JobRequest request = Request();
    request.metricsFile = dir.Join("snapscan.prom");
    std::ostringstream out, err;
    snapscan::Output output(out, err, false);
    snapscan::WriteJobMetrics(request, Outcome(0), 10, output);
    double success = 0;
    ASSERT_TRUE(snapscan::FindSample(ReadFile(request.metricsFile),
                                     "snapscan_last_success_timestamp_seconds",
                                     {{"client", "7"}, {"subclient", "2"}}, success));
    EXPECT_GT(success, 1.7e9);

    struct Case {
        const char* name;
        int status;
    };
    constexpr Case kCases[] = {{"failed", 1}, {"partial", 3}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        snapscan::WriteJobMetrics(request, Outcome(c.status), 3, output);
        const std::string text = ReadFile(request.metricsFile);
        double kept = 0, status = -1;
        EXPECT_TRUE(snapscan::FindSample(text, "snapscan_last_success_timestamp_seconds",
                                         {{"client", "7"}, {"subclient", "2"}}, kept));
        EXPECT_EQ(kept, success);
        EXPECT_TRUE(snapscan::FindSample(text, "snapscan_job_exit_status",
                                         {{"client", "7"}, {"subclient", "2"}}, status));
        EXPECT_EQ(status, c.status);
    }
    // Another content's success time in the file is not this one's.
    request.subclientId = 3;
    snapscan::WriteJobMetrics(request, Outcome(1), 3, output);
    EXPECT_EQ(ReadFile(request.metricsFile).find("snapscan_last_success_timestamp_seconds"),
              std::string::npos);
    EXPECT_EQ(err.str(), "");
}

TEST(MetricsFileTest, LabelValuesAreEscapedAndStayUtf8) {
    struct Case {
        const char* name;
        const char* value;
        const char* written;
    };
    constexpr Case kCases[] = {
        {"plain", "/ifs/data", "/ifs/data"},
        {"backslash", "/ifs/a\\b", "/ifs/a\\\\b"},
        {"double quote", "/ifs/\"q\"", "/ifs/\\\"q\\\""},
        {"newline", "/ifs/a\nb", "/ifs/a\\nb"},
        {"all three", "\\\"\n", "\\\\\\\"\\n"},
        {"UTF-8 kept", "/ifs/caf\xc3\xa9", "/ifs/caf\xc3\xa9"},
        {"Latin-1 byte replaced", "/ifs/caf\xe9", "/ifs/caf\xef\xbf\xbd"},
        {"cut sequence replaced", "/ifs/\xe2\x82", "/ifs/\xef\xbf\xbd\xef\xbf\xbd"},
        {"brace and equals", "a}{b=\"c", "a}{b=\\\"c"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        MetricsFile metrics;
        ASSERT_TRUE(
            metrics.Add("snapscan_x", MetricsFile::Type::kGauge, "x", {{"share", c.value}}, 1));
        EXPECT_EQ(metrics.Text(), std::string("# HELP snapscan_x x\n# TYPE snapscan_x gauge\n") +
                                      "snapscan_x{share=\"" + c.written + "\"} 1\n");
        double value = 0;
        EXPECT_TRUE(
            snapscan::FindSample(metrics.Text(), "snapscan_x", {{"share", c.value}}, value));
    }
}

TEST(MetricsFileTest, NamesFollowTheFormatsRules) {
    struct Case {
        const char* name;
        const char* metric;
        MetricsFile::Type type;
        const char* label;
        bool added;
    };
    constexpr Case kCases[] = {
        {"gauge", "snapscan_a_seconds", MetricsFile::Type::kGauge, "share", true},
        {"counter", "snapscan_audit_missed_total", MetricsFile::Type::kCounter, "share", true},
        {"counter without _total", "snapscan_audit_missed", MetricsFile::Type::kCounter, "s",
         false},
        {"gauge with _total", "snapscan_b_total", MetricsFile::Type::kGauge, "s", false},
        {"metric starts with a digit", "1snapscan", MetricsFile::Type::kGauge, "s", false},
        {"metric with a dash", "snapscan-a", MetricsFile::Type::kGauge, "s", false},
        {"label with a colon", "snapscan_c", MetricsFile::Type::kGauge, "a:b", false},
        {"reserved label", "snapscan_d", MetricsFile::Type::kGauge, "__name", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        MetricsFile metrics;
        EXPECT_EQ(metrics.Add(c.metric, c.type, "h", {{c.label, "v"}}, 1), c.added);
        EXPECT_EQ(metrics.Text().empty(), !c.added);
    }
    MetricsFile metrics;
    ASSERT_TRUE(metrics.Add("snapscan_e", MetricsFile::Type::kGauge, "h", {}, 1));
    EXPECT_FALSE(metrics.Add("snapscan_e", MetricsFile::Type::kCounter, "h", {}, 1));
}

TEST(MetricsFileTest, WritesByRenameWithMode0644AndLeavesNoTemporaryFile) {
    TempDir dir;
    MetricsFile metrics;
    ASSERT_TRUE(metrics.Add("snapscan_x", MetricsFile::Type::kGauge, "x", {}, 1));
    const std::string path = dir.Join("snapscan.prom");
    std::string error;
    ASSERT_TRUE(metrics.Write(path, error)) << error;
    EXPECT_EQ(ReadFile(path), metrics.Text());
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(snapscan_test::DirectoryNames(dir.Path()), std::vector<std::string>{"snapscan.prom"});

    // The rename fails (a directory is in the way): the temporary file goes and
    // what was there stays whole.
    const std::string blocked = dir.MakeDir("blocked.prom");
    dir.WriteFile("blocked.prom/keep", "kept");
    EXPECT_FALSE(metrics.Write(blocked, error));
    EXPECT_NE(error.find("cannot rename"), std::string::npos) << error;
    EXPECT_EQ(snapscan_test::DirectoryNames(dir.Path()).size(), 2u);
    EXPECT_EQ(ReadFile(blocked + "/keep"), "kept");
    // No directory to write into.
    EXPECT_FALSE(metrics.Write(dir.Join("missing/snapscan.prom"), error));
    EXPECT_NE(error.find("cannot create a file beside"), std::string::npos) << error;
}

}  // namespace
