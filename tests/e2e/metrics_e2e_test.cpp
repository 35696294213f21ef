// The metrics file of whole jobs: what a successful job of two shares writes,
// and that a job that fails keeps the last success time.
#include <sys/stat.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_harness.h"
#include "tools/snapscan/metrics.h"

namespace {

using ::testing::HasSubstr;
using namespace snapscan_e2e;

double Sample(const std::string& text, const std::string& name, snapscan::MetricLabels labels) {
    double value = -1;
    EXPECT_TRUE(snapscan::FindSample(text, name, labels, value)) << name << "\n" << text;
    return value;
}

TEST_F(E2eTest, MetricsFileTellsTheJobsOutcomeAndKeepsTheLastSuccess) {
    const std::string prom = (dir / "textfile" / "snapscan-1-1.prom").native();
    fs::create_directories(dir / "textfile");
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    const snapscan::MetricLabels content = {{"client", "1"}, {"subclient", "1"}};
    const auto share = [&content](const std::string& path, snapscan::MetricLabels more) {
        snapscan::MetricLabels labels = content;
        labels.push_back({"share", path});
        labels.insert(labels.end(), more.begin(), more.end());
        return labels;
    };

    ASSERT_EQ(Job(1, 1, shares, "full", {"--metrics-file", prom}).status, 0);
    std::string text = ReadFile(prom);
    EXPECT_EQ(Sample(text, "snapscan_share_full_read", share(shares[0], {{"reason", "full job"}})),
              1);
    WriteFile(fs::path(shares[0]) / "new", "new\n");
    fs::remove(fs::path(shares[0]) / "top");

    const Result job = Job(1, 1, shares, "incremental", {"--metrics-file", prom});
    ASSERT_EQ(job.status, 0) << job.err;
    text = ReadFile(prom);
    struct stat info;
    ASSERT_EQ(::stat(prom.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(Sample(text, "snapscan_job_exit_status", content), 0);
    EXPECT_EQ(Sample(text, "snapscan_job_id", content), 2);
    const double success = Sample(text, "snapscan_last_success_timestamp_seconds", content);
    EXPECT_EQ(success, Sample(text, "snapscan_job_end_timestamp_seconds", content));
    EXPECT_EQ(Sample(text, "snapscan_share_items", share(shares[0], {{"kind", "changed"}})),
              job.Records("shareDone").at(0)["changed"].get<double>());
    EXPECT_EQ(Sample(text, "snapscan_share_items", share(shares[0], {{"kind", "removed"}})), 1);
    EXPECT_EQ(Sample(text, "snapscan_share_items", share(shares[1], {{"kind", "changed"}})), 0);
    EXPECT_GE(Sample(text, "snapscan_share_changelist_entries", share(shares[0], {})), 2);
    EXPECT_EQ(Sample(text, "snapscan_share_full_read", share(shares[0], {{"reason", ""}})), 0);
    EXPECT_EQ(Sample(text, "snapscan_share_live_read", share(shares[1], {{"reason", ""}})), 0);
    // The post-backup cleanup left the job's own snapshot of each share.
    EXPECT_EQ(Sample(text, "snapscan_own_snapshots", content), 2);
    snapscan::MetricLabels total = content;
    total.push_back({"phase", "total"});
    EXPECT_GT(Sample(text, "snapscan_job_phase_duration_seconds", total), 0);

    // A share not processed, then the array down: the success time stays.
    const Result partial =
        Job(1, 1, {shares[0], Share("nowhere")}, "partial", {"--metrics-file", prom});
    EXPECT_EQ(partial.status, 3) << partial.err;
    text = ReadFile(prom);
    EXPECT_EQ(Sample(text, "snapscan_job_exit_status", content), 3);
    EXPECT_EQ(Sample(text, "snapscan_share_not_processed", share(Share("nowhere"), {})), 1);
    EXPECT_EQ(Sample(text, "snapscan_last_success_timestamp_seconds", content), success);
    StopArray();
    const Result down = Job(1, 1, shares, "down", {"--metrics-file", prom});
    EXPECT_EQ(down.status, 1);
    EXPECT_THAT(down.err, HasSubstr("cannot list the content's snapshots"));
    text = ReadFile(prom);
    EXPECT_EQ(Sample(text, "snapscan_job_exit_status", content), 1);
    EXPECT_EQ(Sample(text, "snapscan_last_success_timestamp_seconds", content), success);
    EXPECT_EQ(text.find("snapscan_own_snapshots{"), std::string::npos);
    // Nothing but the file itself in the collector's directory.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir / "textfile")) {
        EXPECT_EQ(entry.path().native(), prom);
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

}  // namespace
