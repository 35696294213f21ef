// End to end: the snapscan CLI with the real plug-in, host services and array
// client against arraysim serving a temporary tree, driven as separate processes
// exactly as a user runs them.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    // The JSON records of one event kind (every output line must be JSON).
    std::vector<nlohmann::json> Records(const std::string& event) const {
        std::vector<nlohmann::json> records;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            auto record = nlohmann::json::parse(line);
            if (record.at("event") == event) records.push_back(record);
        }
        return records;
    }
};

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// Starts `argv` with its output in files; returns its pid.
pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// A temporary /ifs served by arraysim, the configuration of clients 1 and 2, a
// mount table "mounting" each share at its own directory, and a state directory.
class E2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/snapscan-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        ifs = dir / "ifs";
        for (const char* share : {"s1", "s2"}) {
            fs::create_directories(ifs / share / "d1" / "sub");
            WriteFile(ifs / share / "d1" / "f1", std::string("content of ") + share + "\n");
            WriteFile(ifs / share / "d1" / "sub" / "f2", "two\n");
            WriteFile(ifs / share / "top", "top\n");
        }
        StartArray();
        WriteFile(dir / "mounts", "127.0.0.1:/ifs/s1 " + Share("s1") + " nfs rw 0 0\n" +
                                      "127.0.0.1:/ifs/s2 " + Share("s2") + " nfs rw 0 0\n");
        WriteCredentials(0600);
        WriteFile(dir / "config" / "settings.ini",
                  "[~FileSystemAgent]\nIsilonChangeListGenerationWaitTime = 20\n");
        ::setenv("SNAPSCAN_CONFIG_DIR", (dir / "config").c_str(), 1);
        ::setenv("SNAPSCAN_LOG_DIR", (dir / "log").c_str(), 1);
        ::setenv("SNAPSCAN_STATE_DIR", (dir / "state").c_str(), 1);
        ::setenv("SNAPSCAN_MOUNT_TABLE", (dir / "mounts").c_str(), 1);
    }

    void TearDown() override {
        StopArray();
        if (!HasFailure()) fs::remove_all(dir);
        else std::cerr << "files kept in " << dir << '\n';
    }

    void StartArray() {
        fs::remove(dir / "port");
        arrayPid = Spawn({SNAPSCAN_ARRAYSIM, "--root", ifs.string(), "--port", "0", "--port-file",
                          (dir / "port").string(), "--user", "backup", "--password", "pw"},
                         dir / "arraysim.out", dir / "arraysim.err");
        ASSERT_GT(arrayPid, 0);
        for (int i = 0; i < 1000 && ReadFile(dir / "port").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        port = ReadFile(dir / "port");
        while (!port.empty() && (port.back() == '\n' || port.back() == ' ')) port.pop_back();
        ASSERT_FALSE(port.empty()) << ReadFile(dir / "arraysim.err");
    }

    void StopArray() {
        if (arrayPid <= 0) return;
        ::kill(arrayPid, SIGTERM);
        int status = 0;
        ::waitpid(arrayPid, &status, 0);
        arrayPid = -1;
    }

    void WriteCredentials(mode_t mode) {
        std::string text;
        for (int client : {1, 2})
            text += "[client " + std::to_string(client) + "]\nfileServer = http://127.0.0.1:" +
                    port + "\nuser = backup\npassword = pw\n";
        const fs::path path = dir / "config" / "credentials.ini";
        WriteFile(path, text);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }

    std::string Share(const std::string& name) const { return (ifs / name).string(); }

    Result Snapscan(std::vector<std::string> args) {
        if (std::find(args.begin(), args.end(), "--plugin") == args.end())
            args.insert(args.begin(), {"--plugin", SNAPSCAN_PLUGIN});
        args.insert(args.begin(), SNAPSCAN_CLI);
        const pid_t pid = Spawn(args, dir / "cli.out", dir / "cli.err");
        Result result;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            result.status = WEXITSTATUS(status);
        result.out = ReadFile(dir / "cli.out");
        result.err = ReadFile(dir / "cli.err");
        return result;
    }

    // One job of client/subclient over `shares`, JSON output; job files under results/<tag>.
    Result Job(int client, int subclient, const std::vector<std::string>& shares,
               const std::string& tag, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"job", "--json", "--client-id", std::to_string(client),
                                         "--subclient-id", std::to_string(subclient),
                                         "--results-dir", (dir / "results" / tag).string(),
                                         "--map-file", (dir / "results" / tag / "map").string()};
        for (const auto& share : shares) args.insert(args.end(), {"--share", share});
        args.insert(args.end(), extra.begin(), extra.end());
        return Snapscan(args);
    }

    // Every snapshot of a client on the array: name -> job id.
    std::map<std::string, int64_t> Snapshots(int client) {
        const Result listed = Snapscan({"snapshots", "--json", "--all-subclients", "--client-id",
                                        std::to_string(client)});
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::map<std::string, int64_t> names;
        for (const auto& record : listed.Records("snapshot"))
            names[record["name"].get<std::string>()] = record["jobId"].get<int64_t>();
        return names;
    }

    // The job ids of one client and subclient's snapshots (one per share and job).
    std::multiset<int64_t> JobsOf(int client, int subclient) {
        std::multiset<int64_t> jobs;
        const std::string prefix = "TZOP_" + std::to_string(client) + "_" + std::to_string(subclient) + "_";
        for (const auto& [name, job] : Snapshots(client))
            if (name.rfind(prefix, 0) == 0) jobs.insert(job);
        return jobs;
    }

    fs::path dir;
    fs::path ifs;
    std::string port;
    pid_t arrayPid = -1;
};

