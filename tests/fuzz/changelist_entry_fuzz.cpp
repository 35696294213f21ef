// Changelist entries the array hands over: the path below the share and the
// inode text, as the comparison checks them before storing a row. The input up
// to its first 0xFF byte is the path, the rest the inode text.
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "snapclient/ChangeListEntry.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The path's components after its leading "/", split without the checker's help.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/')
            parts.emplace_back();
        else
            parts.back().push_back(path[i]);
    }
    return parts;
}

bool ExpectedBelowRoot(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    if (path == "/") return true;
    for (const std::string& part : Components(path)) {
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos)
            return false;
    }
    return true;
}

// The share's path joined with an accepted entry path, resolved the way a file
// system would: it must stay the share or below it, and read as written.
void CheckJoined(const std::string& path) {
    const std::string share = "/mnt/share";
    const std::string joined = share + path;
    std::vector<std::string> resolved;
    for (const std::string& part : Components(joined)) {
        if (part.empty() || part == ".") continue;
        FUZZ_CHECK(part != "..");  // an accepted path has no way up
        resolved.push_back(part);
    }
    std::string normal;
    for (const std::string& part : resolved) normal += "/" + part;
    FUZZ_CHECK(normal.compare(0, share.size(), share) == 0);
    FUZZ_CHECK(normal.size() == share.size() || normal[share.size()] == '/');
    FUZZ_CHECK(normal == joined || (path == "/" && normal + "/" == joined));
}

bool ExpectedInode(const std::string& text, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE || end != text.c_str() + text.size()) return false;
    value = parsed;
    return true;
}

bool IsPrintable(const std::string& text) {
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\xFF');
    const std::string path = input.substr(0, split);
    const std::string inodeText = split == std::string::npos ? "" : input.substr(split + 1);

    const bool below = snapclient::IsPathBelowShareRoot(path);
    FUZZ_CHECK(below == ExpectedBelowRoot(path));
    if (below) CheckJoined(path);

    uint64_t value = 12345;
    uint64_t expected = 0;
    const bool parsed = snapclient::ParseInodeText(inodeText, value);
    FUZZ_CHECK(parsed == ExpectedInode(inodeText, expected));
    if (parsed) {
        FUZZ_CHECK(value == expected);
    } else {
        FUZZ_CHECK(value == 12345);  // untouched
    }

    uint64_t inode = 0;
    std::string problem;
    const bool accepted = snapclient::CheckChangeListEntry(path, inodeText, inode, problem);
    FUZZ_CHECK(accepted == (below && parsed));
    if (accepted) {
        FUZZ_CHECK(problem.empty() && inode == value);
    } else {
        FUZZ_CHECK(!problem.empty() && IsPrintable(problem));
    }
    FUZZ_CHECK(IsPrintable(snapclient::Printable(input)));
    return 0;
}
