#include "snapclient/ExportPath.h"

namespace snapclient {

std::string ExportPathOfMountSource(const std::string& source) {
    std::string::size_type start = 0;
    const std::string::size_type bracketEnd = source.find("]:");
    if (!source.empty() && source[0] == '[' && bracketEnd != std::string::npos) {
        start = bracketEnd + 2;
    } else {
        const std::string::size_type colon = source.find(':');
        if (colon != std::string::npos) start = colon + 1;
    }
    return FoldRepeatedDelimiters(source.substr(start));
}

std::string FoldRepeatedDelimiters(const std::string& path) {
    std::string folded;
    folded.reserve(path.size());
    for (const char c : path) {
        if (c == '/' && !folded.empty() && folded.back() == '/') continue;
        folded.push_back(c);
    }
    return folded;
}

bool HasDotComponent(const std::string& path) {
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = path.find('/', start);
        const std::string component =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (component == "." || component == "..") return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

}  // namespace snapclient
