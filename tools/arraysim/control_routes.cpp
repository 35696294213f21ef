// The emulator's own endpoints under /arraysim/: fault rules, run-time
// controls and the request log. Test hooks outside the array's API.
#include <mutex>
#include <string>
#include <vector>

#include "tools/arraysim/server_impl.h"

namespace arraysim {

bool ArraySim::Impl::ApplyControl(const nlohmann::json& c, std::string& error) {
    if (!c.is_object()) {
        error = "control must be a JSON object";
        return false;
    }
    try {
        for (const auto& item : c.items()) {
            const std::string& key = item.key();
            const nlohmann::json& v = item.value();
            if (key == "expire_sessions") {
                if (v.get<bool>()) sessions.ExpireAll();
            } else if (key == "lock" || key == "unlock") {
                Snapshot* s = snapshots.Find(v.get<std::string>());
                if (!s) {
                    error = "no snapshot " + v.get<std::string>();
                    return false;
                }
                s->locked = key == "lock";
            } else if (key == "lock_new_snapshots") {
                snapshots.SetLockNew(v.get<bool>());
            } else if (key == "job_delay_ms") {
                jobDelayMs = v.get<int64_t>();
            } else if (key == "changelist_delay_ms") {
                changelistDelayMs = v.get<int64_t>();
            } else if (key == "changelist_page_size") {
                changelistPageSize = v.get<uint32_t>();
            } else if (key == "fail_next_jobs") {
                failNextJobs = v.get<uint32_t>();
            } else if (key == "failed_job_state") {
                failedJobState = v.get<std::string>();
            } else if (key == "changelist_create_enabled") {
                changelistType.enabled = v.get<bool>();
            } else if (key == "session_idle_s") {
                sessions.SetIdleSeconds(v.get<int64_t>());
            } else {
                error = "unknown control key '" + key + "'";
                return false;
            }
        }
    } catch (const nlohmann::json::exception& e) {
        error = std::string("bad control value: ") + e.what();
        return false;
    }
    return true;
}

void ArraySim::Impl::RegisterControlRoutes() {
    // Test hooks, outside the array's API: no authentication, never subject to faults.
    server->Get("/arraysim/faults", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, 200, faults.ToJson());
    });
    server->Post("/arraysim/faults", [this](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
        std::vector<int> ids;
        std::string error;
        if (body.is_discarded() || !faults.Add(body, ids, error)) {
            return SendError(
                res, ApiError::BadRequest(body.is_discarded() ? "body is not JSON" : error));
        }
        SendJson(res, 201, {{"ids", ids}});
    });
    server->Delete("/arraysim/faults", [this](const httplib::Request&, httplib::Response& res) {
        faults.Clear();
        res.status = 204;
    });
    server->Post("/arraysim/control", [this](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
        std::string error = "body is not JSON";
        std::lock_guard<std::mutex> lock(mu);
        if (body.is_discarded() || !ApplyControl(body, error))
            return SendError(res, ApiError::BadRequest(error));
        res.status = 204;
    });
    server->Get("/arraysim/requests", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mu);
        SendJson(res, 200, {{"requests", requestLog}});
    });
    server->Delete("/arraysim/requests", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mu);
        requestLog.clear();
        res.status = 204;
    });
}

}  // namespace arraysim
