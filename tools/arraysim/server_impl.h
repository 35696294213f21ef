// State and wiring shared by the emulator's server files (server.cpp: lifecycle, auth, faults;
// control_routes.cpp: the /arraysim/ endpoints; api_routes.cpp: the array's resources).
// Internal to arraysim_lib.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/arraysim/api_error.h"
#include "tools/arraysim/changelist.h"
#include "tools/arraysim/faults.h"
#include "tools/arraysim/server.h"
#include "tools/arraysim/sessions.h"
#include "tools/arraysim/snapshot_store.h"

namespace arraysim {

using Clock = std::chrono::steady_clock;

struct Job {
    int64_t id = 0;
    int64_t older = 0, newer = 0;
    int64_t createdEpoch = 0;
    Clock::time_point readyAt;
    bool fails = false;
    std::string failedState;
};

struct ChangelistRecord {
    std::string id;  // "B_I"
    int64_t jobId = 0;
    std::string rootPath;
    int64_t snap1 = 0, snap2 = 0;
    std::shared_ptr<const ChangelistSource> source;
    Clock::time_point visibleAt;
};

struct JobTypeSettings {
    bool enabled = true;
    std::string policy = "LOW";
    int priority = 5;
    nlohmann::json schedule = nullptr;
    bool allowMultipleInstances = false;
};

struct ArraySim::Impl {
    explicit Impl(SimOptions o);

    SimOptions options;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    bool tls = false;
    FaultTable faults;

    // Everything below is guarded by mu; handlers hold it while they run.
    std::mutex mu;
    SnapshotStore snapshots;
    SessionStore sessions;
    JobTypeSettings changelistType;
    std::map<int64_t, Job> jobs;
    std::map<std::string, ChangelistRecord> changelists;
    int64_t nextJobId = 1;
    int64_t jobDelayMs = 0;
    int64_t changelistDelayMs = 0;
    uint32_t changelistPageSize =
        0;  // non-zero: every changelist page this size, whatever was asked
    uint32_t failNextJobs = 0;
    std::string failedJobState = "failed";
    std::vector<nlohmann::json> requestLog;

    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    // An API route: faults, then authentication, then `handler` under mu.
    void Api(const std::string& method, const std::string& pattern, const Handler& handler);
    void RegisterApiRoutes();                                              // api_routes.cpp
    void RegisterControlRoutes();                                          // control_routes.cpp
    bool ApplyControl(const nlohmann::json& control, std::string& error);  // caller holds mu
    void Serve(const Handler& handler, const httplib::Request& req, httplib::Response& res);
};

// Response helpers shared by the route files.
void SendJson(httplib::Response& res, int status, const nlohmann::json& body);
void SendError(httplib::Response& res, const ApiError& error);
// Parses the request body as a JSON object; on failure answers 400 and returns false.
bool ParseJsonBody(const httplib::Request& req, httplib::Response& res, nlohmann::json* body);

}  // namespace arraysim
