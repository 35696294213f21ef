// The array client's pieces that need no array: reading answers, turning
// failures into code and message, file server addresses, user names.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ManageIsilon.h"
#include "platform/manage_isilon_address.h"
#include "platform/manage_isilon_failure.h"
#include "platform/manage_isilon_json.h"
#include "platform/manage_isilon_rules.h"

namespace {

using arrayjson::ParseChangelistPage;

struct PageCase {
    const char* name;
    const char* body;
    bool ok;
    size_t items;           // when ok
    const char* firstPath;  // when ok and items > 0
    const char* firstInode;
    const char* resume;
    const char* problemPart;  // when !ok
};

constexpr const char* kRoot = "/ifs/data/x";

constexpr PageCase kPageCases[] = {
    {"two entries and a resume token",
     R"({"lins":[{"id":"4300020541","path":"/ifs/data/x/f1","type":"regular","size":6,
        "atime":{"sec":10,"nsec":1},"ctime":{"sec":11,"nsec":2},"mtime":{"sec":12,"nsec":3}},
        {"id":"4300020542","path":"/ifs/data/x/d/f2","type":"directory","size":0}],
        "resume":"tok+/=","total":2})",
     true, 2, "/f1", "4300020541", "tok+/=", nullptr},
    {"the root itself becomes /",
     R"({"lins":[{"id":"2","path":"/ifs/data/x","type":"directory"}],"resume":null})", true, 1, "/",
     "2", "", nullptr},
    {"keys in another order, unknown keys skipped",
     R"({"total":1,"resume":null,"extra":{"a":[1,2,{"b":null}]},
        "lins":[{"mtime":{"nsec":0,"sec":5},"change_types":["x"],"path":"/ifs/data/x/a","id":"7"}]})",
     true, 1, "/a", "7", "", nullptr},
    {"removed entry keeps its inode text and type",
     R"j({"lins":[{"id":"2305843013508661250","path":"/ifs/data/x/old","type":"(REMOVED)"}]})j",
     true, 1, "/old", "2305843013508661250", "", nullptr},
    {"numeric id is taken as its text", R"({"lins":[{"id":4300020541 ,"path":"/ifs/data/x/n"}]})",
     true, 1, "/n", "4300020541", "", nullptr},
    {"escaped path is unescaped", R"({"lins":[{"id":"3","path":"/ifs/data/x/a\"b\u00e9"}]})", true,
     1, "/a\"b\xc3\xa9", "3", "", nullptr},
    {"empty page", R"({"lins":[],"resume":"more"})", true, 0, nullptr, nullptr, "more", nullptr},
    {"path outside the root", R"({"lins":[{"id":"1","path":"/ifs/data/y/f"}]})", false, 0, nullptr,
     nullptr, nullptr, "not below"},
    {"path sharing only a name prefix with the root",
     R"({"lins":[{"id":"1","path":"/ifs/data/xy/f"}]})", false, 0, nullptr, nullptr, nullptr,
     "not below"},
    {"truncated inside a string", R"({"lins":[{"id":"1","path":"/ifs/data/x/f"},{"id":"2","pa)",
     false, 0, nullptr, nullptr, nullptr, "not JSON"},
    {"truncated between entries", R"({"lins":[{"id":"1","path":"/ifs/data/x/f"},)", false, 0,
     nullptr, nullptr, nullptr, ""},
    {"truncated after a value", R"({"lins":[{"id":"1","path":"/ifs/data/x/f"}], "resume":"a")",
     false, 0, nullptr, nullptr, nullptr, ""},
    {"HTML page", "<html><body>Not Found</body></html>", false, 0, nullptr, nullptr, nullptr,
     "HTML"},
    {"empty body", "", false, 0, nullptr, nullptr, nullptr, "empty"},
    {"lins is not an array", R"({"lins":{"id":"1"}})", false, 0, nullptr, nullptr, nullptr,
     "not an array"},
    {"no lins", R"({"resume":null})", false, 0, nullptr, nullptr, nullptr, "no \"lins\""},
    {"entry without path", R"({"lins":[{"id":"1","type":"regular"}]})", false, 0, nullptr, nullptr,
     nullptr, "no \"id\" or no \"path\""},
    {"size of the wrong type", R"({"lins":[{"id":"1","path":"/ifs/data/x/f","size":"6"}]})", false,
     0, nullptr, nullptr, nullptr, "\"size\""},
    {"time of the wrong type",
     R"({"lins":[{"id":"1","path":"/ifs/data/x/f","mtime":{"sec":"x"}}]})", false, 0, nullptr,
     nullptr, nullptr, "\"sec\""},
    {"entry that is not an object", R"({"lins":[17]})", false, 0, nullptr, nullptr, nullptr,
     "not an object"},
    {"resume of the wrong type", R"({"lins":[],"resume":5})", false, 0, nullptr, nullptr, nullptr,
     "resume"},
    {"text after the object", R"({"lins":[]} {"lins":[]})", false, 0, nullptr, nullptr, nullptr,
     "after"},
    {"root that is an array", R"([{"lins":[]}])", false, 0, nullptr, nullptr, nullptr,
     "not a JSON object"},
    // Names that are not UTF-8 come out as the bytes the array sent.
    {"Latin-1 name", "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/caf\xe9\"}],\"resume\":null}",
     true, 1, "/caf\xe9", "1", "", nullptr},
    {"lone continuation bytes",
     "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/\x80\xbf"
     "a\"}]}",
     true, 1,
     "/\x80\xbf"
     "a",
     "1", "", nullptr},
    {"sequence cut short at the end of a string",
     "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/a\xc3\"}]}", true, 1, "/a\xc3", "1", "",
     nullptr},
    {"overlong form and encoded surrogate",
     "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/\xc0\xaf\xed\xa0\x80\"}]}", true, 1,
     "/\xc0\xaf\xed\xa0\x80", "1", "", nullptr},
    {"valid and invalid side by side",
     "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/\xc3\xa9\xe9\\u00e9\\n\"}]}", true, 1,
     "/\xc3\xa9\xe9\xc3\xa9\n", "1", "", nullptr},
    {"marker bytes of the copy already in the name",
     "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/"
     "\xef\xa3\xbf\xef\x9f\xa9\xef\xa3\xbf\xe9\"}]}",
     true, 1, "/\xef\xa3\xbf\xef\x9f\xa9\xef\xa3\xbf\xe9", "1", "", nullptr},
    {"escaped marker beside a Latin-1 byte",
     "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/x/\\uF8FF\\uf7e9\xe9\"}]}", true, 1,
     "/\xef\xa3\xbf\xef\x9f\xa9\xe9", "1", "", nullptr},
    {"Latin-1 resume token and second entry",
     "{\"lins\":[{\"id\":\"2\",\"path\":\"/ifs/data/x/\xfc\"},{\"id\":\"1\",\"path\":\"/ifs/data/x/"
     "a\"}],"
     "\"resume\":\"t\xff\"}",
     true, 2, "/\xfc", "2", "t\xff", nullptr},
    {"time whose seconds are text",
     R"({"lins":[{"id":"1","path":"/ifs/data/x/a","mtime":{"sec":"12","nsec":3}}]})", false, 0,
     nullptr, nullptr, nullptr, "entry 0: \"sec\" is not a whole number"},
    {"time object with a bad field",
     R"({"lins":[{"id":"1","path":"/ifs/data/x/a","ctime":{"sec":12,nsec:3}}]})", false, 0, nullptr,
     nullptr, nullptr, "entry 0: \"ctime\" is malformed"},
    {"Latin-1 path outside the root", "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/y\xe9\"}]}",
     false, 0, nullptr, nullptr, nullptr, "not below"},
    {"byte that is not UTF-8 outside a string", "{\"lins\":[]\xe9}", false, 0, nullptr, nullptr,
     nullptr, "not JSON"},
};

