// In-process arraysim for tests: a temporary /ifs, a running server and a small client.
#pragma once

#include <httplib.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/temp_files.h"
#include "tools/arraysim/server.h"

namespace arraysim_test {

using nlohmann::json;

using snapscan_test::ReadFile;
using snapscan_test::TempDir;
using snapscan_test::WriteFile;

// Moves a file's times into the past, so a change made right after shows whatever the clock's
// granularity.
inline void Age(const std::string& path) {
    struct timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
    utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW);
}

struct Reply {
    int status = -1;  // -1: no answer (connection failed or closed)
    std::string body;
    httplib::Headers headers;
    json Json() const { return json::parse(body, nullptr, false); }
    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

inline Reply ToReply(const httplib::Result& r) {
    Reply out;
    if (r) {
        out.status = r->status;
        out.body = r->body;
        out.headers = r->headers;
    }
    return out;
}

class SimHarness {
public:
    explicit SimHarness(arraysim::SimOptions options = {}) {
        m_root = m_dir.Path() + "/ifs";
        std::filesystem::create_directories(m_root + "/data");
        if (options.root.empty() && options.synthetic.entries == 0) options.root = m_root;
        options.user = "tester";
        options.password = "pa ss:word";
        m_sim = std::make_unique<arraysim::ArraySim>(options);
        std::string error;
        m_started = m_sim->Start(error);
        EXPECT_TRUE(m_started) << error;
    }

    const std::string& Root() const { return m_root; }
    arraysim::ArraySim& Sim() { return *m_sim; }

    // For an HTTPS server: the CA that signed its certificate.
    void SetCaFile(const std::string& path) { m_caFile = path; }

    std::unique_ptr<httplib::Client> Client(bool basicAuth = true) {
        auto c = std::make_unique<httplib::Client>(m_sim->Url());
        if (!m_caFile.empty()) c->set_ca_cert_path(m_caFile.c_str());
        if (basicAuth) c->set_basic_auth("tester", "pa ss:word");
        c->set_read_timeout(10, 0);
        return c;
    }

    Reply Call(const std::string& method, const std::string& path, const std::string& body = "",
               const httplib::Headers& headers = {}, bool basicAuth = true) {
        auto c = Client(basicAuth);
        if (method == "GET") return ToReply(c->Get(path.c_str(), headers));
        if (method == "POST")
            return ToReply(c->Post(path.c_str(), headers, body, "application/json"));
        if (method == "PUT")
            return ToReply(c->Put(path.c_str(), headers, body, "application/json"));
        if (method == "DELETE") return ToReply(c->Delete(path.c_str(), headers));
        return {};
    }

    void Control(const json& control) {
        std::string error;
        ASSERT_TRUE(m_sim->Control(control, error)) << error;
    }

    // Creates snapshot `name` of `path`; returns its id (0 on failure, with a test failure).
    int64_t Snap(const std::string& name, const std::string& path) {
        Reply r = Call("POST", "/platform/1/snapshot/snapshots",
                       json{{"name", name}, {"path", path}}.dump());
        EXPECT_EQ(r.status, 201) << r.body;
        json j = r.Json();
        return j.is_object() && j.contains("id") ? j["id"].get<int64_t>() : 0;
    }

private:
    TempDir m_dir;
    std::string m_root;
    std::unique_ptr<arraysim::ArraySim> m_sim;
    bool m_started = false;
    std::string m_caFile;
};

}  // namespace arraysim_test
