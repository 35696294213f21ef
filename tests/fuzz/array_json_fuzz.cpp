// The readers of the array's JSON answers. The first byte picks the reader (and,
// for changelist pages, the root path); the rest is the body. One parser serves
// every input, as one serves every answer of a connection. Changelist pages are
// also read by the path taken for bodies that are not UTF-8, which must agree
// with the direct one, and the input as a name must come back byte for byte.
#include <string>
#include <vector>

#include <simdjson.h>

#include "platform/manage_isilon_json.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool StartsWithSlash(const std::string& text) { return !text.empty() && text[0] == '/'; }

// A page parsed into reused records must come out the same as into fresh ones.
void ChangelistPage(simdjson::ondemand::parser& parser, const std::string& text,
                    std::string_view rootPath) {
    static _IsilonChangeListInfo reused;  // keeps the previous input's nodes
    reused.resumeToken = "previous-token";
    std::string body = text;
    std::string problem;
    const bool ok = arrayjson::ParseChangelistPage(parser, body, rootPath, reused, problem);
    FUZZ_CHECK(body == text);
    if (!ok) {
        FUZZ_CHECK(!problem.empty());
        FUZZ_CHECK(reused.items.empty());
        FUZZ_CHECK(reused.resumeToken == "previous-token");
        return;
    }
    for (const _IsilonChangeListItem& item : reused.items) FUZZ_CHECK(StartsWithSlash(item.path));

    // A fresh record and the byte-exact path both give the same page. The byte-exact reader
    // checks the escapes of every string, also of fields the default reader skips unread, so
    // it may refuse a malformed page the other accepts: then it must say why and keep nothing.
    for (bool byteExact : {false, true}) {
        _IsilonChangeListInfo fresh;
        std::string again = text;
        problem.clear();
        const bool parsed =
            arrayjson::ParseChangelistPage(parser, again, rootPath, fresh, problem, byteExact);
        FUZZ_CHECK(again == text);
        if (byteExact && !parsed) {
            FUZZ_CHECK(!problem.empty());
            FUZZ_CHECK(fresh.items.empty());
            continue;
        }
        FUZZ_CHECK(parsed);
        FUZZ_CHECK(fresh.items.size() == reused.items.size());
        FUZZ_CHECK(fresh.resumeToken == reused.resumeToken);
        auto other = reused.items.begin();
        for (const _IsilonChangeListItem& item : fresh.items) {
            FUZZ_CHECK(item.path == other->path && item.inode == other->inode &&
                       item.changeType == other->changeType && item.size == other->size &&
                       item.accessTime == other->accessTime &&
                       item.modifiedTime == other->modifiedTime &&
                       item.changeTime == other->changeTime);
            ++other;
        }
    }
}

// The input as a file name, written into a page the way the array writes
// names (only the quote, the backslash and control bytes escaped, every other
// byte raw): the entry must carry exactly those bytes, also in the resume token.
void NameAsBytes(simdjson::ondemand::parser& parser, const std::string& name) {
    static const char kHex[] = "0123456789abcdef";
    std::string quoted;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (u < 0x20) {
            quoted += "\\u00";
            quoted += kHex[u >> 4];
            quoted += kHex[u & 0xf];
        } else {
            quoted += c;
        }
    }
    std::string body = "{\"lins\":[{\"id\":\"1\",\"path\":\"/ifs/data/" + quoted +
                       "\"}],\"resume\":\"" + quoted + "\"}";
    _IsilonChangeListInfo page;
    std::string problem;
    FUZZ_CHECK(arrayjson::ParseChangelistPage(parser, body, "/ifs/data", page, problem));
    FUZZ_CHECK(page.items.size() == 1);
    FUZZ_CHECK(page.items.front().path == "/" + name);
    FUZZ_CHECK(page.resumeToken == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    if (size == 0) return 0;
    static simdjson::ondemand::parser parser;
    const uint8_t selector = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string body = text;
    std::string problem;
    bool ok = true;
    if (selector == 0xff) {
        NameAsBytes(parser, text);
        return 0;
    }
    switch (selector % 9) {
        case 0: {
            const arrayjson::ErrorBody error = arrayjson::ParseErrorBody(parser, body);
            FUZZ_CHECK(!error.hasCode || !error.code.empty());
            FUZZ_CHECK(error.isJson || !error.description.empty());
            break;
        }
        case 1: {
            std::vector<_IsilonSnapInfo> snapshots;
            std::string resume;
            ok = arrayjson::ParseSnapshotPage(parser, body, snapshots, resume, problem);
            break;
        }
        case 2: {
            int id = 0;
            ok = arrayjson::ParseCreatedSnapshotId(parser, body, id, problem);
            break;
        }
        case 3: {
            _IsilonVersionInfo version;
            ok = arrayjson::ParseVersion(parser, body, version, problem);
            break;
        }
        case 4: {
            _ChangeListCreateJobInfo info;
            info.text0 = "untouched";
            ok = arrayjson::ParseChangelistJobType(parser, body, info, problem);
            if (!ok) FUZZ_CHECK(info.text0 == "untouched");
            break;
        }
        case 5: {
            uint64_t jobId = 0;
            ok = arrayjson::ParseJobId(parser, body, jobId, problem);
            break;
        }
        case 6: {
            std::string state;
            ok = arrayjson::ParseJobState(parser, body, state, problem);
            break;
        }
        case 7: {
            std::string rootPath;
            ok = arrayjson::ParseChangelistRoot(parser, body, rootPath, problem);
            if (ok) FUZZ_CHECK(rootPath.empty() || rootPath.back() != '/');
            break;
        }
        default: {
            static const char* const kRoots[] = {"/ifs/data", "/ifs", ""};
            ChangelistPage(parser, text, kRoots[(selector / 9) % 3]);
            return 0;
        }
    }
    FUZZ_CHECK(body == text);
    if (!ok) FUZZ_CHECK(!problem.empty());
    return 0;
}
