// Mapping between the array's "/ifs/..." paths and the local directory standing for /ifs.
#pragma once

#include <string>

namespace arraysim {

// Canonical form of an array path: "/ifs" or "/ifs/a/b", no repeated or trailing "/".
// Returns false when the path is not below /ifs or has "." or ".." components.
bool NormalizeIfsPath(const std::string& path, std::string& normalized);

// Local path of a normalized array path under `root`.
std::string IfsToLocal(const std::string& root, const std::string& normalizedIfsPath);

}  // namespace arraysim
