// The array's resources: sessions, cluster version, snapshots, job types, jobs, changelists.
#include <algorithm>
#include <ctime>

#include "tools/arraysim/lins_page.h"
#include "tools/arraysim/resume_token.h"
#include "tools/arraysim/server_impl.h"
#include "tools/arraysim/synthetic_changelist.h"

namespace arraysim {

namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

// Resources live under /platform/<N>/ and are served at every N from the one they appeared in.
std::string Platform(const std::string& rest) { return R"(/platform/(\d+))" + rest; }

bool VersionAtLeast(const Request& req, Response& res, int minimum) {
    const std::string v = req.matches[1];
    if (v.size() < 4 && std::stoi(v) >= minimum) return true;
    res.status = 404;  // the error handler turns it into the web server's page
    return false;
}

json SnapshotJson(const Snapshot& s) {
    return {{"id", s.id},           {"name", s.name},     {"path", s.path},
            {"created", s.created}, {"expires", nullptr}, {"alias", nullptr},
            {"state", "active"},    {"size", s.size},     {"has_locks", s.locked},
            {"schedule", nullptr},  {"shadow_bytes", 0},  {"pct_filesystem", 0.0},
            {"pct_reserve", 0.0},   {"target_id", 0},     {"target_name", nullptr}};
}

// Reads ?limit / ?resume of a paged list. The first page may carry limit; a follow-up carries
// resume and nothing else, as on the array.
bool PageRequest(const Request& req, Response& res, const std::string& list, uint64_t defaultLimit,
                 uint64_t& limit, bool& resumed, ResumePoint& point) {
    resumed = req.has_param("resume");
    if (resumed) {
        if (req.params.size() != 1) {
            SendError(res, ApiError::BadRequest("resume may not be combined with other arguments"));
            return false;
        }
        if (!DecodeResume(req.get_param_value("resume"), point) || point.list != list) {
            SendError(res, ApiError::BadRequest("Invalid resume token"));
            return false;
        }
        limit = point.limit;
        return true;
    }
    limit = defaultLimit;
    if (req.has_param("limit")) {
        const std::string text = req.get_param_value("limit");
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos || std::stoull(text) == 0) {
            SendError(res, ApiError::BadRequest("Invalid value for limit: '" + text + "'"));
            return false;
        }
        limit = std::stoull(text);
    }
    return true;
}

std::string PairKey(int64_t older, int64_t newer) {
    return std::to_string(older) + "_" + std::to_string(newer);
}

}  // namespace