TEST(ChangelistPage, CasesTable) {
    simdjson::ondemand::parser parser;
    // Every case both ways: a page is read the same whichever path it takes.
    for (const PageCase& c : kPageCases) {
        for (bool byteExact : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (byteExact ? " / byte-exact path" : ""));
            std::string body = c.body;
            _IsilonChangeListInfo page;
            page.resumeToken = "previous";
            page.items.resize(5);  // left from an earlier page
            std::string problem;
            bool ok = ParseChangelistPage(parser, body, kRoot, page, problem, byteExact);
            EXPECT_EQ(body, c.body);
            ASSERT_EQ(ok, c.ok) << problem;
            if (!ok) {
                EXPECT_NE(problem.find(c.problemPart), std::string::npos) << problem;
                EXPECT_FALSE(problem.empty());
                EXPECT_TRUE(page.items.empty());
                EXPECT_EQ(page.resumeToken,
                          "previous");  // the caller can ask for the same page again
                continue;
            }
            ASSERT_EQ(page.items.size(), c.items);
            EXPECT_EQ(page.resumeToken, c.resume);
            if (c.items > 0) {
                EXPECT_EQ(page.items.front().path, c.firstPath);
                EXPECT_EQ(page.items.front().inode, c.firstInode);
            }
        }
    }
}

