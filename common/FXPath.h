#pragma once

#include <cstdint>
#include <string>

#include "common/CRwError.h"
#include "common/FXString.h"
#include "host/SnapHostExport.h"

// Path operations on "/"-delimited byte strings.
namespace FXPath {

// Joins part to path in place with exactly one "/" between them (delimiters at
// the seam are folded). An empty path becomes part; an empty part leaves path.
// Appending "/" leaves a path that ends in exactly one "/". flags: reserved, 0.
SNAPHOST_API CRwError Append(std::string& path, const std::string& part, uint32_t flags);

// True when path lies below ancestor (component-wise, so /a/bc is not below
// /a/b); with orSelf, also when both name the same directory. Repeated and
// trailing delimiters do not matter; "/" is the ancestor of every absolute path.
SNAPHOST_API bool IsAncestorOf(const std::string& ancestor, const std::string& path, bool orSelf);

// Success with exists=true when the path can be reached (stat succeeds); a
// failure (1627, naming the path and the system's reason) when it cannot.
SNAPHOST_API CRwError DoesPathExist(const std::string& path, bool& exists);

// Removes the leading directory from path, leaving the part below it (without a
// leading "/"). Fails with 160, leaving path unchanged, when path is not below
// leading.
SNAPHOST_API CRwError RemovePathFromFileName(std::string& path, const std::string& leading);

inline bool IsDescendantOf(const std::string& path, const std::string& ancestor, bool orSelf) {
    return IsAncestorOf(ancestor, path, orSelf);
}

inline CRwError AppendTrailingDelimiter(std::string& path) { return Append(path, "/", 0); }

inline CRwError RemoveTrailingDelimiter(std::string& path) {
    FXString::RemoveRight(path, "/");
    return CRwError::Success();
}

}  // namespace FXPath
