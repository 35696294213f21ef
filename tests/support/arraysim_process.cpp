#include "tests/support/arraysim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <curl/curl.h>

namespace {

size_t Collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

bool ArraySimProcess::Start(const std::string& binary, const std::string& workDir,
                            const std::vector<std::string>& args, std::string& error) {
    Stop();
    const std::string portFile = workDir + "/sim.port";
    const std::string outFile = workDir + "/sim.out";
    unlink(portFile.c_str());
    std::vector<std::string> argv = {binary, "--port", "0", "--port-file", portFile};
    argv.insert(argv.end(), args.begin(), args.end());
    m_tls = false;
    for (const std::string& arg : args) m_tls = m_tls || arg == "--cert";
    std::vector<char*> raw;
    for (std::string& arg : argv) raw.push_back(&arg[0]);
    raw.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        error = "fork failed";
        return false;
    }
    if (pid == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execv(raw[0], raw.data());
        _exit(127);
    }
    m_pid = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            std::ifstream out(outFile);
            error = "arraysim exited: " + std::string(std::istreambuf_iterator<char>(out), {});
            return false;
        }
        std::ifstream in(portFile);
        int port = 0;
        if (in >> port && port > 0) {
            m_port = port;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error = "arraysim did not write its port in time";
    Stop();
    return false;
}

void ArraySimProcess::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
}

std::string ArraySimProcess::HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string ArraySimProcess::Url() const { return (m_tls ? "https://" : "http://") + HostPort(); }

long ArraySimRequest(const char* method, const std::string& url, const std::string& body,
                     const std::string& user, const std::string& password, std::string* answer) {
    CURL* curl = curl_easy_init();
    if (!curl) return 0;
    std::string received;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (!user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }
    if (!body.empty()) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (answer) *answer = received;
    return status;
}

long ArraySimProcess::Control(const char* method, const std::string& path, const std::string& body,
                              std::string* answer) const {
    return ArraySimRequest(method, Url() + path, body, "", "", answer);
}