// Every other answer takes names that are not UTF-8 as well: a foreign
// snapshot of a Latin-1 share must not hide the list, nor an error that names
// such a path lose its code.
TEST(OtherAnswers, NamesThatAreNotUtf8) {
    simdjson::ondemand::parser parser;
    std::string problem;
    std::string snapshots =
        "{\"snapshots\":[{\"id\":4,\"name\":\"theirs\xe9\",\"path\":\"/ifs/caf\xe9\"},"
        "{\"id\":5,\"name\":\"TZOP_1_2_3_x\",\"path\":\"/ifs/data\"}],\"resume\":null}";
    std::vector<_IsilonSnapInfo> list;
    std::string resume = "x";
    ASSERT_TRUE(arrayjson::ParseSnapshotPage(parser, snapshots, list, resume, problem)) << problem;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "theirs\xe9");
    EXPECT_EQ(list[0].path, "/ifs/caf\xe9");
    EXPECT_EQ(list[1].name, "TZOP_1_2_3_x");

    std::string error =
        "{\"errors\":[{\"code\":\"AEC_NOT_FOUND\",\"message\":\"Path /ifs/caf\xe9 not found\"}]}";
    const arrayjson::ErrorBody parsed = arrayjson::ParseErrorBody(parser, error);
    EXPECT_TRUE(parsed.isJson);
    EXPECT_EQ(parsed.code, "AEC_NOT_FOUND");
    EXPECT_EQ(parsed.message, "Path /ifs/caf\xe9 not found");

    std::string created = "{\"id\":9,\"name\":\"n\",\"path\":\"/ifs/\x80\"}";
    int id = 0;
    ASSERT_TRUE(arrayjson::ParseCreatedSnapshotId(parser, created, id, problem)) << problem;
    EXPECT_EQ(id, 9);

    std::string changelist = "{\"id\":\"1_2\",\"root_path\":\"/ifs/caf\xe9/\",\"num_entries\":3}";
    std::string root;
    uint64_t entries = 0;
    ASSERT_TRUE(arrayjson::ParseChangelistRoot(parser, changelist, root, problem, &entries))
        << problem;
    EXPECT_EQ(root, "/ifs/caf\xe9");
    EXPECT_EQ(entries, 3u);
    std::string page = "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/caf\xe9/\xe9t\xe9\"}]}";
    _IsilonChangeListInfo items;
    ASSERT_TRUE(ParseChangelistPage(parser, page, root, items, problem)) << problem;
    ASSERT_EQ(items.items.size(), 1u);
    EXPECT_EQ(items.items.front().path, "/\xe9t\xe9");
}

TEST(ChangelistPage, FieldsOfAnEntry) {
    simdjson::ondemand::parser parser;
    std::string body = kPageCases[0].body;
    _IsilonChangeListInfo page;
    std::string problem;
    ASSERT_TRUE(ParseChangelistPage(parser, body, kRoot, page, problem)) << problem;
    const _IsilonChangeListItem& first = page.items.front();
    EXPECT_EQ(first.changeType, "regular");
    EXPECT_EQ(first.size, 6);
    EXPECT_EQ(first.accessTime, 10u);
    EXPECT_EQ(first.changeTime, 11u);
    EXPECT_EQ(first.modifiedTime, 12u);
    const _IsilonChangeListItem& second = page.items.back();
    EXPECT_EQ(second.path, "/d/f2");
    EXPECT_EQ(second.changeType, "directory");
    EXPECT_EQ(second.accessTime, 0u);
}

// Records are reused from page to page: nothing of a longer page may remain.
TEST(ChangelistPage, ReusedRecordsCarryNothingOver) {
    simdjson::ondemand::parser parser;
    _IsilonChangeListInfo page;
    std::string problem;
    std::string full = R"({"lins":[{"id":"1","path":"/ifs/data/x/a","type":"regular","size":9,
        "mtime":{"sec":4}},{"id":"2","path":"/ifs/data/x/b"},{"id":"3","path":"/ifs/data/x/c"}],"resume":"r"})";
    ASSERT_TRUE(ParseChangelistPage(parser, full, kRoot, page, problem)) << problem;
    ASSERT_EQ(page.items.size(), 3u);
    std::string sparse = R"({"lins":[{"id":"8","path":"/ifs/data/x/z"}],"resume":null})";
    ASSERT_TRUE(ParseChangelistPage(parser, sparse, kRoot, page, problem)) << problem;
    ASSERT_EQ(page.items.size(), 1u);
    EXPECT_EQ(page.items.front().inode, "8");
    EXPECT_EQ(page.items.front().changeType, "");
    EXPECT_EQ(page.items.front().size, 0);
    EXPECT_EQ(page.items.front().modifiedTime, 0u);
    EXPECT_TRUE(page.resumeToken.empty());
    ASSERT_TRUE(ParseChangelistPage(parser, full, kRoot, page, problem)) << problem;
    EXPECT_EQ(page.items.size(), 3u);
    EXPECT_EQ(page.items.back().path, "/c");
}

