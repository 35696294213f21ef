#pragma once

// Snapshot names as the client must build them, computed independently of it.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/GetObjectGuid.h"

namespace snapscan_test {

inline std::string PathId(const std::string& path) {
    std::string id;
    GetObjectGuid(path, 0, 47, id);
    return id;
}

inline std::string Prefix(uint32_t clientId, uint32_t subclientId) {
    return "TZOP_" + std::to_string(clientId) + "_" + std::to_string(subclientId) + "_";
}

inline std::string Partial(const std::string& prefix, int64_t jobId) {
    return prefix + std::to_string(static_cast<uint64_t>(jobId)) + "_";
}

inline std::string FullName(const std::string& prefix, int64_t jobId, const std::string& path) {
    return Partial(prefix, jobId) + PathId(path);
}

}  // namespace snapscan_test
