// Path identifiers for snapshot names: the same path must give the same id in
// every process and on every host, so the hash is a fixed, seedless XXH3.
#include "host/GetObjectGuid.h"

#include <cstdio>

#include <xxhash.h>

namespace {

std::string Canonical(const std::string& path, char delimiter) {
    std::string canonical;
    canonical.reserve(path.size());
    for (char c : path) {
        if (c == delimiter && !canonical.empty() && canonical.back() == delimiter) continue;
        canonical.push_back(c);
    }
    // A trailing delimiter names the same directory; the root stays itself.
    if (canonical.size() > 1 && canonical.back() == delimiter) canonical.pop_back();
    return canonical;
}

}  // namespace

extern "C" bool GetObjectGuid(const std::string& path, int /*flags*/, int delimiter,
                              std::string& id) {
    id.clear();
    if (delimiter <= 0 || delimiter > 127) return false;
    const std::string canonical = Canonical(path, static_cast<char>(delimiter));
    const XXH128_hash_t hash = XXH3_128bits(canonical.data(), canonical.size());
    char text[33];
    snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
             static_cast<unsigned long long>(hash.low64));
    id.assign(text, 32);
    return true;
}
