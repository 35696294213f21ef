// Resume tokens of paged lists. Opaque to clients (hex text, safe in a URL); they carry the
// list they belong to, the page size of the first request and where the next page starts.
#pragma once

#include <cstdint>
#include <string>

namespace arraysim {

struct ResumePoint {
    std::string list;  // "snapshots", or the changelist id "B_I"
    uint64_t limit = 0;
    uint64_t position = 0;  // list-specific: last snapshot id served, or next entry index
};

std::string EncodeResume(const ResumePoint& point);
bool DecodeResume(const std::string& token, ResumePoint& point);

}  // namespace arraysim
