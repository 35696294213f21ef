// `snapscan audit` against arraysim: two jobs of a share with every kind of
// change between them (added, modified, chmod alone, removed, a renamed
// directory, a new hard link, names that are not UTF-8), then the changelist of
// the pair proved against the two snapshots: a correct one passes, one that an
// array fault cuts an entry from is caught, one with an entry that did not
// change is reported as spurious, and so is what a job delivered.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_harness.h"
#include "tests/support/arraysim_process.h"
#include "tools/snapscan/metrics.h"

namespace {

using namespace snapscan_e2e;
using nlohmann::json;
using ::testing::HasSubstr;

// A name with a byte that is not UTF-8 and a newline.
const std::string kOddName = std::string("odd\xff\nname");

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

class AuditTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure()) return;
        const fs::path share = Share("s1");
        for (int i = 0; i < 8; ++i) {
            fs::create_directories(share / ("many" + std::to_string(i)));
            WriteFile(share / ("many" + std::to_string(i)) / "file", "x\n");
        }
        WriteFile(share / "chmod-only", "same\n");
        WriteFile(share / "gone", "bye\n");
        WriteFile(share / "linked", "one\n");
        const Result full = Job(1, 1, {Share("s1")}, "full");
        ASSERT_EQ(full.status, 0) << full.err;

        WriteFile(share / "d1" / "f1", "content of s1, longer now\n");
        WriteFile(share / "new", "new\n");
        // A link out of the share, which the walk must never follow.
        fs::create_directory_symlink("/", share / "to-root");
        WriteFile(share / kOddName, "odd\n");
        ASSERT_EQ(::chmod((share / "chmod-only").c_str(), 0640), 0);
        fs::remove(share / "gone");
        fs::rename(share / "d1" / "sub", share / "d1" / "moved");
        ASSERT_EQ(::link((share / "linked").c_str(), (share / "hardlink").c_str()), 0);
        for (int i = 0; i < 8; ++i)
            WriteFile(share / ("many" + std::to_string(i)) / "file",
                      "changed " + std::to_string(i) + "\n");
        // The base's snapshots stay for the audit: no post-backup cleanup yet.
        const Result incremental = Job(1, 1, {Share("s1")}, "incremental", {"--skip-cleanup"});
        ASSERT_EQ(incremental.status, 0) << incremental.err;
        WriteFile(dir / "delivered.jsonl", incremental.out);
    }

    long Http(const char* method, const std::string& path, const std::string& body = "",
              std::string* answer = nullptr) {
        return ArraySimRequest(method, "http://127.0.0.1:" + port + path, body, "backup", "pw",
                               answer);
    }
    void AddFault(const json& rule) {
        std::string answer;
        ASSERT_EQ(Http("POST", "/arraysim/faults", rule.dump(), &answer), 201) << answer;
    }
    void ClearFaults() { EXPECT_EQ(Http("DELETE", "/arraysim/faults"), 204); }

    Result Audit(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"audit",          "--json", "--client-id", "1",
                                         "--subclient-id", "1",      "--share",     Share("s1")};
        args.insert(args.end(), extra.begin(), extra.end());
        return Snapscan(args);
    }

    // The findings of one kind: path -> detail.
    static std::map<std::string, std::string> Findings(const Result& result,
                                                       const std::string& kind) {
        std::map<std::string, std::string> found;
        for (const json& record : result.Records("auditFinding")) {
            if (record["kind"] != kind) continue;
            std::string path = record["path"];
            if (record.contains("pathHex")) {
                path.clear();
                const std::string hex = record["pathHex"];
                for (size_t i = 0; i + 1 < hex.size(); i += 2)
                    path += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            }
            found[path] = record["detail"];
        }
        return found;
    }

    static json Summary(const Result& result) {
        const auto records = result.Records("audit");
        return records.size() == 1 ? records[0] : json();
    }
};

