#pragma once

// The rules of the array client that hold whatever carries its requests: the
// checks of arguments made before anything is sent, and what a failed call
// leaves behind. The real client (manage_isilon.cpp) and its test double both
// follow them through these functions, so the plug-in's tests against the
// double see the answers the real client gives.

#include <string>

#include "common/Records.h"

namespace arrayrules {

// The last-error code of an argument refused before any request.
constexpr const char* kInvalidArgument = "INVALID_ARGUMENT";

// A snapshot operation needs a name: an empty one would address the whole
// snapshot collection. False with kInvalidArgument and a message naming
// `operation` in code and message.
bool CheckSnapshotName(const char* operation, const std::string& name, std::string& code,
                       std::string& message);

// A snapshot is created from a name and a path sent as JSON text, which carries
// UTF-8 only: any other byte would be replaced on the way and the snapshot taken
// of another directory, or under another name, than the one asked for. Both must
// be non-empty valid UTF-8; false with kInvalidArgument and a message naming
// what was refused (its bytes escaped) otherwise.
bool CheckSnapshotRequest(const char* operation, const std::string& path, const std::string& name,
                          std::string& code, std::string& message);

// What a failed changelist page call leaves in the caller's page: no entries
// (neither the earlier page's nor part of this one) and the resume token the
// call was made with, so that the same page can be asked for again.
void LeaveFailedPage(_IsilonChangeListInfo& page, const std::string& sentToken);

}  // namespace arrayrules
