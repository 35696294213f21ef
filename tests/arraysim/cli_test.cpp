// The arraysim executable: announces its address, serves, and stops cleanly on a signal.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/arraysim/sim_harness.h"

namespace arraysim_test {
namespace {

// Waits up to `ms` for the child to exit; returns its wait status, or -1 on time-out.
int WaitExit(pid_t pid, int ms) {
    for (int i = 0; i < ms; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0 || read(fd, &c, 1) != 1) break;
        line += c;
    }
    return line;
}

TEST(ArraySimCli, ServesAndStopsOnSignal) {
    TempDir dir;
    std::string portFile = dir.Path() + "/port";
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(ARRAYSIM_BINARY, ARRAYSIM_BINARY, "--root", dir.Path().c_str(), "--port", "0",
                  "--user", "u", "--password", "p", "--release", "v9.1.0.0", "--port-file",
                  portFile.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line = ReadLine(out[0], 10000);
        close(out[0]);
        ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
        int port = std::stoi(line.substr(line.rfind(':') + 1));
        EXPECT_EQ(std::stoi(ReadFile(portFile)), port);

        // A kept-alive client connection must not hold up the exit.
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(true);
        client.set_basic_auth("u", "p");
        auto r = client.Get("/platform/1/cluster/config");
        ASSERT_TRUE(r);
        EXPECT_EQ(json::parse(r->body)["onefs_version"]["release"], "v9.1.0.0");

        kill(pid, sig);
        int status = WaitExit(pid, 5000);
        if (status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            FAIL() << "arraysim did not stop";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST(ArraySimCli, RejectsBadArguments) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
    };
    const Case kCases[] = {
        {"no root", {}},
        {"non-loopback bind", {"--root", "/tmp", "--bind", "0.0.0.0"}},
        {"unknown option", {"--root", "/tmp", "--frobnicate"}},
        {"bad page size", {"--root", "/tmp", "--page-size", "0"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(ARRAYSIM_BINARY)};
            for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execv(ARRAYSIM_BINARY, argv.data());
            _exit(127);
        }
        int status = WaitExit(pid, 5000);
        if (status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            FAIL() << "arraysim kept running";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 127)
            << status;
    }
}

}  // namespace
}  // namespace arraysim_test
