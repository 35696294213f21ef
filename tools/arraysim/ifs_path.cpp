#include "tools/arraysim/ifs_path.h"

#include <sstream>
#include <vector>

namespace arraysim {

bool NormalizeIfsPath(const std::string& path, std::string& normalized) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(path);
    if (path.empty() || path[0] != '/') return false;
    while (std::getline(in, part, '/')) {
        if (part.empty()) continue;
        if (part == "." || part == "..") return false;
        parts.push_back(part);
    }
    if (parts.empty() || parts[0] != "ifs") return false;
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    normalized = out;
    return true;
}

std::string IfsToLocal(const std::string& root, const std::string& normalizedIfsPath) {
    std::string base = root;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + normalizedIfsPath.substr(4);  // drop "/ifs"
}

}  // namespace arraysim