TEST_F(E2eTest, JobsChainKeepThePreviousSnapshotsAndLeaveOtherContentsAlone) {
    const std::vector<std::string> shares = {Share("s1"), Share("s2")};
    // Snapshots of another subclient and of another client on the same array.
    ASSERT_EQ(Job(1, 2, shares, "other-subclient").status, 0);
    ASSERT_EQ(Job(2, 1, {Share("s1")}, "other-client").status, 0);
    const auto foreign = Snapshots(2);
    ASSERT_EQ(foreign.size(), 1u);
    const std::multiset<int64_t> otherSubclient = JobsOf(1, 2);
    ASSERT_EQ(otherSubclient.size(), 2u);

    // Job 1: a full job, one readable snapshot per share, named for the content.
    Result job1 = Job(1, 1, shares, "1");
    ASSERT_EQ(job1.status, 0) << job1.err;
    ASSERT_EQ(job1.Records("job").at(0)["jobId"], 1);
    EXPECT_EQ(job1.Records("fullScan").size(), 2u);
    const std::string map = ReadFile(dir / "results" / "1" / "map");
    for (const auto& record : job1.Records("share")) {
        const std::string share = record["share"];
        const std::string readPath = record["readPath"];
        SCOPED_TRACE(share);
        const std::string name = fs::path(readPath).filename().string();
        EXPECT_EQ(name.rfind("TZOP_1_1_1_", 0), 0u) << name;
        EXPECT_GT(name.size(), std::string("TZOP_1_1_1_").size());
        EXPECT_EQ(readPath, share + "/.snapshot/" + name);
        EXPECT_EQ(ReadFile(fs::path(readPath) / "d1" / "f1"),
                  "content of " + fs::path(share).filename().string() + "\n");
        EXPECT_THAT(map, HasSubstr("m:" + share + "/:" + readPath + ":\n"));
    }
    EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), 2);
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{1, 1}));

    // Job 2 compares each share against job 1's snapshot and keeps it.
    Result job2 = Job(1, 1, shares, "2", {"--skip-cleanup"});
    ASSERT_EQ(job2.status, 0) << job2.err;
    EXPECT_EQ(job2.Records("job").at(0)["prevJobId"], 1);
    EXPECT_EQ(job2.Records("shareDone").size(), 2u);
    EXPECT_TRUE(job2.Records("fullScan").empty());
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{1, 1, 2, 2}));

    // Job 3's start deletes job 1's snapshots, neither its own nor its base.
    Result job3 = Job(1, 1, shares, "3", {"--skip-cleanup"});
    ASSERT_EQ(job3.status, 0) << job3.err;
    EXPECT_EQ(job3.Records("job").at(0)["prevJobId"], 2);
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{2, 2, 3, 3}));

    // The post-backup cleanup leaves the next job's base alone.
    Result cleanup = Snapscan({"cleanup", "--client-id", "1", "--subclient-id", "1"});
    ASSERT_EQ(cleanup.status, 0) << cleanup.err;
    EXPECT_EQ(JobsOf(1, 1), (std::multiset<int64_t>{3, 3}));

    EXPECT_EQ(Snapshots(2), foreign);
    EXPECT_EQ(JobsOf(1, 2), otherSubclient);
}

