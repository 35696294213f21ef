// A changelist generated entry by entry from its index, without a tree: for benchmarks of
// changelists far larger than memory should hold.
#pragma once

#include <memory>

#include "tools/arraysim/changelist.h"
#include "tools/arraysim/sim_options.h"

namespace arraysim {

// Exactly `options.entries` entries below `rootPath`: present entries by ascending inode, some
// repeating the previous inode at another path (duplicates), some at a renamed path; then the
// removed entries by ascending inode: the old paths of the renamed ones, then pure removals.
std::unique_ptr<ChangelistSource> MakeSyntheticChangelist(const SyntheticOptions& options,
                                                          const std::string& rootPath,
                                                          const std::string& removedTypeText);

}  // namespace arraysim
