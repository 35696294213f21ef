// The emulator over HTTP: authentication, snapshots, jobs, changelists, errors, faults, TLS.
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "tests/arraysim/sim_harness.h"
#include "tests/support/test_certificates.h"

namespace arraysim_test {
namespace {

namespace fs = std::filesystem;

const char kUnauthorized[] = R"({"errors":[{"message":"authorization required"}]})";

std::string Code(const Reply& r) {
    json j = r.Json();
    if (!j.is_object() || !j.contains("errors") || !j["errors"][0].contains("code")) return "";
    return j["errors"][0]["code"];
}

struct Login {
    std::string sessionId, csrf;
};

Login LogIn(SimHarness& h) {
    Reply r = h.Call("POST", "/session/1/session",
                     R"({"username":"tester","password":"pa ss:word","services":["platform"]})", {},
                     false);
    EXPECT_EQ(r.status, 201) << r.body;
    Login out;
    for (const auto& [k, v] : r.headers) {
        if (k != "Set-Cookie") continue;
        std::string pair = v.substr(0, v.find(';'));
        std::string name = pair.substr(0, pair.find('=')), value = pair.substr(pair.find('=') + 1);
        if (name == "isisessid") out.sessionId = value;
        if (name == "isicsrf") out.csrf = value;
    }
    EXPECT_FALSE(out.sessionId.empty());
    EXPECT_FALSE(out.csrf.empty());
    return out;
}

httplib::Headers SessionHeaders(const Login& l, const std::string& url) {
    return {{"Cookie", "isisessid=" + l.sessionId + "; isicsrf=" + l.csrf},
            {"X-CSRF-Token", l.csrf},
            {"Referer", url}};
}

TEST(ArraySimServer, Authentication) {
    SimHarness h;
    Login login = LogIn(h);
    const std::string url = h.Sim().Url();
    const std::string cookie = "isisessid=" + login.sessionId;
    struct Case {
        const char* name;
        httplib::Headers headers;
        bool basic;
        int status;
    };
    const Case kCases[] = {
        {"nothing", {}, false, 401},
        {"basic", {}, true, 200},
        {"wrong basic", {{"Authorization", "Basic dGVzdGVyOm5vcGU="}}, false, 401},
        {"garbled basic", {{"Authorization", "Basic !!!"}}, false, 401},
        {"session", SessionHeaders(login, url), false, 200},
        {"session with Origin only",
         {{"Cookie", cookie}, {"X-CSRF-Token", login.csrf}, {"Origin", url}},
         false,
         200},
        {"session without CSRF token", {{"Cookie", cookie}, {"Referer", url}}, false, 401},
        {"session with wrong CSRF token",
         {{"Cookie", cookie}, {"X-CSRF-Token", "x"}, {"Referer", url}},
         false,
         401},
        {"session without Referer or Origin",
         {{"Cookie", cookie}, {"X-CSRF-Token", login.csrf}},
         false,
         401},
        {"unknown session",
         {{"Cookie", "isisessid=feed"}, {"X-CSRF-Token", login.csrf}, {"Referer", url}},
         false,
         401},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Reply r = h.Call("GET", "/platform/1/cluster/config", "", c.headers, c.basic);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (c.status == 401) {
            EXPECT_EQ(r.body, kUnauthorized);
        }
    }

    // Bad logins.
    EXPECT_EQ(h.Call("POST", "/session/1/session",
                     R"({"username":"tester","password":"no","services":["platform"]})", {}, false)
                  .status,
              401);
    EXPECT_EQ(h.Call("POST", "/session/1/session", "{not json", {}, false).status, 400);

    // Expiring every session forces a new login; the new one works.
    h.Control({{"expire_sessions", true}});
    EXPECT_EQ(
        h.Call("GET", "/platform/1/cluster/config", "", SessionHeaders(login, url), false).status,
        401);
    Login again = LogIn(h);
    EXPECT_EQ(
        h.Call("GET", "/platform/1/cluster/config", "", SessionHeaders(again, url), false).status,
        200);
    // Logging out ends the session.
    EXPECT_EQ(h.Call("DELETE", "/session/1/session", "", SessionHeaders(again, url), false).status,
              204);
    EXPECT_EQ(
        h.Call("GET", "/platform/1/cluster/config", "", SessionHeaders(again, url), false).status,
        401);
}

TEST(ArraySimServer, IdleSessionsExpire) {
    arraysim::SimOptions o;
    o.sessionIdleSec = 1;
    SimHarness h(o);
    Login login = LogIn(h);
    EXPECT_EQ(
        h.Call("GET", "/platform/1/cluster/config", "", SessionHeaders(login, h.Sim().Url()), false)
            .status,
        200);
    h.Control({{"session_idle_s", 0}});  // every session is now idle for too long
    EXPECT_EQ(
        h.Call("GET", "/platform/1/cluster/config", "", SessionHeaders(login, h.Sim().Url()), false)
            .status,
        401);
}

TEST(ArraySimServer, VersionSettingsAndJobType) {
    arraysim::SimOptions o;
    o.release = "v9.4.0.1";
    o.changelistCreateEnabled = false;
    SimHarness h(o);
    json config = h.Call("GET", "/platform/3/cluster/config").Json();
    EXPECT_EQ(config["onefs_version"]["release"], "v9.4.0.1");
    EXPECT_EQ(config["name"], "cluster1");
    for (const char* key : {"build", "revision", "type", "version"})
        EXPECT_TRUE(config["onefs_version"][key].is_string()) << key;
    EXPECT_TRUE(h.Call("GET", "/platform/1/snapshot/settings")
                    .Json()["settings"]["nfs_subdir_accessible"]
                    .get<bool>());

    const std::string type = "/platform/1/job/types/ChangelistCreate";
    EXPECT_FALSE(h.Call("GET", type).Json()["types"][0]["enabled"].get<bool>());
    EXPECT_EQ(h.Call("PUT", type, R"({"enabled":true})").status, 204);
    json t = h.Call("GET", type).Json()["types"][0];
    EXPECT_TRUE(t["enabled"].get<bool>());
    EXPECT_EQ(t["policy"], "LOW");
    EXPECT_EQ(h.Call("PUT", type, R"({"enabled":"yes"})").status, 400);
    EXPECT_EQ(h.Call("GET", "/platform/1/job/types/Nope").status, 404);
}

TEST(ArraySimServer, UnknownUriGetsHtmlPage) {
    SimHarness h;
    for (const char* path : {"/platform/1/no/such/thing", "/", "/platform/0/cluster/config"}) {
        SCOPED_TRACE(path);
        Reply r = h.Call("GET", path);
        EXPECT_EQ(r.status, 404);
        EXPECT_EQ(r.Header("Content-Type"), "text/html");
        EXPECT_NE(r.body.find("<html>"), std::string::npos);
    }
}

TEST(ArraySimServer, SnapshotsCreateListDelete) {
    SimHarness h;
    fs::create_directories(h.Root() + "/data/x");
    WriteFile(h.Root() + "/data/x/f", "content");
    const std::string list = "/platform/1/snapshot/snapshots";
    std::set<int64_t> ids;
    for (const char* name : {"a", "b", "c d", "e", "f"}) ids.insert(h.Snap(name, "/ifs/data/x/"));
    EXPECT_EQ(ids.size(), 5u);

    // Paging: first ?limit, then ?resume alone.
    std::vector<std::string> names;
    std::vector<size_t> pageSizes;
    Reply r = h.Call("GET", list + "?limit=2");
    for (int guard = 0; guard < 10; ++guard) {
        ASSERT_EQ(r.status, 200) << r.body;
        json j = r.Json();
        EXPECT_EQ(j["total"], 5);
        pageSizes.push_back(j["snapshots"].size());
        for (const auto& s : j["snapshots"]) {
            names.push_back(s["name"]);
            EXPECT_EQ(s["path"], "/ifs/data/x");
            EXPECT_TRUE(s["id"].is_number_integer());
        }
        if (j["resume"].is_null()) break;
        r = h.Call("GET", list + "?resume=" + j["resume"].get<std::string>());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c d", "e", "f"}));
    EXPECT_EQ(pageSizes, (std::vector<size_t>{2, 2, 1}));
    std::string token = h.Call("GET", list + "?limit=2").Json()["resume"];
    EXPECT_EQ(h.Call("GET", list + "?limit=2&resume=" + token).status, 400);
    EXPECT_EQ(h.Call("GET", list + "?resume=zz").status, 400);
    EXPECT_EQ(h.Call("GET", list + "?limit=0").status, 400);
    json all = h.Call("GET", list).Json();
    EXPECT_EQ(all["snapshots"].size(), 5u);
    EXPECT_TRUE(all["resume"].is_null());

    struct Bad {
        const char* name;
        std::string body;
        int status;
        const char* code;
    };
    const Bad kBad[] = {
        {"duplicate name", R"({"name":"a","path":"/ifs/data/x"})", 409, "AEC_CONFLICT"},
        {"missing path", R"({"name":"z","path":"/ifs/data/none"})", 404, "AEC_NOT_FOUND"},
        {"outside /ifs", R"({"name":"z","path":"/etc"})", 400, "AEC_BAD_REQUEST"},
        {"no name", R"({"path":"/ifs/data/x"})", 400, "AEC_ARG_REQUIRED"},
    };
    for (const auto& b : kBad) {
        SCOPED_TRACE(b.name);
        Reply bad = h.Call("POST", list, b.body);
        EXPECT_EQ(bad.status, b.status);
        EXPECT_EQ(Code(bad), b.code);
    }

    // Content is readable under .snapshot and goes away with the snapshot.
    const std::string copy = h.Root() + "/data/x/.snapshot/c d/f";
    EXPECT_EQ(ReadFile(copy), "content");
    EXPECT_EQ(h.Call("DELETE", list + "/c%20d").status, 204);
    EXPECT_FALSE(fs::exists(h.Root() + "/data/x/.snapshot/c d"));
    EXPECT_EQ(h.Call("DELETE", list + "/" + std::to_string(*ids.begin())).status, 204);  // by id
    EXPECT_EQ(Code(h.Call("DELETE", list + "/c%20d")), "AEC_NOT_FOUND");

    // A locked snapshot refuses deletion until unlocked.
    h.Control({{"lock", "b"}});
    EXPECT_TRUE(h.Call("GET", list + "/b").Json()["snapshots"][0]["has_locks"].get<bool>());
    Reply locked = h.Call("DELETE", list + "/b");
    EXPECT_EQ(locked.status, 409);
    EXPECT_FALSE(locked.Json()["errors"][0]["message"].get<std::string>().empty());
    h.Control({{"unlock", "b"}});
    EXPECT_EQ(h.Call("DELETE", list + "/b").status, 204);
}

TEST(ArraySimServer, NoSnapshotDirOption) {
    arraysim::SimOptions o;
    o.snapshotDir = false;
    SimHarness h(o);
    h.Snap("s", "/ifs/data");
    EXPECT_FALSE(fs::exists(h.Root() + "/data/.snapshot"));
    EXPECT_FALSE(h.Call("GET", "/platform/1/snapshot/settings")
                     .Json()["settings"]["nfs_subdir_accessible"]
                     .get<bool>());
}

// Reads a whole changelist through ?limit then ?resume; returns its entries.
json ReadLins(SimHarness& h, const std::string& id, int limit,
              std::vector<size_t>* pages = nullptr) {
    json out = json::array();
    Reply r = h.Call(
        "GET", "/platform/1/snapshot/changelists/" + id + "/lins?limit=" + std::to_string(limit));
    for (int guard = 0; guard < 1000 && r.status == 200; ++guard) {
        json j = r.Json();
        if (pages) pages->push_back(j["lins"].size());
        for (auto& e : j["lins"]) out.push_back(e);
        if (j["resume"].is_null()) return out;
        r = h.Call("GET", "/platform/1/snapshot/changelists/" + id +
                              "/lins?resume=" + j["resume"].get<std::string>());
    }
    ADD_FAILURE() << "paging failed: " << r.status << " " << r.body;
    return out;
}

int64_t StartJob(SimHarness& h, int64_t older, int64_t newer, int expectStatus = 201) {
    json body = {{"type", "ChangelistCreate"},
                 {"changelistcreate_params",
                  {{"older_snapid", older}, {"newer_snapid", newer}, {"retain_repstate", true}}}};
    Reply r = h.Call("POST", "/platform/3/job/jobs", body.dump());
    EXPECT_EQ(r.status, expectStatus) << r.body;
    return r.status == 201 ? r.Json()["id"].get<int64_t>() : 0;
}

std::string JobState(SimHarness& h, int64_t job) {
    return h.Call("GET", "/platform/3/job/jobs/" + std::to_string(job)).Json()["jobs"][0]["state"];
}

TEST(ArraySimServer, ChangelistOverHttp) {
    SimHarness h;
    const std::string d = h.Root() + "/data/share";
    fs::create_directories(d + "/dir");
    WriteFile(d + "/f1", "one");
    WriteFile(d + "/dir/f2", "two");
    for (const auto& e : fs::recursive_directory_iterator(d)) Age(e.path().string());
    Age(d);
    int64_t base = h.Snap("base", "/ifs/data/share");
    int64_t same = h.Snap("same", "/ifs/data/share");
    WriteFile(d + "/f3", "three");
    fs::rename(d + "/f1", d + "/f1.moved");
    fs::remove(d + "/dir/f2");
    int64_t incr = h.Snap("incr", "/ifs/data/share");

    // Creating .snapshot inside the tree is the emulator's business: it shows up as no change.
    StartJob(h, base, same);
    const std::string sameId = std::to_string(base) + "_" + std::to_string(same);
    EXPECT_EQ(h.Call("GET", "/platform/1/snapshot/changelists/" + sameId).Json()["num_entries"], 0);

    const std::string id = std::to_string(base) + "_" + std::to_string(incr);
    EXPECT_EQ(Code(h.Call("GET", "/platform/1/snapshot/changelists/" + id)), "AEC_NOT_FOUND");
    int64_t job = StartJob(h, base, incr);
    EXPECT_EQ(JobState(h, job), "succeeded");
    json cl = h.Call("GET", "/platform/1/snapshot/changelists/" + id).Json();
    EXPECT_EQ(cl["root_path"], "/ifs/data/share");
    EXPECT_EQ(cl["changelists"][0]["snap1"], base);

    std::vector<size_t> pages;
    json lins = ReadLins(h, id, 2, &pages);
    std::vector<std::string> got;
    for (const auto& e : lins) {
        uint64_t lin = std::stoull(e["id"].get<std::string>());
        got.push_back(e["path"].get<std::string>() +
                      ((lin & 0x2000000000000000ULL) ? " removed" : "") + " " +
                      e["type"].get<std::string>());
        EXPECT_TRUE(e["atime"]["sec"].is_number_integer() &&
                    e["mtime"]["nsec"].is_number_integer());
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got,
              (std::vector<std::string>{
                  "/ifs/data/share directory", "/ifs/data/share/dir directory",
                  "/ifs/data/share/dir/f2 removed regular", "/ifs/data/share/f1 removed regular",
                  "/ifs/data/share/f1.moved regular", "/ifs/data/share/f3 regular"}));
    EXPECT_EQ(pages, (std::vector<size_t>{2, 2, 2}));
    EXPECT_EQ(ReadLins(h, id, 1000), lins);  // the default page holds it all

    // A token is bound to its changelist.
    std::string token =
        h.Call("GET", "/platform/1/snapshot/changelists/" + id + "/lins?limit=1").Json()["resume"];
    EXPECT_EQ(h.Call("GET", "/platform/1/snapshot/changelists/" + sameId + "/lins?resume=" + token)
                  .status,
              400);

    EXPECT_EQ(h.Call("DELETE", "/platform/1/snapshot/changelists/" + id).status, 204);
    EXPECT_EQ(h.Call("GET", "/platform/1/snapshot/changelists/" + id + "/lins").status, 404);
}

TEST(ArraySimServer, JobsRunFailAndRefuse) {
    SimHarness h;
    fs::create_directories(h.Root() + "/data/a");
    int64_t s1 = h.Snap("s1", "/ifs/data");
    int64_t s2 = h.Snap("s2", "/ifs/data");
    int64_t other = h.Snap("other", "/ifs/data/a");

    h.Control({{"job_delay_ms", 600000}});
    int64_t running = StartJob(h, s1, s2);
    EXPECT_EQ(JobState(h, running), "running");
    EXPECT_EQ(h.Call("GET", "/platform/1/snapshot/changelists/1_2/lins").status, 404);

    h.Control({{"job_delay_ms", 0}, {"fail_next_jobs", 1}});
    EXPECT_EQ(h.Call("DELETE", "/platform/1/snapshot/changelists/1_2").status, 204);
    int64_t failed = StartJob(h, s1, s2);
    EXPECT_EQ(JobState(h, failed), "failed");
    EXPECT_EQ(h.Call("GET", "/platform/1/snapshot/changelists/1_2").status, 404);
    EXPECT_EQ(JobState(h, StartJob(h, s1, s2)), "succeeded");

    StartJob(h, s1, other, 400);  // different root paths
    StartJob(h, s2, s1, 400);     // wrong order
    StartJob(h, s1, 99, 404);     // no such snapshot
    EXPECT_EQ(h.Call("GET", "/platform/3/job/jobs/12345").status, 404);
    h.Control({{"changelist_create_enabled", false}});
    StartJob(h, s1, s2, 400);
}

TEST(ArraySimServer, InjectedFaults) {
    SimHarness h;
    const std::string config = "/platform/1/cluster/config";
    struct Case {
        const char* name;
        json rule;
        int status;  // -1: no answer at all
        const char* contentType;
        bool jsonBody;
    };
    const Case kCases[] = {
        {"error",
         {{"action", "error"}, {"status", 503}, {"code", "AEC_SERVICE_UNAVAILABLE"}},
         503,
         "application/json",
         true},
        {"html", {{"action", "html"}, {"status", 502}}, 502, "text/html", false},
        {"drop", {{"action", "drop"}}, -1, "", false},
        {"truncate", {{"action", "truncate"}}, -1, "", false},
        {"malformed", {{"action", "malformed"}}, 200, "application/json", false},
        {"delay", {{"action", "delay"}, {"delay_ms", 5}}, 200, "application/json", true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        json rule = c.rule;
        rule["path"] = config;
        std::string error;
        ASSERT_TRUE(h.Sim().AddFaults(rule, error)) << error;
        Reply r = h.Call("GET", config);
        EXPECT_EQ(r.status, c.status);
        if (c.status > 0) {
            EXPECT_EQ(r.Header("Content-Type"), c.contentType);
            EXPECT_EQ(!r.Json().is_discarded(), c.jsonBody) << r.body;
        }
        EXPECT_EQ(h.Call("GET", config).status, 200) << "a count-1 fault fires once";
    }
    EXPECT_EQ(Code(h.Call("GET", "/platform/1/snapshot/settings")), "") << "other paths untouched";

    // skip + count: requests 2 and 3 fail, the rest pass.
    Reply added = h.Call(
        "POST", "/arraysim/faults",
        R"({"rules":[{"method":"GET","path":"/platform/1/snapshot/settings","skip":1,"count":2,"action":"error","status":500}]})",
        {}, false);
    EXPECT_EQ(added.status, 201);
    std::vector<int> statuses;
    for (int i = 0; i < 4; ++i)
        statuses.push_back(h.Call("GET", "/platform/1/snapshot/settings").status);
    EXPECT_EQ(statuses, (std::vector<int>{200, 500, 500, 200}));
    EXPECT_EQ(h.Call("POST", "/arraysim/faults", R"({"action":"explode"})", {}, false).status, 400);
    EXPECT_EQ(h.Call("GET", "/arraysim/faults", "", {}, false).Json()["rules"].size(), 7u);
    EXPECT_EQ(h.Call("DELETE", "/arraysim/faults", "", {}, false).status, 204);
    EXPECT_EQ(h.Call("GET", "/arraysim/requests", "", {}, false).Json()["requests"].back()["path"],
              "/platform/1/snapshot/settings");
}

TEST(ArraySimServer, HostileFaults) {
    SimHarness h;
    const std::string config = "/platform/1/cluster/config";
    const std::string normal = h.Call("GET", config).body;
    std::string error;

    // Bytes no JSON text can carry reach the client as they are.
    ASSERT_TRUE(h.Sim().AddFaults(
        {{"path", config}, {"action", "body"}, {"body_hex", "7b2261223a2263e9227d"}}, error))
        << error;
    Reply raw = h.Call("GET", config);
    EXPECT_EQ(raw.status, 200);
    EXPECT_EQ(raw.body, "{\"a\":\"c\xe9\"}");

    // A trickled answer is the whole answer, only slow.
    ASSERT_TRUE(h.Sim().AddFaults(
        {{"path", config}, {"action", "trickle"}, {"chunk_bytes", 64}, {"interval_ms", 1}}, error))
        << error;
    Reply trickled = h.Call("GET", config);
    EXPECT_EQ(trickled.status, 200);
    EXPECT_EQ(trickled.body, normal);

    // Tokens handed out in turn; a forged one leads back to the first page.
    const std::string list = "/platform/1/snapshot/snapshots";
    ASSERT_TRUE(h.Sim().AddFaults(
        {{"path", list}, {"action", "resume_cycle"}, {"count", -1}, {"tokens", {"a", "b"}}}, error))
        << error;
    std::vector<std::string> tokens;
    std::string next = list + "?limit=5";
    for (int i = 0; i < 3; ++i) {
        Reply page = h.Call("GET", next);
        ASSERT_EQ(page.status, 200) << page.body;
        tokens.push_back(page.Json()["resume"]);
        next = list + "?resume=" + tokens.back();
    }
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_EQ(h.Call("GET", list + "?resume=zz").status, 400) << "other tokens are still checked";

    struct Bad {
        const char* name;
        json rule;
    };
    const Bad kBad[] = {
        {"cycle without tokens", {{"action", "resume_cycle"}}},
        {"cycle with an empty token", {{"action", "resume_cycle"}, {"tokens", {""}}}},
        {"trickle of nothing", {{"action", "trickle"}, {"chunk_bytes", 0}}},
        {"odd hex", {{"action", "body"}, {"body_hex", "7b2"}}},
        {"not hex", {{"action", "body"}, {"body_hex", "zz"}}},
    };
    for (const Bad& b : kBad) {
        SCOPED_TRACE(b.name);
        EXPECT_FALSE(h.Sim().AddFaults(b.rule, error));
        EXPECT_EQ(h.Call("POST", "/arraysim/faults", b.rule.dump(), {}, false).status, 400);
    }
}

TEST(ArraySimServer, NamesThatAreNotUtf8InAnswers) {
    SimHarness h;
    // The error answer names the snapshot asked for, bytes and all, as the array does.
    Reply missing = h.Call("GET", "/platform/1/snapshot/snapshots/caf%E9");
    EXPECT_EQ(missing.status, 404);
    EXPECT_NE(missing.body.find("caf\xe9"), std::string::npos) << missing.body;
}

TEST(ArraySimServer, SessionFaults) {
    SimHarness h;
    const std::string config = "/platform/1/cluster/config";
    Login login = LogIn(h);
    std::string error;
    ASSERT_TRUE(h.Sim().AddFaults({{"path", config}, {"action", "rotate_session"}}, error))
        << error;
    Reply rotated = h.Call("GET", config, "", SessionHeaders(login, h.Sim().Url()), false);
    EXPECT_EQ(rotated.status, 200);
    std::string cookie = rotated.Header("Set-Cookie");
    ASSERT_EQ(cookie.rfind("isisessid=", 0), 0u) << cookie;
    Login fresh{cookie.substr(10, cookie.find(';') - 10), login.csrf};
    EXPECT_NE(fresh.sessionId, login.sessionId);
    EXPECT_EQ(h.Call("GET", config, "", SessionHeaders(login, h.Sim().Url()), false).status, 401);
    EXPECT_EQ(h.Call("GET", config, "", SessionHeaders(fresh, h.Sim().Url()), false).status, 200);

    ASSERT_TRUE(h.Sim().AddFaults({{"path", config}, {"action", "expire_sessions"}}, error))
        << error;
    EXPECT_EQ(h.Call("GET", config, "", SessionHeaders(fresh, h.Sim().Url()), false).status, 401);
}

TEST(ArraySimServer, SyntheticChangelistPairs) {
    arraysim::SimOptions o;
    o.synthetic.entries = 2500;
    SimHarness h(o);
    json snaps = h.Call("GET", "/platform/1/snapshot/snapshots").Json()["snapshots"];
    ASSERT_EQ(snaps.size(), 2u);
    int64_t job = StartJob(h, snaps[0]["id"], snaps[1]["id"]);
    EXPECT_EQ(JobState(h, job), "succeeded");
    std::vector<size_t> pages;
    EXPECT_EQ(ReadLins(h, "1_2", 1000, &pages).size(), 2500u);
    EXPECT_EQ(pages, (std::vector<size_t>{1000, 1000, 500}));
}

TEST(ArraySimServer, Tls) {
    TempDir certs;
    ASSERT_TRUE(snapscan_test::MakeTestCertificates(certs.Path()).ok);
    arraysim::SimOptions o;
    o.certFile = certs.Path() + "/server.pem";
    o.keyFile = certs.Path() + "/server.key";
    SimHarness h(o);
    ASSERT_EQ(h.Sim().Url().rfind("https://", 0), 0u);
    struct Case {
        const char* name;
        std::string ca;
        bool ok;
    };
    const Case kCases[] = {{"trusted CA", certs.Path() + "/ca.pem", true},
                           {"other CA", certs.Path() + "/other-ca.pem", false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        httplib::Client client(h.Sim().Url());
        client.set_ca_cert_path(c.ca.c_str());
        client.enable_server_certificate_verification(true);
        client.set_basic_auth("tester", "pa ss:word");
        auto r = client.Get("/platform/1/cluster/config");
        EXPECT_EQ(static_cast<bool>(r), c.ok);
        if (r) {
            EXPECT_EQ(r->status, 200);
        }
    }
    h.SetCaFile(certs.Path() + "/ca.pem");
    Login login = LogIn(h);
    Reply r = h.Call("GET", "/platform/1/cluster/config", "", SessionHeaders(login, h.Sim().Url()),
                     false);
    EXPECT_EQ(r.status, 200);

    arraysim::SimOptions bad = o;
    bad.root = certs.Path();
    bad.certFile = certs.Path() + "/missing.pem";
    arraysim::ArraySim sim(bad);
    std::string error;
    EXPECT_FALSE(sim.Start(error));
    EXPECT_NE(error.find("certificate"), std::string::npos);
}

TEST(ArraySimServer, RefusesNonLoopbackAndBadOptions) {
    struct Case {
        const char* name;
        arraysim::SimOptions options;
    };
    arraysim::SimOptions wide;
    wide.root = "/tmp";
    wide.bind = "0.0.0.0";
    arraysim::SimOptions noRoot;
    arraysim::SimOptions halfTls;
    halfTls.root = "/tmp";
    halfTls.certFile = "/tmp/x.pem";
    const Case kCases[] = {
        {"any address", wide}, {"no root", noRoot}, {"cert without key", halfTls}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        arraysim::ArraySim sim(c.options);
        std::string error;
        EXPECT_FALSE(sim.Start(error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace arraysim_test
