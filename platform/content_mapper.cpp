// The agent's content mapper: a prefix map from content paths to read paths.
#include "host/ContentMapper.h"

namespace {

// A key names a directory with a trailing "/"; compare without it so that the
// directory itself matches too. The root keeps its one "/".
std::string KeyDirectory(const std::string& key) {
    size_t end = key.size();
    while (end > 1 && key[end - 1] == '/') --end;
    return key.substr(0, end);
}

bool IsAtOrBelow(const std::string& path, const std::string& directory) {
    if (directory.empty()) return false;
    if (path.compare(0, directory.size(), directory) != 0) return false;
    if (path.size() == directory.size()) return true;
    return directory.back() == '/' || path[directory.size()] == '/';
}

}  // namespace

ContentMapperAPI::~ContentMapperAPI() = default;

CContentMapper::CContentMapper() = default;

CContentMapper::~CContentMapper() = default;

CRwError CContentMapper::SetPathMap(std::map<std::string, std::string>& pathMap) {
    m_pathMap = pathMap;
    return CRwError::Success();
}

std::string CContentMapper::MapPath(const std::string& path) const {
    const std::pair<const std::string, std::string>* best = nullptr;
    size_t bestLength = 0;
    for (const auto& entry : m_pathMap) {
        const std::string directory = KeyDirectory(entry.first);
        if (IsAtOrBelow(path, directory) && (best == nullptr || directory.size() > bestLength)) {
            best = &entry;
            bestLength = directory.size();
        }
    }
    if (best == nullptr) return path;

    std::string rest = path.substr(bestLength);
    std::string mapped = best->second;
    if (rest.empty()) return mapped;
    // Exactly one "/" at the seam, whatever the value and the key end with.
    while (!mapped.empty() && mapped.back() == '/') mapped.pop_back();
    size_t first = 0;
    while (first < rest.size() && rest[first] == '/') ++first;
    if (first == rest.size()) return mapped + "/";
    return mapped + "/" + rest.substr(first);
}
