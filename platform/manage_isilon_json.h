#pragma once

// Reading the array's JSON answers into our records. Every function takes the
// body as a std::string it may grow by simdjson's padding (capacity only, the
// text is unchanged), never throws, and on a bad body returns false with a
// sentence in `problem` saying what is wrong with it.
//
// Strings are byte strings: an answer whose strings hold bytes that are not
// UTF-8 (a Latin-1 file name, a lone continuation byte) is read all the same,
// and every string comes out with exactly the bytes the array sent. Bytes that
// are not UTF-8 outside strings still make the body unusable.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

#include "common/Records.h"

namespace arrayjson {

// The first entry of an error answer {"errors":[{"code":..,"message":..}]}.
struct ErrorBody {
    bool isJson = false;  // the body parsed as an error answer
    bool hasCode = false;
    std::string code;
    std::string message;
    std::string description;  // what the body was, when not an error answer
};
ErrorBody ParseErrorBody(simdjson::ondemand::parser& parser, std::string& body);

// One page of GET /platform/1/snapshot/snapshots: appends the snapshots and sets
// resume (empty when no page follows).
bool ParseSnapshotPage(simdjson::ondemand::parser& parser, std::string& body,
                       std::vector<_IsilonSnapInfo>& snapshots, std::string& resume,
                       std::string& problem);

// The id of the snapshot object that a creation answers with.
bool ParseCreatedSnapshotId(simdjson::ondemand::parser& parser, std::string& body, int& id,
                            std::string& problem);

bool ParseVersion(simdjson::ondemand::parser& parser, std::string& body,
                  _IsilonVersionInfo& version, std::string& problem);

bool ParseChangelistJobType(simdjson::ondemand::parser& parser, std::string& body,
                            _ChangeListCreateJobInfo& info, std::string& problem);

// {"id":N} of a started job.
bool ParseJobId(simdjson::ondemand::parser& parser, std::string& body, uint64_t& jobId,
                std::string& problem);

// "state" of the first entry of {"jobs":[...]}.
bool ParseJobState(simdjson::ondemand::parser& parser, std::string& body, std::string& state,
                   std::string& problem);

// "root_path" of a changelist, without a trailing "/". numEntries, when given,
// receives "num_entries" (kUnknownEntries when the answer has none).
constexpr uint64_t kUnknownEntries = ~uint64_t(0);
bool ParseChangelistRoot(simdjson::ondemand::parser& parser, std::string& body,
                         std::string& rootPath, std::string& problem,
                         uint64_t* numEntries = nullptr);

// One page of .../lins: page.items replaced (their nodes and strings reused),
// paths made relative to rootPath (which has no trailing "/"), resumeToken set
// or cleared. On failure the items are cleared and resumeToken is unchanged.
// byteExactPath reads even a valid UTF-8 body the way a body that is not is
// read; both give the same page (for tests and fuzzing).
bool ParseChangelistPage(simdjson::ondemand::parser& parser, std::string& body,
                         std::string_view rootPath, _IsilonChangeListInfo& page,
                         std::string& problem, bool byteExactPath = false);

// `path` below `rootPath` beginning with "/" ("/" for the root itself); false
// when path is not rootPath nor below it.
bool RelativeToRoot(std::string_view path, std::string_view rootPath, std::string_view& relative);

}  // namespace arrayjson