TEST(SnapshotRequestRule, OnlyNonEmptyUtf8PathsAndNamesAreSent) {
    struct Case {
        const char* name;
        std::string path;
        bool sent;
    } cases[] = {
        {"ASCII", "/ifs/data/a b", true},
        {"two-, three- and four-byte forms", "/ifs/caf\xC3\xA9/\xE6\x95\xB0/\xF0\x9F\x98\x80",
         true},
        {"the last code point", "/ifs/\xF4\x8F\xBF\xBF", true},
        {"Latin-1", "/ifs/caf\xE9", false},
        {"overlong slash", "/ifs/\xC0\xAF", false},
        {"overlong three-byte form", "/ifs/\xE0\x80\xAF", false},
        {"surrogate", "/ifs/\xED\xA0\x80", false},
        {"beyond U+10FFFF", "/ifs/\xF4\x90\x80\x80", false},
        {"cut at the end", "/ifs/\xE6\x95", false},
        {"continuation byte alone", "/ifs/\x80", false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string code, message;
        EXPECT_EQ(arrayrules::CheckSnapshotRequest("CreateSnapshot", c.path, "snap", code, message),
                  c.sent);
        if (!c.sent) {
            EXPECT_EQ(code, "INVALID_ARGUMENT");
            // The refused bytes are shown escaped, never raw.
            for (const char ch : message) EXPECT_LT(static_cast<unsigned char>(ch), 0x80);
        }
    }
}

TEST(RelativeToRoot, Cases) {
    struct Case {
        const char* path;
        const char* root;
        const char* relative;  // nullptr: not below
    } cases[] = {
        {"/ifs/a/b", "/ifs/a", "/b"},
        {"/ifs/a", "/ifs/a", "/"},
        {"/ifs/ab", "/ifs/a", nullptr},
        {"/ifs", "/ifs/a", nullptr},
        {"/x/y", "", "/x/y"},
        {"", "/ifs", nullptr},
        // A root with trailing slashes names the same directory.
        {"/ifs/a/b", "/ifs/a/", "/b"},
        {"/ifs/a", "/ifs/a//", "/"},
        {"/ifs/ab", "/ifs/a/", nullptr},
        {"/x", "/", "/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " under " + c.root);
        std::string_view relative;
        bool ok = arrayjson::RelativeToRoot(c.path, c.root, relative);
        ASSERT_EQ(ok, c.relative != nullptr);
        if (ok) {
            EXPECT_EQ(relative, c.relative);
        }
    }
}

TEST(OtherAnswers, SnapshotPage) {
    simdjson::ondemand::parser parser;
    std::string body =
        R"({"snapshots":[{"id":3,"name":"a","path":"/ifs/x","created":100,"state":"active",
        "alias":null,"size":7,"has_locks":false},{"name":"b","id":-4,"path":"/ifs/y"}],"resume":"next","total":9})";
    std::vector<_IsilonSnapInfo> snapshots;
    std::string resume, problem;
    ASSERT_TRUE(arrayjson::ParseSnapshotPage(parser, body, snapshots, resume, problem)) << problem;
    ASSERT_EQ(snapshots.size(), 2u);
    EXPECT_EQ(snapshots[0].id, 3);
    EXPECT_EQ(snapshots[0].name, "a");
    EXPECT_EQ(snapshots[0].path, "/ifs/x");
    EXPECT_EQ(snapshots[0].value3, 100u);
    EXPECT_EQ(snapshots[0].text4, "active");
    EXPECT_EQ(snapshots[0].value7, 7u);
    EXPECT_EQ(snapshots[1].id, -4);
    EXPECT_EQ(resume, "next");

    const char* bad[] = {
        R"({"snapshots":[{"id":"3","name":"a"}]})",         // id as text
        R"({"snapshots":[{"id":4294967296,"name":"a"}]})",  // beyond 32 bits
        R"({"snapshots":[{"id":1}]})",                      // no name
        R"({"snapshot":[]})",                               // no list
        R"({"snapshots":[{"id":1,"name":"a","created":"x"}]})",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        std::string copy = text;
        EXPECT_FALSE(arrayjson::ParseSnapshotPage(parser, copy, snapshots, resume, problem));
        EXPECT_FALSE(problem.empty());
    }
}