TEST_F(AuditTest, ACorrectChangelistPassesAndEveryDroppedEntryIsCaught) {
    const Result clean = Audit();
    ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
    const json summary = Summary(clean);
    EXPECT_EQ(summary["missed"], 0) << clean.out;
    EXPECT_EQ(summary["spurious"], 0) << clean.out;
    EXPECT_EQ(summary["problems"], 0) << clean.out;
    EXPECT_EQ(summary["sampled"], false);
    EXPECT_EQ(summary["identity"], "renumbered");
    EXPECT_GT(summary["entries"].get<uint64_t>(), 20u);
    EXPECT_LT(summary["entries"].get<uint64_t>(), 100u) << "a link was followed";

    // Each entry the array forgets is a change the audit names as missed.
    struct Case {
        const char* name;
        std::string arrayPath;  // as the array serves it
        std::string missed;     // as the audit reports it
        const char* difference;
    };
    const Case cases[] = {
        // arraysim's snapshots are copies with inodes and ctimes of their own,
        // so neither is compared; a chmod shows in the mode.
        {"modified file", "/ifs/s1/d1/f1", "/d1/f1", "size+mtime"},
        {"added file", "/ifs/s1/new", "/new", "added"},
        {"chmod alone", "/ifs/s1/chmod-only", "/chmod-only", "mode"},
        {"a file given a second name", "/ifs/s1/linked", "/linked", "links"},
        {"removed file", "/ifs/s1/gone", "/gone", "removed"},
        {"name that is not UTF-8", "/ifs/s1/" + kOddName, "/" + kOddName, "added"},
        {"renamed directory", "/ifs/s1/d1/moved", "/d1/moved", "added"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearFaults();
        AddFault({{"method", "GET"},
                  {"path", "/platform/1/snapshot/changelists/"},
                  {"count", -1},
                  {"action", "drop_entry"},
                  {"entry_path_hex", Hex(c.arrayPath)}});
        const Result audit = Audit();
        EXPECT_EQ(audit.status, 1) << audit.out;
        const auto missed = Findings(audit, "missed");
        ASSERT_EQ(missed.count(c.missed), 1u) << audit.out;
        EXPECT_EQ(missed.at(c.missed), c.difference);
        EXPECT_EQ(Findings(audit, "spurious").size(), 0u) << audit.out;
    }
}

TEST_F(AuditTest, AnEntryThatDidNotChangeIsSpuriousAndExitsZeroWithAWarning) {
    AddFault({{"method", "GET"},
              {"path", "/platform/1/snapshot/changelists/"},
              {"count", -1},
              {"action", "add_entry"},
              {"entry_path", "/ifs/s1/top"},
              {"entry_id", "99999999"}});
    for (const bool json : {true, false}) {
        SCOPED_TRACE(json ? "json" : "text");
        const Result audit = json ? Audit()
                                  : Snapscan({"audit", "--client-id", "1", "--subclient-id", "1",
                                              "--share", Share("s1")});
        EXPECT_EQ(audit.status, 0) << audit.out << audit.err;
        if (json) {
            const auto spurious = Findings(audit, "spurious");
            ASSERT_EQ(spurious.size(), 1u) << audit.out;
            EXPECT_EQ(spurious.begin()->first, "/top");
            EXPECT_EQ(Summary(audit)["missed"], 0);
        } else {
            EXPECT_THAT(audit.out, HasSubstr("  spurious /top: changed (the same in both "
                                             "snapshots)\n"));
            EXPECT_THAT(audit.out, HasSubstr("0 missed, 1 spurious, 0 not checked"));
            EXPECT_THAT(audit.out, HasSubstr("audit: warning: 1 listed changes"));
        }
    }
}

TEST_F(AuditTest, WhatTheJobDeliveredCoversEveryChange) {
    const Result delivered = Audit({"--changes", (dir / "delivered.jsonl").string()});
    EXPECT_EQ(delivered.status, 0) << delivered.out << delivered.err;
    EXPECT_EQ(Summary(delivered)["source"], "delivered");
    EXPECT_EQ(Summary(delivered)["missed"], 0) << delivered.out;

    // The same file less one item: the audit names that item's path.
    std::string lines;
    std::istringstream in(ReadFile(dir / "delivered.jsonl"));
    std::string line;
    while (std::getline(in, line))
        if (line.find("\"path\":\"/d1/f1\"") == std::string::npos &&
            line.find("/s1/d1/f1\"") == std::string::npos)
            lines += line + "\n";
    WriteFile(dir / "less.jsonl", lines);
    const Result less = Audit({"--changes", (dir / "less.jsonl").string()});
    EXPECT_EQ(less.status, 1) << less.out;
    EXPECT_EQ(Findings(less, "missed").count("/d1/f1"), 1u) << less.out;
}

TEST_F(AuditTest, ASampledAuditSaysSoAndIsRepeatable) {
    const Result first = Audit({"--sample", "50", "--seed", "7"});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    const json summary = Summary(first);
    EXPECT_EQ(summary["sampled"], true);
    EXPECT_EQ(summary["samplePercent"], 50.0);
    EXPECT_GT(summary["directoriesCompared"].get<uint64_t>(), 0u);
    EXPECT_LT(summary["directoriesCompared"], summary["directories"]);
    EXPECT_EQ(summary["missed"], 0);
    EXPECT_EQ(summary["spurious"], 0) << first.out;
    const Result again = Audit({"--sample", "50", "--seed", "7"});
    EXPECT_EQ(Summary(again)["directoriesCompared"], summary["directoriesCompared"]);
    EXPECT_EQ(Summary(again)["entries"], summary["entries"]);
}

TEST_F(AuditTest, SnapshotsThatCannotBeAuditedFailWithAReason) {
    // The post-backup cleanup deletes the base's snapshot: nothing to compare with.
    const Result cleanup = Snapscan({"cleanup", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(cleanup.status, 0) << cleanup.err;
    const Result audit = Audit();
    EXPECT_EQ(audit.status, 1);
    EXPECT_THAT(audit.err, HasSubstr("--skip-cleanup"));
    const Result unknown = Audit({"--base", "nope", "--current", "nope2"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_THAT(unknown.err, HasSubstr("no snapshot nope of client 1 subclient 1"));
    const Result badName = Audit({"--base", "../x", "--current", "y"});
    EXPECT_EQ(badName.status, 1);
    EXPECT_THAT(badName.err, HasSubstr("one path component"));
}

TEST_F(AuditTest, TheMetricsFileCarriesWhatTheAuditFound) {
    const std::string file = (dir / "audit.prom").string();
    const snapscan::MetricLabels labels = {
        {"client", "1"}, {"subclient", "1"}, {"share", Share("s1")}};
    struct Case {
        const char* name;
        bool dropEntry;
        bool cleanupFirst;  // the base snapshot gone: no audit at all
        int status;
        double missed;  // < 0: no such sample
    };
    const Case cases[] = {
        {"every change covered", false, false, 0, 0},
        {"a change missed", true, false, 1, 1},
        {"no audit possible", false, true, 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearFaults();
        if (c.dropEntry)
            AddFault({{"method", "GET"},
                      {"path", "/platform/1/snapshot/changelists/"},
                      {"count", -1},
                      {"action", "drop_entry"},
                      {"entry_path_hex", Hex("/ifs/s1/new")}});
        if (c.cleanupFirst) {
            const Result cleanup = Snapscan({"cleanup", "--client-id", "1", "--subclient-id", "1"});
            ASSERT_EQ(cleanup.status, 0) << cleanup.err;
        }
        const Result audit = Audit({"--metrics-file", file});
        ASSERT_EQ(audit.status, c.status) << audit.out << audit.err;
        const std::string text = ReadFile(file);
        double value = -1;
        ASSERT_TRUE(snapscan::FindSample(text, "snapscan_audit_exit_status", labels, value))
            << text;
        EXPECT_EQ(value, c.status);
        value = -1;
        EXPECT_EQ(snapscan::FindSample(text, "snapscan_audit_missed_changes", labels, value),
                  c.missed >= 0)
            << text;
        if (c.missed >= 0) {
            EXPECT_EQ(value, c.missed);
        }
    }
}

}  // namespace
