#pragma once

// The array emulator as a child process for tests and benchmarks: started on a
// free port, reached through its control endpoints, killed when done.

#include <sys/types.h>

#include <string>
#include <vector>

// One request to the emulator at url (its control endpoints, or its API with
// HTTP Basic when user is not empty), without certificate checks. Returns the
// HTTP status (0 when the request failed) and the body.
long ArraySimRequest(const char* method, const std::string& url, const std::string& body,
                     const std::string& user = "", const std::string& password = "",
                     std::string* answer = nullptr);

class ArraySimProcess {
public:
    ArraySimProcess() = default;
    ~ArraySimProcess() { Stop(); }
    ArraySimProcess(const ArraySimProcess&) = delete;
    ArraySimProcess& operator=(const ArraySimProcess&) = delete;

    // Runs `binary --port 0 --port-file <workDir>/sim.port <args>`, its output in
    // <workDir>/sim.out, and waits (at most 20 s) until it listens. False with
    // error set otherwise.
    bool Start(const std::string& binary, const std::string& workDir,
               const std::vector<std::string>& args, std::string& error);
    void Stop();

    int Port() const { return m_port; }
    // The running emulator's process id (-1 when stopped), for tests that signal it.
    pid_t Pid() const { return m_pid; }
    // "http://127.0.0.1:<port>" or "https://..."; what a file server entry names.
    std::string Url() const;
    // "127.0.0.1:<port>": the form of a file server over HTTPS.
    std::string HostPort() const;

    // One request to the emulator's control endpoints (/arraysim/...), without
    // authentication and without certificate checks. Returns the HTTP status
    // (0 when the request failed) and the body.
    long Control(const char* method, const std::string& path, const std::string& body,
                 std::string* answer = nullptr) const;

private:
    pid_t m_pid = -1;
    int m_port = 0;
    bool m_tls = false;
};
