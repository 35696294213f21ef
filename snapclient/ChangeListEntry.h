#pragma once

// The checks a changelist entry must pass before it becomes a row of the
// change-event database. The array's answer is outside input: an entry that
// names no path below the share, or no inode number, is a bad answer, never a
// change to hand on.

#include <cstdint>
#include <string>

namespace snapclient {

// The entry's path below the share's root: "/" alone (the root itself), or
// "/" followed by components separated by single "/", none of them empty, "."
// or "..", and no NUL byte anywhere. Such a path, appended to the share's path,
// names the share or an entry below it, and nothing else.
bool IsPathBelowShareRoot(const std::string& path);

// The entry's inode text: one to twenty decimal digits, nothing before or
// after them, whose value fits 64 bits unsigned. Sets value on success.
bool ParseInodeText(const std::string& text, uint64_t& value);

// Both checks; on failure problem says which, with the offending text made
// printable as Printable makes it.
bool CheckChangeListEntry(const std::string& path, const std::string& inodeText, uint64_t& inode,
                          std::string& problem);

// The text with control bytes, backslash and bytes above 0x7E written as \xNN,
// so that a log line or message cannot be cut or forged by it.
std::string Printable(const std::string& text);

}  // namespace snapclient