TEST(OtherAnswers, VersionJobTypeJobsAndRoot) {
    simdjson::ondemand::parser parser;
    std::string problem;

    std::string config =
        R"j({"name":"cluster1","guid":"x","onefs_version":{"build":"B_8_1_2_0XX(RELEASE)",
        "release":"v8.1.2.0","revision":"576460752303423488","type":"Isilon OneFS","version":"Isilon OneFS v8.1.2.0"}})j";
    _IsilonVersionInfo version;
    ASSERT_TRUE(arrayjson::ParseVersion(parser, config, version, problem)) << problem;
    EXPECT_EQ(version.release, "v8.1.2.0");
    EXPECT_EQ(version.text0, "B_8_1_2_0XX(RELEASE)");
    EXPECT_EQ(version.value0, 576460752303423488ull);
    EXPECT_EQ(version.text1, "Isilon OneFS");
    EXPECT_EQ(version.text2, "Isilon OneFS v8.1.2.0");
    EXPECT_EQ(version.text3, "cluster1");
    std::string noRelease = R"({"onefs_version":{"build":"b"}})";
    EXPECT_FALSE(arrayjson::ParseVersion(parser, noRelease, version, problem));

    std::string types =
        R"({"types":[{"id":"ChangelistCreate","enabled":false,"policy":"LOW","priority":5,
        "schedule":null,"allow_multiple_instances":true}]})";
    _ChangeListCreateJobInfo info;
    ASSERT_TRUE(arrayjson::ParseChangelistJobType(parser, types, info, problem)) << problem;
    EXPECT_FALSE(info.enabled);
    EXPECT_TRUE(info.flag0);
    EXPECT_EQ(info.number0, 5u);
    EXPECT_EQ(info.text0, "LOW");
    for (const char* text :
         {R"({"types":[]})", R"({"types":[{"enabled":"yes"}]})", R"({"types":[{"id":"x"}]})"}) {
        SCOPED_TRACE(text);
        std::string copy = text;
        _ChangeListCreateJobInfo untouched;
        untouched.text0 = "kept";
        EXPECT_FALSE(arrayjson::ParseChangelistJobType(parser, copy, untouched, problem));
        EXPECT_EQ(untouched.text0, "kept");
    }

    std::string job = R"({"id":42})";
    uint64_t jobId = 0;
    ASSERT_TRUE(arrayjson::ParseJobId(parser, job, jobId, problem)) << problem;
    EXPECT_EQ(jobId, 42u);
    std::string negativeJob = R"({"id":-1})";
    EXPECT_FALSE(arrayjson::ParseJobId(parser, negativeJob, jobId, problem));

    std::string jobs = R"({"jobs":[{"id":42,"state":"failed_not_retried","current_phase":2}]})";
    std::string state;
    ASSERT_TRUE(arrayjson::ParseJobState(parser, jobs, state, problem)) << problem;
    EXPECT_EQ(state, "failed_not_retried");

    std::string changelist = R"({"id":"1_2","root_path":"/ifs/data/x/","snap1":1,"snap2":2})";
    std::string root;
    ASSERT_TRUE(arrayjson::ParseChangelistRoot(parser, changelist, root, problem)) << problem;
    EXPECT_EQ(root, "/ifs/data/x");
}

struct FailureCase {
    const char* name;
    CURLcode curl;
    long status;
    const char* body;
    const char* badBody;
    bool login;
    const char* code;
    const char* messagePart;
};

