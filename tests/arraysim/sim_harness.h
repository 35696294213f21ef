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

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "arraysim-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

using snapscan_test::ReadFile;
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
        root_ = dir_.path() + "/ifs";
        std::filesystem::create_directories(root_ + "/data");
        if (options.root.empty() && options.synthetic.entries == 0) options.root = root_;
        options.user = "tester";
        options.password = "pa ss:word";
        sim_ = std::make_unique<arraysim::ArraySim>(options);
        std::string error;
        started_ = sim_->Start(&error);
        EXPECT_TRUE(started_) << error;
    }

    const std::string& root() const { return root_; }
    arraysim::ArraySim& sim() { return *sim_; }

    // For an HTTPS server: the CA that signed its certificate.
    void set_ca_file(const std::string& path) { caFile_ = path; }

    std::unique_ptr<httplib::Client> Client(bool basicAuth = true) {
        auto c = std::make_unique<httplib::Client>(sim_->url());
        if (!caFile_.empty()) c->set_ca_cert_path(caFile_.c_str());
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
        ASSERT_TRUE(sim_->Control(control, &error)) << error;
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
    TempDir dir_;
    std::string root_;
    std::unique_ptr<arraysim::ArraySim> sim_;
    bool started_ = false;
    std::string caFile_;
};

}  // namespace arraysim_test
