// Path operations on "/"-delimited byte strings. Paths are compared by
// component, so repeated and trailing delimiters never change a result.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/FXPath.h"
#include "host/FXErrorUtil.h"

namespace {

struct SplitPath {
    bool absolute = false;
    std::vector<std::string> components;
};

SplitPath Split(const std::string& path) {
    SplitPath split;
    split.absolute = !path.empty() && path[0] == '/';
    size_t at = 0;
    while (at < path.size()) {
        const size_t end = path.find('/', at);
        const size_t stop = end == std::string::npos ? path.size() : end;
        if (stop > at) split.components.push_back(path.substr(at, stop - at));
        at = stop + 1;
    }
    return split;
}

}  // namespace

namespace FXPath {

CRwError Append(std::string& path, const std::string& part, uint32_t /*flags*/) {
    if (part.empty()) return CRwError::Success();
    if (path.empty()) {
        path = part;
        return CRwError::Success();
    }
    size_t keep = path.size();
    while (keep > 0 && path[keep - 1] == '/') --keep;
    size_t skip = 0;
    while (skip < part.size() && part[skip] == '/') ++skip;
    path.erase(keep);
    path += '/';
    path.append(part, skip, std::string::npos);
    return CRwError::Success();
}

bool IsAncestorOf(const std::string& ancestor, const std::string& path, bool orSelf) {
    if (ancestor.empty() || path.empty()) return false;
    const SplitPath a = Split(ancestor);
    const SplitPath p = Split(path);
    if (a.absolute != p.absolute) return false;
    if (a.components.size() > p.components.size()) return false;
    if (a.components.size() == p.components.size() && !orSelf) return false;
    for (size_t i = 0; i < a.components.size(); ++i) {
        if (a.components[i] != p.components[i]) return false;
    }
    return true;
}

CRwError DoesPathExist(const std::string& path, bool& exists) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        exists = true;
        return CRwError::Success();
    }
    const int reason = errno;
    exists = false;
    return FXErrorUtil::ErrorWin32(FX_HERE, 1627, "Path [%s] cannot be reached: %s", path.c_str(),
                                   strerror(reason));
}

CRwError RemovePathFromFileName(std::string& path, const std::string& leading) {
    if (!IsAncestorOf(leading, path, true)) {
        return FXErrorUtil::ErrorWin32(FX_HERE, 160, "Path [%s] is not below [%s]", path.c_str(),
                                       leading.c_str());
    }
    // Walk past the leading components in the original text so that what remains
    // keeps its own spelling.
    size_t at = 0;
    for (const std::string& component : Split(leading).components) {
        while (at < path.size() && path[at] == '/') ++at;
        at += component.size();
    }
    while (at < path.size() && path[at] == '/') ++at;
    path.erase(0, at);
    return CRwError::Success();
}

}  // namespace FXPath
