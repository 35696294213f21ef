// The readable copy of a snapshot at <snapshotted dir>/.snapshot/<name>/, as the array shows it
// over NFS.
#pragma once

#include <string>

#include "tools/arraysim/manifest.h"

namespace arraysim {

// Creates <localDir>/.snapshot when missing without letting that show up as a change of
// <localDir>: its times are restored and its new ctime is recorded in `fixups`.
bool EnsureSnapshotRoot(const std::string& localDir, CtimeFixups& fixups, std::string& error);

// Copies the tree at `from` into the new directory `to`, skipping ".snapshot" directories,
// keeping modes, symlinks, times and hard links (a file with several links is copied once and
// linked at its other paths within the copy). Sockets and devices are left out.
bool CopyTree(const std::string& from, const std::string& to, std::string& error);

// Removes a copy made by CopyTree; a missing one is fine.
bool RemoveTree(const std::string& path, std::string& error);

}  // namespace arraysim
