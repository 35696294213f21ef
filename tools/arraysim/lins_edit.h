// Edits of a served changelist page, for the faults that make the array forget a changed entry
// or list one that did not change. They work on the page's text as LinsPageJson writes it, so that
// paths that are not UTF-8 pass through as bytes.
#pragma once

#include <cstdint>
#include <string>

#include "tools/arraysim/changelist.h"

namespace arraysim {

// Removes every entry whose path is `path` (the /ifs path as served); the number removed.
uint64_t DropLinsEntry(std::string& page, const std::string& path);

// Puts `entry` first on the page; false when the text is not a page.
bool AddLinsEntry(std::string& page, const ChangeEntry& entry);

}  // namespace arraysim
