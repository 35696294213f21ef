// Texts the agent hands over: scan paths into the auto-mount converter, share
// paths into the path identifier of snapshot names. The first byte picks the
// identifier's delimiter; the whole input is the scan path.
#include <string>

#include "host/FileShareAutoMount.h"
#include "host/GetObjectGuid.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void CheckMountForm(const std::string& scanPath) {
    std::string source, exportName;
    bool noMountForm = true;
    const CRwError result =
        FileShareAutoMount::convertScanToMountFormat(scanPath, source, exportName, noMountForm);
    FUZZ_CHECK(!result.IsError());

    // "host:/path" (not "host://...", which reads as a URL) is a mount source as it is.
    const size_t colon = scanPath.find(':');
    if (colon != std::string::npos && colon > 0 && scanPath.find('/') > colon &&
        scanPath.compare(colon, 2, ":/") == 0 && scanPath.compare(colon, 3, "://") != 0) {
        FUZZ_CHECK(!noMountForm && source == scanPath);
    }
    // So is "[address]:/path" with an IPv6 address (and zone) in the brackets,
    // whatever ":" the address holds; "[address]://..." reads as a URL, as
    // "host://..." does.
    const size_t close = scanPath.find("]:/");
    if (!scanPath.empty() && scanPath[0] == '[' && close != std::string::npos && close > 1 &&
        scanPath.compare(close, 4, "]://") != 0 &&
        scanPath.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   ":.%-_",
                                   1) == close) {
        FUZZ_CHECK(!noMountForm && source == scanPath && exportName == scanPath.substr(close + 2));
    }
    if (noMountForm) {
        FUZZ_CHECK(source.empty() && exportName.empty());
        return;
    }
    FUZZ_CHECK(!exportName.empty() && exportName[0] == '/');
    FUZZ_CHECK(source.size() > exportName.size() + 1);
    FUZZ_CHECK(source.compare(source.size() - exportName.size(), exportName.size(), exportName) ==
               0);
    FUZZ_CHECK(source[source.size() - exportName.size() - 1] == ':');

    // A mount source is itself a scan path in mount form, and stays as it is.
    std::string again, againExport;
    bool againNoMountForm = true;
    FileShareAutoMount::convertScanToMountFormat(source, again, againExport, againNoMountForm);
    FUZZ_CHECK(!againNoMountForm);
    FUZZ_CHECK(again == source && againExport == exportName);
}

void CheckGuid(const std::string& path, int delimiter) {
    std::string id = "stale";
    const bool ok = GetObjectGuid(path, 0, delimiter, id);
    if (delimiter <= 0 || delimiter > 127) {
        FUZZ_CHECK(!ok && id.empty());
        return;
    }
    FUZZ_CHECK(ok && id.size() == 32);
    FUZZ_CHECK(id.find_first_not_of("0123456789abcdef") == std::string::npos);
    if (path.empty()) return;

    // Trailing and repeated delimiters name the same path.
    const char d = static_cast<char>(delimiter);
    std::string doubled;
    for (char c : path) {
        doubled.push_back(c);
        if (c == d) doubled.push_back(c);
    }
    doubled.push_back(d);
    std::string other;
    FUZZ_CHECK(GetObjectGuid(doubled, 0, delimiter, other) && other == id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckMountForm(text);
    if (size == 0) return 0;
    // Mostly "/", sometimes another delimiter, valid or not.
    static constexpr int kOthers[16] = {'\\', ':', '.', 'a', ' ',  '\t', 1,   127,
                                        0,    -1,  128, 255, -128, 47,   '*', '\n'};
    const int delimiter = data[0] < 0xF0 ? '/' : kOthers[data[0] - 0xF0];
    CheckGuid(text.substr(1), delimiter);
    return 0;
}
