// The end-to-end harness: arraysim serving a temporary /ifs as a child process,
// the configuration the CLI reads, and the snapscan CLI run as a separate
// process exactly as a user runs it. Shared by the end-to-end and fault tests.
#pragma once

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
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/arraysim_process.h"
#include "tests/support/temp_files.h"

extern char** environ;

namespace snapscan_e2e {

namespace fs = std::filesystem;

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

inline std::string ReadFile(const fs::path& path) { return snapscan_test::ReadFile(path); }

inline void WriteFile(const fs::path& path, const std::string& text) {
    snapscan_test::WriteFile(path, text);
}

// Starts `argv` with its output in files; returns its pid.
inline pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err) {
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
// A derived fixture may set arrayArgs (more arraysim options) and
// credentialsExtra (more lines of each credentials entry) before SetUp.
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
        ::setenv("SNAPSCAN_LOCK_DIR", (dir / "locks").c_str(), 1);
        ::setenv("SNAPSCAN_MOUNT_TABLE", (dir / "mounts").c_str(), 1);
    }

    void TearDown() override {
        StopArray();
        if (!HasFailure())
            fs::remove_all(dir);
        else
            std::cerr << "files kept in " << dir << '\n';
    }

    void StartArray() {
        std::vector<std::string> args = {"--root", ifs.string(), "--user",
                                         "backup", "--password", arrayPassword};
        args.insert(args.end(), arrayArgs.begin(), arrayArgs.end());
        std::string error;
        ASSERT_TRUE(array.Start(SNAPSCAN_ARRAYSIM, dir.string(), args, error)) << error;
        port = std::to_string(array.Port());
    }

    void StopArray() { array.Stop(); }

    void WriteCredentials(mode_t mode) {
        std::string text;
        for (int client : {1, 2})
            text += "[client " + std::to_string(client) +
                    "]\nfileServer = http://127.0.0.1:" + port + "\nuser = backup\npassword = " +
                    (arrayPassword == "pw" ? "pw" : "\"" + arrayPassword + "\"") + "\n" +
                    credentialsExtra;
        const fs::path path = dir / "config" / "credentials.ini";
        WriteFile(path, text);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }

    std::string Share(const std::string& name) const { return (ifs / name).string(); }

    // The CLI's command line: the binary, the plug-in of this build, `args`.
    static std::vector<std::string> CliArgs(std::vector<std::string> args) {
        if (std::find(args.begin(), args.end(), "--plugin") == args.end())
            args.insert(args.begin(), {"--plugin", SNAPSCAN_PLUGIN});
        args.insert(args.begin(), SNAPSCAN_CLI);
        return args;
    }

    Result Snapscan(std::vector<std::string> args) {
        const pid_t pid = Spawn(CliArgs(std::move(args)), dir / "cli.out", dir / "cli.err");
        Result result;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            result.status = WEXITSTATUS(status);
        result.out = ReadFile(dir / "cli.out");
        result.err = ReadFile(dir / "cli.err");
        return result;
    }

    // The arguments of one job of client/subclient over `shares`, JSON output;
    // job files under results/<tag>.
    std::vector<std::string> JobArgs(int client, int subclient,
                                     const std::vector<std::string>& shares, const std::string& tag,
                                     const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"job",
                                         "--json",
                                         "--client-id",
                                         std::to_string(client),
                                         "--subclient-id",
                                         std::to_string(subclient),
                                         "--results-dir",
                                         (dir / "results" / tag).string(),
                                         "--map-file",
                                         (dir / "results" / tag / "map").string()};
        for (const auto& share : shares) args.insert(args.end(), {"--share", share});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    Result Job(int client, int subclient, const std::vector<std::string>& shares,
               const std::string& tag, std::vector<std::string> extra = {}) {
        return Snapscan(JobArgs(client, subclient, shares, tag, extra));
    }

    // Every snapshot of a client on the array: name -> job id.
    std::map<std::string, int64_t> Snapshots(int client) {
        const Result listed = Snapscan(
            {"snapshots", "--json", "--all-subclients", "--client-id", std::to_string(client)});
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::map<std::string, int64_t> names;
        for (const auto& record : listed.Records("snapshot"))
            names[record["name"].get<std::string>()] = record["jobId"].get<int64_t>();
        return names;
    }

    // The job ids of one client and subclient's snapshots (one per share and job).
    std::multiset<int64_t> JobsOf(int client, int subclient) {
        std::multiset<int64_t> jobs;
        const std::string prefix =
            "TZOP_" + std::to_string(client) + "_" + std::to_string(subclient) + "_";
        for (const auto& [name, job] : Snapshots(client))
            if (name.rfind(prefix, 0) == 0) jobs.insert(job);
        return jobs;
    }

    std::vector<std::string> arrayArgs;  // more arraysim options
    std::string arrayPassword = "pw";    // written quoted into the credentials when not "pw"
    std::string credentialsExtra;        // more lines of every credentials entry
    fs::path dir;
    fs::path ifs;
    std::string port;
    ArraySimProcess array;
};

}  // namespace snapscan_e2e