constexpr FailureCase kFailureCases[] = {
    {"refused connection", CURLE_COULDNT_CONNECT, 0, "", "", false, ManageIsilonError::kConnect,
     "could not connect"},
    {"unknown host", CURLE_COULDNT_RESOLVE_HOST, 0, "", "", false, ManageIsilonError::kConnect,
     "resolve"},
    {"certificate refused", CURLE_PEER_FAILED_VERIFICATION, 0, "", "", false,
     ManageIsilonError::kTls, "TLS failed"},
    {"pinned key mismatch", CURLE_SSL_PINNEDPUBKEYNOTMATCH, 0, "", "", false,
     ManageIsilonError::kTls, "TLS failed"},
    {"time-out", CURLE_OPERATION_TIMEDOUT, 0, "", "", false, ManageIsilonError::kTimeout,
     "timed out"},
    {"dropped connection", CURLE_RECV_ERROR, 0, "", "", false, ManageIsilonError::kTransport,
     "transfer failed"},
    {"empty reply", CURLE_GOT_NOTHING, 0, "", "", false, ManageIsilonError::kTransport,
     "transfer failed"},
    {"conflict with code", CURLE_OK, 409,
     R"({"errors":[{"code":"AEC_CONFLICT","message":"Snapshot name a is already in use"}]})", "",
     false, "AEC_CONFLICT", "HTTP 409 AEC_CONFLICT: Snapshot name a is already in use"},
    {"not found as HTML", CURLE_OK, 404, "<html><body>404 Not Found</body></html>", "", false,
     "404", "HTML"},
    {"unauthorized without code", CURLE_OK, 401,
     R"({"errors":[{"message":"authorization required"}]})", "", false, "401",
     "authorization required"},
    {"login refused", CURLE_OK, 401, R"({"errors":[{"message":"authorization required"}]})", "",
     true, ManageIsilonError::kAuth, "refused"},
    {"server error, empty body", CURLE_OK, 500, "", "", false, "500", "empty"},
    {"server error, truncated JSON", CURLE_OK, 500, R"({"errors":[{"code":"AEC_SYS)", "", false,
     "500", "HTTP 500"},
    {"error entry with a mistyped code", CURLE_OK, 503,
     R"({"errors":[{"code":5,"message":"busy"}]})", "", false, "503", "busy"},
    {"unusable success body", CURLE_OK, 200, "{}", "the body has no \"lins\"", false,
     ManageIsilonError::kBadResponse, "unusable body: the body has no \"lins\""},
    {"control characters from the array", CURLE_OK, 400,
     R"({"errors":[{"code":"AEC_BAD_REQUEST","message":"line1\nline2"}]})", "", false,
     "AEC_BAD_REQUEST", "line1\\x0aline2"},
    {"a path that forges a log entry", CURLE_OK, 404,
     R"({"errors":[{"code":"AEC_NOT_FOUND","message":"/ifs/a\n2024-01-01 00:00:00.000 1 1 -1 f:1 forged\\"}]})",
     "", false, "AEC_NOT_FOUND", "/ifs/a\\x0a2024-01-01 00:00:00.000 1 1 -1 f:1 forged\\\\"},
    {"control bytes in the code", CURLE_OK, 400,
     R"({"errors":[{"code":"AEC_X\r\nY","message":"m"}]})", "", false, "AEC_X\\x0d\\x0aY",
     "HTTP 400 AEC_X\\x0d\\x0aY: m"},
};

TEST(Describe, CasesTable) {
    simdjson::ondemand::parser parser;
    for (const FailureCase& c : kFailureCases) {
        SCOPED_TRACE(c.name);
        std::string body = c.body;
        arrayfailure::Outcome outcome;
        outcome.operation = "GetSnapshotList";
        outcome.method = "GET";
        outcome.url = "https://array:8080/platform/1/snapshot/snapshots";
        outcome.curlCode = c.curl;
        outcome.curlDetail = c.curl == CURLE_OK ? "" : "detail from curl";
        outcome.httpStatus = c.status;
        outcome.body = &body;
        outcome.badBody = c.badBody;
        outcome.login = c.login;
        arrayfailure::Failure failure = arrayfailure::Describe(parser, outcome);
        EXPECT_EQ(failure.code, c.code);
        EXPECT_NE(failure.message.find(c.messagePart), std::string::npos) << failure.message;
        EXPECT_EQ(failure.message.rfind(
                      "GetSnapshotList: GET https://array:8080/platform/1/snapshot/snapshots", 0),
                  0u)
            << failure.message;
        if (c.curl != CURLE_OK) {
            EXPECT_NE(failure.message.find("detail from curl"), std::string::npos)
                << failure.message;
        }
    }
}

// Where the array echoes a password, "secret=" precedes it in these bodies: in
// a text made from them, "secret=" may only be followed by the scrubbed mark, a
// cut, or nothing.
bool LeaksAfterMarker(const std::string& text) {
    for (size_t at = text.find("secret="); at != std::string::npos;
         at = text.find("secret=", at + 1)) {
        const std::string rest = text.substr(at + 7, 3);
        if (!rest.empty() && rest != "***" && rest != "...") return true;
    }
    return false;
}

std::string EscapedForm(const std::string& text) {
    return arrayfailure::Excerpt(text, {}, std::string::npos - 8);
}

