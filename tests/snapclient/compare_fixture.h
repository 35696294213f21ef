#pragma once

// What the change-detection tests share: a client whose job state holds one
// comparable share, changelist entries, and the item stream drained into a list.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/doubles/plugin_test.h"

namespace snapscan_test {

constexpr uint64_t kRemovedBit = 0x2000000000000000ULL;

// One share as CompareSnapshots reads it.
struct ShareFixture {
    std::string scanPath;
    std::string snapshotName;
    uint64_t snapshotId;
    std::string prevSnapshotName;
    uint64_t prevSnapshotId;
};

inline const ShareFixture kShare{"/mnt/share", "TZOP_12_345_789_a1", 22, "TZOP_12_345_700_a1", 11};

inline _IsilonChangeListItem Entry(const std::string& inode, const std::string& path,
                                   const std::string& changeType = "file") {
    _IsilonChangeListItem item;
    item.inode = inode;
    item.path = path;
    item.changeType = changeType;
    return item;
}

// The inode text the array gives a removed entry.
inline std::string RemovedInode(uint64_t inode) { return std::to_string(inode | kRemovedBit); }

using ItemSource = std::function<FileServerSnapshotCompareItem()>;

class CompareTest : public PluginTest {
protected:
    void SetUp() override {
        client = MakeClient();
        // The comparison opens a connection of its own; the job's one is not needed.
        Peer::Array(*client).reset();
        array.Reset();
        log.Clear();
        events.Clear();
        sleeps.Clear();
        SetShares({kShare});
    }

    void SetShares(const std::vector<ShareFixture>& fixtures) {
        std::list<FileServerExportInfo> shares;
        for (const ShareFixture& fixture : fixtures) {
            FileServerExportInfo share;
            share.scanPath = fixture.scanPath;
            share.exportPath = "/ifs/data" + fixture.scanPath;
            share.snapshotName = fixture.snapshotName;
            share.snapshotId = fixture.snapshotId;
            share.prevSnapshotName = fixture.prevSnapshotName;
            share.prevSnapshotId = fixture.prevSnapshotId;
            share.hasSnapshotPair = true;
            shares.push_back(share);
        }
        Peer::SetShares(*client, shares);
    }

    void QueuePages(const std::vector<ChangeListPage>& pages) {
        for (const ChangeListPage& page : pages) array.changeListPages.push_back(page);
    }

    CRwError Compare(const std::string& sourceVolume, ItemSource& next,
                     const std::string& localVolume = "/local/share") {
        return client->CompareSnapshots(sourceVolume, localVolume, next);
    }

    // Every item up to and including the first of kind 5 or 6.
    static std::vector<FileServerSnapshotCompareItem> Drain(const ItemSource& next) {
        std::vector<FileServerSnapshotCompareItem> items;
        for (int i = 0; i < 10000; ++i) {
            items.push_back(next());
            if (items.back().type == 5 || items.back().type == 6) return items;
        }
        ADD_FAILURE() << "the item source never ended";
        return items;
    }

    // Texts of the client's own lines at this level (the database and the
    // tracer write lines of their own).
    std::vector<std::string> ClientTexts(int level) const {
        std::vector<std::string> texts;
        for (const LogLine& line : log.Lines())
            if (line.level == level &&
                line.function.find("CIsilonSnapClient::") != std::string::npos)
                texts.push_back(line.text);
        return texts;
    }

    std::unique_ptr<CIsilonSnapClient> client;
};

}  // namespace snapscan_test
