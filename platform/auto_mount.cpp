// The auto-mount converter: the mount source "host:/path" of a scan path given
// either in that form or as an NFS URL; an IPv6 host is written in brackets in
// both.
#include "host/FileShareAutoMount.h"

#include "common/FXString.h"
#include "host/LogWriter.h"

namespace {

bool IsDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "[address]": an IPv6 address in brackets, as mount sources and URLs write
// one, whose own ":" must not be read as the host's end.
bool IsBracketedAddress(const std::string& host) {
    if (host.size() < 3 || host.front() != '[' || host.back() != ']') return false;
    for (size_t i = 1; i + 1 < host.size(); ++i) {
        const char c = host[i];
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                             (c >= 'A' && c <= 'Z') || c == ':' || c == '.' || c == '%' ||
                             c == '-' || c == '_';
        if (!allowed) return false;
    }
    return true;
}

// "host:/path": a non-empty host without "/" before the first ":", or a
// bracketed address before "]:", then an absolute path.
bool SplitHostPath(const std::string& scanPath, std::string& host, std::string& path) {
    const size_t close = scanPath.find("]:/");
    if (!scanPath.empty() && scanPath[0] == '[' && close != std::string::npos &&
        IsBracketedAddress(scanPath.substr(0, close + 1))) {
        host = scanPath.substr(0, close + 1);
        path = scanPath.substr(close + 2);
        return true;
    }
    const size_t colon = scanPath.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    if (scanPath.find('/') < colon) return false;
    if (scanPath.compare(colon + 1, 1, "/") != 0) return false;
    host = scanPath.substr(0, colon);
    path = scanPath.substr(colon + 1);
    return true;
}

// "nfs://host[:port]/path": the port has no place in a mount source.
bool SplitNfsUrl(const std::string& scanPath, std::string& host, std::string& path) {
    static const std::string kScheme = "nfs://";
    if (scanPath.size() < kScheme.size() ||
        FXString::CompareNoCase(scanPath.substr(0, kScheme.size()), kScheme) != 0) {
        return false;
    }
    const size_t slash = scanPath.find('/', kScheme.size());
    if (slash == std::string::npos) return false;
    host = scanPath.substr(kScheme.size(), slash - kScheme.size());
    const size_t colon = host.rfind(':');
    const size_t bracket = host.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket) &&
        IsDigits(host.substr(colon + 1)))
        host.erase(colon);
    if (!host.empty() && host[0] == '[') {
        if (!IsBracketedAddress(host)) return false;
    } else if (host.empty() || host.find(':') != std::string::npos) {
        return false;
    }
    // "nfs://host//path" names the absolute path; the mount source has one "/"
    // before it, so that it cannot read as a URL itself.
    const size_t start = scanPath.find_first_not_of('/', slash);
    path = start == std::string::npos ? "/" : "/" + scanPath.substr(start);
    return true;
}

// A URL has its "://" before any "/"; "host:/a://b" is a path that holds one.
bool IsUrl(const std::string& scanPath) {
    const size_t separator = scanPath.find("://");
    return separator != std::string::npos && scanPath.find('/') > separator;
}

}  // namespace

CRwError FileShareAutoMount::convertScanToMountFormat(const std::string& scanPath,
                                                      std::string& mountSource,
                                                      std::string& exportName, bool& noMountForm) {
    mountSource.clear();
    exportName.clear();
    noMountForm = false;
    std::string host, path;
    if (IsUrl(scanPath) ? SplitNfsUrl(scanPath, host, path) : SplitHostPath(scanPath, host, path)) {
        mountSource = host + ":" + path;
        exportName = path;
        return CRwError::Success();
    }
    noMountForm = true;
    SNAP_LOG(-1, "Scan path [%s] has no mount form (expected host:/path or nfs://host/path)",
             scanPath.c_str());
    return CRwError::Success();
}