void ArraySim::Impl::RegisterApiRoutes() {
    // Sessions.
    Api("POST", "/session/1/session", [this](const Request& req, Response& res) {
        json body;
        if (!ParseJsonBody(req, res, &body)) return;
        const json& user = body.value("username", json());
        const json& password = body.value("password", json());
        const json& services = body.value("services", json());
        if (!user.is_string() || !password.is_string() || !services.is_array()) {
            return SendError(
                res, {400, "AEC_ARG_REQUIRED", "username, password and services are required"});
        }
        if (user.get<std::string>() != options.user ||
            password.get<std::string>() != options.password) {
            SendError(res, ApiError{401, "", "authorization required"});
            res.set_header("X-Arraysim-Auth", "bad username or password");
            return;
        }
        std::string id, csrf;
        sessions.Open(options.user, id, csrf);
        std::string secure = tls ? "; Secure" : "";
        res.set_header("Set-Cookie", "isisessid=" + id + "; path=/; HttpOnly" + secure);
        res.set_header("Set-Cookie", "isicsrf=" + csrf + "; path=/" + secure);
        SendJson(res, 201,
                 {{"services", services},
                  {"username", options.user},
                  {"timeout_absolute", sessions.MaxSeconds()},
                  {"timeout_inactive", sessions.IdleSeconds()}});
    });
    Api("GET", "/session/1/session", [this](const Request&, Response& res) {
        SendJson(res, 200,
                 {{"services", {"platform"}},
                  {"username", options.user},
                  {"timeout_absolute", sessions.MaxSeconds()},
                  {"timeout_inactive", sessions.IdleSeconds()}});
    });
    Api("DELETE", "/session/1/session", [this](const Request& req, Response& res) {
        sessions.Close(CookieValue(req.get_header_value("Cookie"), "isisessid"));
        res.status = 204;
    });

    // Cluster identity and version.
    Api("GET", Platform("/cluster/config"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        std::string digits = options.release.substr(options.release.rfind('v', 0) == 0 ? 1 : 0);
        std::replace(digits.begin(), digits.end(), '.', '_');
        std::string build = "B_" + digits + "_049(RELEASE)";
        SendJson(
            res, 200,
            {{"name", options.clusterName},
             {"guid", "000e1e8c94d0f1ee9e57d22c1c5f8a1d5e0b"},
             {"local_devid", 1},
             {"local_lnn", 1},
             {"has_quorum", true},
             {"is_compliance", false},
             {"is_virtual", false},
             {"is_vonefs", false},
             {"devices", json::array({{{"devid", 1}, {"guid", "000e1e8c94d0f1ee"}, {"lnn", 1}}})},
             {"timezone",
              {{"abbreviation", "UTC"}, {"name", "UTC"}, {"path", "UTC"}, {"custom", ""}}},
             {"onefs_version",
              {{"build", build},
               {"release", options.release},
               {"revision", "576460752303423488"},
               {"type", "Isilon OneFS"},
               {"version",
                "Isilon OneFS " + options.release + " " + build + ": 0x800005000100031"}}}});
    });

    // Snapshot settings.
    Api("GET", Platform("/snapshot/settings"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        SendJson(res, 200,
                 {{"settings",
                   {{"autocreate", true},
                    {"autodelete", true},
                    {"global_visible_accessible", true},
                    {"local_root_accessible", true},
                    {"local_root_visible", true},
                    {"local_subdir_accessible", true},
                    {"nfs_root_accessible", true},
                    {"nfs_root_visible", true},
                    {"nfs_subdir_accessible", options.snapshotDir},
                    {"reserve", 0.0},
                    {"service", true}}}});
    });

    // Job type of changelist jobs.
    Api("GET", Platform("/job/types/([^/]+)"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        if (req.matches[2] != "ChangelistCreate") {
            return SendError(res, ApiError::NotFound("Job type '" + std::string(req.matches[2]) +
                                                     "' not found"));
        }
        const JobTypeSettings& t = changelistType;
        SendJson(res, 200,
                 {{"types", json::array({{{"id", "ChangelistCreate"},
                                          {"enabled", t.enabled},
                                          {"policy", t.policy},
                                          {"priority", t.priority},
                                          {"schedule", t.schedule},
                                          {"allow_multiple_instances", t.allowMultipleInstances},
                                          {"description",
                                           "Create a list of changes between two snapshots "
                                           "with matching root paths"},
                                          {"exclusion_set", ""},
                                          {"hidden", false}}})}});
    });
    Api("PUT", Platform("/job/types/([^/]+)"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        if (req.matches[2] != "ChangelistCreate") {
            return SendError(res, ApiError::NotFound("Job type '" + std::string(req.matches[2]) +
                                                     "' not found"));
        }
        json body;
        if (!ParseJsonBody(req, res, &body)) return;
        JobTypeSettings t = changelistType;
        for (const auto& item : body.items()) {
            const std::string& k = item.key();
            const json& v = item.value();
            bool ok = (k == "enabled" && v.is_boolean()) || (k == "policy" && v.is_string()) ||
                      (k == "priority" && v.is_number_integer()) || k == "schedule" ||
                      (k == "allow_multiple_instances" && v.is_boolean());
            if (!ok)
                return SendError(res, ApiError::BadRequest("Field '" + k +
                                                           "' is not settable or has a bad type"));
            if (k == "enabled") t.enabled = v.get<bool>();
            if (k == "policy") t.policy = v.get<std::string>();
            if (k == "priority") t.priority = v.get<int>();
            if (k == "schedule") t.schedule = v;
            if (k == "allow_multiple_instances") t.allowMultipleInstances = v.get<bool>();
        }
        changelistType = t;
        res.status = 204;
    });

    // Snapshots.
    Api("GET", Platform("/snapshot/snapshots"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        uint64_t limit = 0;
        bool resumed = false;
        ResumePoint point;
        if (!PageRequest(req, res, "snapshots", UINT32_MAX, limit, resumed, point)) return;
        int64_t after = resumed ? static_cast<int64_t>(point.position) : 0;
        std::vector<const Snapshot*> page = snapshots.ListAfter(after, limit);
        json items = json::array();
        for (const Snapshot* s : page) items.push_back(SnapshotJson(*s));
        json resume = nullptr;
        if (!page.empty() && !snapshots.ListAfter(page.back()->id, 1).empty()) {
            resume = EncodeResume({"snapshots", limit, static_cast<uint64_t>(page.back()->id)});
        }
        SendJson(res, 200,
                 {{"snapshots", items}, {"resume", resume}, {"total", snapshots.Count()}});
    });
    Api("POST", Platform("/snapshot/snapshots"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        json body;
        if (!ParseJsonBody(req, res, &body)) return;
        const json& name = body.value("name", json());
        const json& path = body.value("path", json());
        if (!name.is_string() || !path.is_string()) {
            return SendError(res, {400, "AEC_ARG_REQUIRED", "name and path are required strings"});
        }
        Snapshot created;
        ApiError error =
            snapshots.Create(name.get<std::string>(), path.get<std::string>(), &created);
        if (!error.Ok()) return SendError(res, error);
        SendJson(res, 201, SnapshotJson(created));
    });
    Api("GET", Platform("/snapshot/snapshots/(.+)"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        const Snapshot* s = snapshots.Find(req.matches[2]);
        if (!s)
            return SendError(res, ApiError::NotFound("Snapshot '" + std::string(req.matches[2]) +
                                                     "' not found"));
        SendJson(res, 200, {{"snapshots", json::array({SnapshotJson(*s)})}});
    });
    Api("DELETE", Platform("/snapshot/snapshots/(.+)"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        ApiError error = snapshots.Delete(req.matches[2]);
        if (!error.Ok()) return SendError(res, error);
        res.status = 204;
    });

    // Changelist jobs.
    Api("POST", Platform("/job/jobs"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        json body;
        if (!ParseJsonBody(req, res, &body)) return;
        if (body.value("type", "") != "ChangelistCreate") {
            return SendError(
                res, ApiError::BadRequest("Only ChangelistCreate jobs can be started here"));
        }
        if (!changelistType.enabled) {
            return SendError(res, ApiError::BadRequest("Job type ChangelistCreate is disabled"));
        }
        const json params = body.value("changelistcreate_params", json());
        if (!params.is_object() || !params.value("older_snapid", json()).is_number_integer() ||
            !params.value("newer_snapid", json()).is_number_integer()) {
            return SendError(res, {400, "AEC_ARG_REQUIRED",
                                   "changelistcreate_params needs older_snapid and newer_snapid"});
        }
        int64_t older = params["older_snapid"].get<int64_t>(),
                newer = params["newer_snapid"].get<int64_t>();
        const Snapshot* a = snapshots.FindId(older);
        const Snapshot* b = snapshots.FindId(newer);
        if (!a || !b) {
            return SendError(
                res,
                ApiError::NotFound("Snapshot " + std::to_string(a ? newer : older) + " not found"));
        }
        if (older >= newer)
            return SendError(res,
                             ApiError::BadRequest("older_snapid must be older than newer_snapid"));
        if (a->path != b->path) {
            return SendError(
                res, ApiError::BadRequest("Snapshots " + std::to_string(older) + " and " +
                                          std::to_string(newer) + " have different root paths"));
        }
        Job job;
        job.id = nextJobId++;
        job.older = older;
        job.newer = newer;
        job.createdEpoch = static_cast<int64_t>(std::time(nullptr));
        const std::string key = PairKey(older, newer);
        auto existing = changelists.find(key);
        if (existing != changelists.end()) {
            job.readyAt = Clock::now();  // a finished changelist for the pair: nothing to do
        } else {
            job.readyAt = Clock::now() + std::chrono::milliseconds(jobDelayMs);
            if (failNextJobs > 0) {
                --failNextJobs;
                job.fails = true;
                job.failedState = failedJobState;
            } else {
                ChangelistRecord cl;
                cl.id = key;
                cl.jobId = job.id;
                cl.rootPath = a->path;
                cl.snap1 = older;
                cl.snap2 = newer;
                if (a->synthetic || b->synthetic || !a->manifest || !b->manifest) {
                    cl.source = MakeSyntheticChangelist(options.synthetic, a->path,
                                                        options.removedTypeText);
                } else if (a->keys && b->keys) {
                    cl.source = MakeStoredChangelist(ComputeChangelist(
                        *a->manifest, *a->keys, *b->manifest, *b->keys, options.removedTypeText));
                } else {
                    cl.source = MakeStoredChangelist(
                        ComputeChangelist(*a->manifest, *b->manifest, options.removedTypeText));
                }
                cl.visibleAt = job.readyAt + std::chrono::milliseconds(changelistDelayMs);
                changelists[key] = std::move(cl);
            }
        }
        jobs[job.id] = job;
        SendJson(res, 201, {{"id", job.id}});
    });
    Api("GET", Platform(R"(/job/jobs/(\d+))"), [this](const Request& req, Response& res) {
        if (!VersionAtLeast(req, res, 1)) return;
        const std::string idText = req.matches[2];
        auto it = idText.size() < 18 ? jobs.find(std::stoll(idText)) : jobs.end();
        if (it == jobs.end())
            return SendError(res, ApiError::NotFound("Job " + idText + " not found"));
        const Job& job = it->second;
        bool done = Clock::now() >= job.readyAt;
        std::string state = !done ? "running" : job.fails ? job.failedState : "succeeded";
        SendJson(
            res, 200,
            {{"jobs", json::array({{{"id", job.id},
                                    {"type", "ChangelistCreate"},
                                    {"state", state},
                                    {"current_phase", done ? 4 : 2},
                                    {"total_phases", 4},
                                    {"policy", changelistType.policy},
                                    {"priority", changelistType.priority},
                                    {"create_time", job.createdEpoch},
                                    {"start_time", job.createdEpoch},
                                    {"end_time", done ? json(job.createdEpoch) : json(nullptr)},
                                    {"changelistcreate_params",
                                     {{"older_snapid", job.older},
                                      {"newer_snapid", job.newer},
                                      {"retain_repstate", true}}}}})}});
    });

    // Changelists.
    auto visible = [this](const std::string& key) -> const ChangelistRecord* {
        auto it = changelists.find(key);
        if (it == changelists.end() || Clock::now() < it->second.visibleAt) return nullptr;
        return &it->second;
    };
    Api("GET", Platform(R"(/snapshot/changelists/(\d+_\d+))"),
        [visible](const Request& req, Response& res) {
            if (!VersionAtLeast(req, res, 1)) return;
            const ChangelistRecord* cl = visible(req.matches[2]);
            if (!cl)
                return SendError(
                    res,
                    ApiError::NotFound("Changelist " + std::string(req.matches[2]) + " not found"));
            json item = {
                {"id", cl->id},       {"job_id", cl->jobId}, {"root_path", cl->rootPath},
                {"snap1", cl->snap1}, {"snap2", cl->snap2},  {"num_entries", cl->source->Size()},
                {"status", "success"}};
            // Readers that expect the collection wrapper and readers that expect the bare object
            // both find what they look for.
            json body = item;
            body["changelists"] = json::array({item});
            SendJson(res, 200, body);
        });
    Api("GET", Platform(R"(/snapshot/changelists/(\d+_\d+)/lins)"),
        [this, visible](const Request& req, Response& res) {
            if (!VersionAtLeast(req, res, 1)) return;
            const std::string key = req.matches[2];
            const ChangelistRecord* cl = visible(key);
            if (!cl) return SendError(res, ApiError::NotFound("Changelist " + key + " not found"));
            uint64_t limit = 0;
            bool resumed = false;
            ResumePoint point;
            if (!PageRequest(req, res, key, options.pageSize, limit, resumed, point)) return;
            if (changelistPageSize != 0)
                limit = changelistPageSize;  // an array that pages as it likes
            uint64_t offset = resumed ? point.position : 0;
            uint64_t total = cl->source->Size();
            if (offset > total) return SendError(res, ApiError::BadRequest("Invalid resume token"));
            const uint64_t count = std::min(limit, total - offset);
            const uint64_t next = offset + count;
            const std::string resume =
                next < total ? EncodeResume({key, limit, next}) : std::string();
            res.status = 200;
            // Moved in rather than copied by set_content: a page is large.
            res.body = LinsPageJson(*cl->source, offset, count, resume, total);
            res.set_header("Content-Type", "application/json");
        });
    Api("DELETE", Platform(R"(/snapshot/changelists/(\d+_\d+))"),
        [this](const Request& req, Response& res) {
            if (!VersionAtLeast(req, res, 1)) return;
            if (changelists.erase(req.matches[2]) == 0) {
                return SendError(
                    res,
                    ApiError::NotFound("Changelist " + std::string(req.matches[2]) + " not found"));
            }
            res.status = 204;
        });
}

}  // namespace arraysim