TEST_F(E2eTest, IncrementalJobDeliversExactlyTheChangesMade) {
    const std::string share = Share("s1");
    const fs::path s = share;
    WriteFile(s / "d2" / "a", "a\n");
    WriteFile(s / "d2" / "b", "b\n");
    WriteFile(s / "d3" / "c", "c\n");
    ASSERT_EQ(Job(1, 1, {share}, "full").status, 0);

    // The changes, and the items they must give: kind, path, old path.
    std::set<std::tuple<std::string, std::string, std::string>> expected;
    const auto dirPath = [](const fs::path& p) { return p.string() + "/"; };
    fs::create_directories(s / "d1" / "new");
    WriteFile(s / "d1" / "new" / "added", "new\n");
    expected.insert({"changed", dirPath(s / "d1" / "new"), ""});
    expected.insert({"changed", (s / "d1" / "new" / "added").string(), ""});
    WriteFile(s / "top", "top, modified\n");
    expected.insert({"changed", (s / "top").string(), ""});
    fs::rename(s / "d1" / "f1", s / "d1" / "f1-renamed");
    expected.insert({"renamed", (s / "d1" / "f1-renamed").string(), (s / "d1" / "f1").string()});
    fs::rename(s / "d1" / "sub", s / "d1" / "sub-renamed");
    expected.insert({"renamed", dirPath(s / "d1" / "sub-renamed"), dirPath(s / "d1" / "sub")});
    expected.insert({"changed", dirPath(s / "d1"), ""});
    fs::rename(s / "d2" / "b", s / "d1" / "b-moved");
    expected.insert({"renamed", (s / "d1" / "b-moved").string(), (s / "d2" / "b").string()});
    fs::remove(s / "d2" / "a");
    expected.insert({"removed", dirPath(s / "d2" / "a"), ""});  // removed entries read as directories
    expected.insert({"changed", dirPath(s / "d2"), ""});
    fs::remove_all(s / "d3");
    expected.insert({"removed", dirPath(s / "d3"), ""});
    expected.insert({"removed", dirPath(s / "d3" / "c"), ""});
    // An entry made after the full job and gone before the next one leaves no trace.
    WriteFile(s / "d2" / "brief", "x\n");
    fs::remove(s / "d2" / "brief");

    Result job = Job(1, 1, {share}, "incremental");
    ASSERT_EQ(job.status, 0) << job.err;
    EXPECT_EQ(job.Records("job").at(0)["prevJobId"], 1);
    std::multiset<std::tuple<std::string, std::string, std::string>> delivered;
    for (const auto& item : job.Records("item")) {
        delivered.insert({item["kindName"], item["path"], item.value("oldPath", "")});
        const bool directoryLike = item["path"].get<std::string>().back() == '/';
        EXPECT_EQ(item["mode"], directoryLike ? 0x4000 : 0x8000) << item.dump();
        EXPECT_GT(item["inode"], 0) << item.dump();
    }
    // The share root changed too (d3 went), when the array lists the root itself.
    delivered.erase(std::make_tuple(std::string("changed"), share + "/", std::string()));
    EXPECT_EQ(delivered, (std::multiset<std::tuple<std::string, std::string, std::string>>(
                             expected.begin(), expected.end())));
    EXPECT_EQ(job.Records("shareDone").at(0)["items"], job.Records("item").size());
}

TEST_F(E2eTest, FailuresExitNonZeroWithThePlugInsTextAndKeepTheBase) {
    const std::string share = Share("s1");
    ASSERT_EQ(Job(1, 1, {share}, "base").status, 0);
    const std::string state = ReadFile(dir / "state" / "client-1-subclient-1.json");

    struct Case {
        const char* name;
        mode_t credentialsMode;
        bool arrayDown;
        std::vector<std::string> shares;
        int status;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"credentials readable by others", 0644, false, {share}, 1, "Unable to get array credentials."},
        {"unknown share", 0600, false, {Share("nowhere")}, 1, "ConfigureSnapshot failed"},
        {"one share not processed", 0600, false, {share, Share("nowhere")}, 3, ""},
        {"array down", 0600, true, {share}, 1, "Unable to connect to array:[http://127.0.0.1:"},
    };
    int64_t lastJob = 1;
    int64_t base = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteCredentials(c.credentialsMode);
        if (c.arrayDown) StopArray();
        const Result result = Job(1, 1, c.shares, c.name);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.text));
        ++lastJob;
        if (c.status == 3) base = lastJob;  // delivered for the shares it had
        const auto record = nlohmann::json::parse(ReadFile(dir / "state" / "client-1-subclient-1.json"));
        EXPECT_EQ(record["lastIssuedJobId"], lastJob);
        EXPECT_EQ(record["baseJobId"], base);
    }

    const Result usage = Snapscan({"job", "--client-id", "1", "--subclient-id", "1"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_THAT(usage.err, HasSubstr("--share"));
    const Result noPlugin = Snapscan({"--plugin", (dir / "missing.so").string(), "verify", "--client-id", "1"});
    EXPECT_EQ(noPlugin.status, 1);
    EXPECT_THAT(noPlugin.err, HasSubstr("cannot load the plug-in"));
}

}  // namespace
