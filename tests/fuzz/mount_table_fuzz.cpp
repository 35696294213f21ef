// The mount table reader over a table file of arbitrary content, named by
// SNAPSCAN_MOUNT_TABLE as the tests and the demo name theirs.
#include <cstdlib>
#include <list>
#include <string>

#include "host/TzMntTab.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string table = [] {
        const std::string path = fuzz::Setup() + "/mounts";
        setenv("SNAPSCAN_MOUNT_TABLE", path.c_str(), 1);
        return path;
    }();
    fuzz::WriteFile(table, data, size, 0644);

    std::list<TzMntTab::Entry> entries;
    entries.emplace_back();  // the reader must clear what the caller had
    const CRwError result = TzMntTab::getAll(entries);
    FUZZ_CHECK(!result.IsError());

    size_t lines = 0;
    for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    if (size > 0 && data[size - 1] != '\n') ++lines;
    FUZZ_CHECK(entries.size() <= lines);
    for (const TzMntTab::Entry& entry : entries) {
        FUZZ_CHECK(!entry.device.empty() && !entry.mountPoint.empty());
        FUZZ_CHECK(entry.value2 == 0);
    }
    return 0;
}