TEST(Describe, NoPasswordSurvivesInAnyText) {
    const std::string straddling(arrayfailure::kMaxExcerptBytes - 10, 'm');
    const std::string kPasswords[] = {
        "ab",                        // shorter than any sensible length limit
        "tab\tin-the-middle",        // a normalised tab would hide it from scrubbing
        "Pw-7f3c9e1d-not-for-logs",  // long enough to straddle the cut
        "zzzz",                      // overlaps itself in a run of its letters
        "back\\slash",               // escaping would change its form
    };
    struct Body {
        const char* name;
        long status;
        std::string (*make)(const std::string& pw, const std::string& pad);
        bool badBody;
        bool json;    // the password is written JSON-escaped
        bool echoed;  // some of the body shows in the message
    };
    const Body kBodies[] = {
        {"echoed once", 400,
         [](const std::string& pw, const std::string&) {
             return R"({"errors":[{"code":"AEC_BAD_REQUEST","message":"login secret=)" + pw +
                    R"("}]})";
         },
         false, true, true},
        {"straddling the cut", 400,
         [](const std::string& pw, const std::string& pad) {
             return R"({"errors":[{"code":"AEC_BAD_REQUEST","message":")" + pad + "secret=" + pw +
                    R"("}]})";
         },
         false, true, true},
        {"repeated", 500,
         [](const std::string& pw, const std::string&) {
             return R"({"errors":[{"code":"AEC_X","message":"secret=)" + pw + "secret=" + pw + pw +
                    R"( secret=)" + pw + R"("}]})";
         },
         false, true, true},
        {"in the code", 409,
         [](const std::string& pw, const std::string&) {
             return R"({"errors":[{"code":"secret=)" + pw + R"(","message":"m"}]})";
         },
         false, true, true},
        {"HTML page", 500,
         [](const std::string& pw, const std::string& pad) {
             return "<html>" + pad + "secret=" + pw + "</html>";
         },
         false, false, false},
        {"unusable success body", 200,
         [](const std::string& pw, const std::string& pad) {
             return "entry path \"" + pad.substr(12) + "secret=" + pw + "\"";
         },
         true, false, true},
    };
    simdjson::ondemand::parser parser;
    for (const std::string& pw : kPasswords) {
        for (const Body& b : kBodies) {
            SCOPED_TRACE(std::string(b.name) + " / " + EscapedForm(pw));
            // JSON needs the tab and backslash escaped; the answer carries them.
            std::string jsonPw;
            for (char c : pw)
                jsonPw += c == '\t'   ? std::string("\\t")
                          : c == '\\' ? std::string("\\\\")
                                      : std::string(1, c);
            std::string body = b.make(b.json ? jsonPw : pw, straddling);
            arrayfailure::Outcome outcome;
            outcome.operation = "GetVersionInfo";
            outcome.method = "GET";
            outcome.url = "https://array:8080/platform/1/cluster/config";
            outcome.httpStatus = b.status;
            outcome.body = &body;
            if (b.badBody) outcome.badBody = body;
            outcome.secrets = {pw, "csrf-token-value", ""};
            const arrayfailure::Failure failure = arrayfailure::Describe(parser, outcome);
            for (const std::string* text : {&failure.code, &failure.message}) {
                EXPECT_FALSE(LeaksAfterMarker(*text)) << *text;
                if (pw.size() >= 4) {
                    EXPECT_EQ(text->find(pw), std::string::npos) << *text;
                    EXPECT_EQ(text->find(EscapedForm(pw)), std::string::npos) << *text;
                }
                EXPECT_EQ(text->find('\n'), std::string::npos) << *text;
            }
            EXPECT_LE(failure.code.size(), arrayfailure::kMaxCodeBytes + 3);
            if (b.echoed) {
                EXPECT_NE(failure.message.find("secret=***"), std::string::npos) << failure.message;
            }
        }
    }
}

