// The JSON text of one changelist page. Written by hand rather than through a JSON tree: the
// benchmarks page through millions of entries, and the emulator must not be what limits them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/arraysim/changelist.h"

namespace arraysim {

// {"lins":[...],"resume":"<token>"|null,"total":N}; resume is null when empty.
std::string LinsPageJson(const std::vector<ChangeEntry>& entries, const std::string& resume,
                         uint64_t total);

// The same page of entries [offset, offset + count) of `source`, written by the source itself
// (ChangelistSource::AppendPageItems).
std::string LinsPageJson(const ChangelistSource& source, uint64_t offset, uint64_t count,
                         const std::string& resume, uint64_t total);

// One entry of a page: {"id":"<inode>","path":...,"type":...,"size":N,"atime":{"sec":S,
// "nsec":N},"ctime":{...},"mtime":{...}}.
void AppendEntryJson(std::string& out, const ChangeEntry& entry);

}  // namespace arraysim
