#pragma once

#include <string>

#include "host/SnapHostExport.h"

// Stable identifier of an array path, usable in a snapshot name.
// The path is canonicalised by `delimiter` (a character code; 47 is "/"):
// repeated delimiters fold into one and trailing ones are dropped, so "/ifs/a",
// "/ifs/a/" and "//ifs//a" give the same identifier. The identifier is the
// 128-bit XXH3 hash of the canonical path as 32 lowercase hex digits: the same on
// every host and run, and different for different paths in practice.
// flags: reserved, pass 0. Returns false (id emptied) for an invalid delimiter.
extern "C" SNAPHOST_API bool GetObjectGuid(const std::string& path, int flags, int delimiter,
                                           std::string& id);