TEST(Describe, ExcerptsAreShortEscapedAndCutBetweenEscapes) {
    struct Case {
        const char* name;
        std::string text;
        size_t max;
        std::string expected;
    };
    const Case kCases[] = {
        {"fits", "plain", 10, "plain"},
        {"cut", "abcdefghij", 4, "abcd..."},
        {"escape not split",
         std::string("ab\x01"
                     "cd"),
         4, "ab..."},
        {"backslash doubled", "a\\b", 10, "a\\\\b"},
        {"DEL", "\x7f", 10, "\\x7f"},
        {"high bytes kept", "caf\xe9", 10, "caf\xe9"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(arrayfailure::Excerpt(c.text, {}, c.max), c.expected);
    }
    // Scrubbed before the cut: a secret across the cut leaves no piece behind.
    EXPECT_EQ(arrayfailure::Excerpt("xx hunter2 yy", {"hunter2"}, 5), "xx **...");
    EXPECT_EQ(arrayfailure::Excerpt("a\tb", {"a\tb"}, 10), "***");
    EXPECT_EQ(arrayfailure::Excerpt("ab", {"ab"}, 10), "***");
}

TEST(Describe, SecretsAreScrubbed) {
    EXPECT_EQ(arrayfailure::ScrubSecrets("a hunter22 b hunter22", {"hunter22", ""}), "a *** b ***");
    EXPECT_EQ(arrayfailure::ScrubSecrets("abc", {"abc"}), "abc");  // too short to tell from text
    EXPECT_EQ(arrayfailure::ScrubSecrets("xxxxxxxx", {"xxxx"}), "******");
}

TEST(Address, CasesTable) {
    struct Case {
        const char* fileServer;
        const char* baseUrl;  // nullptr: refused
    } cases[] = {
        {"array", "https://array:8080"},
        {"array.example.com:8443", "https://array.example.com:8443"},
        {" array:1 ", "https://array:1"},
        {"10.0.0.1", "https://10.0.0.1:8080"},
        {"[fe80::1]:9000", "https://[fe80::1]:9000"},
        {"fe80::1", "https://[fe80::1]:8080"},
        {"http://127.0.0.1:5000", "http://127.0.0.1:5000"},
        {"https://array/", "https://array:8080"},
        {"", nullptr},
        {"array:0", nullptr},
        {"array:65536", nullptr},
        {"array:80x", nullptr},
        {"array:", nullptr},
        {"user:pw@array", nullptr},
        {"array/path", nullptr},
        {"[fe80::1", nullptr},
        {"[fe80::1]x", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileServer);
        arrayaddress::Address address;
        std::string problem;
        bool ok = arrayaddress::Parse(c.fileServer, address, problem);
        ASSERT_EQ(ok, c.baseUrl != nullptr) << problem;
        if (ok) {
            EXPECT_EQ(address.baseUrl, c.baseUrl);
            EXPECT_EQ(address.plainHttp, std::string(c.baseUrl).rfind("http:", 0) == 0);
        } else {
            EXPECT_FALSE(problem.empty());
        }
    }
}

TEST(ManageIsilonLocal, ValidateEscSeq) {
    ManageIsilon array;
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"backup", "backup"},
        {"DOMAIN\\\\user", "DOMAIN\\user"},
        {"DOMAIN\\user", "DOMAIN\\user"},
        {"a\\\\\\\\b", "a\\\\b"},
        {"a\\\\\\b", "a\\\\b"},
        {"trailing\\", "trailing\\"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(array.ValidateEscSeq(c.in), c.out);
    }
    array.SetUser("DOMAIN\\\\user");
    array.SetFileServer("array:8080");
    EXPECT_EQ(array.GetFileServer(), "array:8080");
}

TEST(ManageIsilonLocal, EveryOperationNeedsAConnection) {
    ManageIsilon array;
    std::string code, message;
    std::vector<_IsilonSnapInfo> snapshots;
    int id = 0;
    EXPECT_FALSE(array.GetSnapshotList(snapshots, "", ""));
    array.GetLastError(code, message);
    EXPECT_EQ(code, ManageIsilonError::kNotConnected);
    EXPECT_NE(message.find("GetSnapshotList"), std::string::npos);
    EXPECT_FALSE(array.CreateSnapshot("/ifs/x", "s", id));
    EXPECT_FALSE(array.DeleteSnapshot("Empty", "s", 0));
    std::vector<_IsilonVersionInfo> versions;
    EXPECT_TRUE(array.GetVersionInfo(versions).IsError());
    _ChangeListCreateJobInfo info;
    EXPECT_TRUE(array.GetChangeListJobInfo(info).IsError());
    EXPECT_TRUE(array.SetChangeListJobInfo(info).IsError());
    uint64_t base = 1, incr = 2;
    EXPECT_TRUE(array.CreateSnapshotChangeList(base, incr, true).IsError());
    _IsilonChangeListInfo page;
    EXPECT_TRUE(array.GetSnapshotChangeList(base, incr, page).IsError());
    array.GetLastError(code, message);
    EXPECT_EQ(code, ManageIsilonError::kNotConnected);
}

TEST(ManageIsilonLocal, UnusableFileServerFailsToOpen) {
    ManageIsilon array;
    array.SetFileServer("array:notaport");
    array.SetUser("u");
    array.SetPasswd("p");
    EXPECT_FALSE(array.OpenConnection());
    std::string code, message;
    array.GetLastError(code, message);
    EXPECT_EQ(code, ManageIsilonError::kConnect);
    EXPECT_NE(message.find("array:notaport"), std::string::npos) << message;
}

}  // namespace
