#include "tools/snapscan/audit_changes.h"

#include <chrono>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/ManageIsilon.h"
#include "tools/snapscan/snapshot_listing.h"

namespace snapscan {

namespace {

// The array marks a removed entry with this bit of its LIN.
constexpr uint64_t kRemovedLinBit = 0x2000000000000000ULL;
constexpr int kPageAttempts = 3;

bool ParseLin(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::string ArrayError(const ManageIsilon& array) {
    std::string code;
    std::string message;
    array.GetLastError(code, message);
    return code + ": " + message;
}

bool AppendPage(const _IsilonChangeListInfo& page, std::vector<ListedChange>& changes,
                std::string& error) {
    for (const _IsilonChangeListItem& item : page.items) {
        ListedChange change;
        uint64_t lin = 0;
        if (!ParseLin(item.inode, lin)) {
            error = "the changelist has an entry whose id is not a LIN";
            return false;
        }
        change.removed = (lin & kRemovedLinBit) != 0;
        change.inode = lin & ~kRemovedLinBit;
        change.path = item.path;
        changes.push_back(std::move(change));
    }
    return true;
}

int FromHexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A path of an item record: the exact bytes from "<key>Hex" when there, else the text.
bool RecordPath(const nlohmann::json& record, const std::string& key, std::string& path) {
    const auto hex = record.find(key + "Hex");
    if (hex != record.end() && hex->is_string()) {
        const std::string& digits = hex->get_ref<const std::string&>();
        if (digits.size() % 2 != 0) return false;
        path.clear();
        for (size_t i = 0; i < digits.size(); i += 2) {
            const int high = FromHexDigit(digits[i]);
            const int low = FromHexDigit(digits[i + 1]);
            if (high < 0 || low < 0) return false;
            path += static_cast<char>(high * 16 + low);
        }
        return true;
    }
    const auto text = record.find(key);
    if (text == record.end() || !text->is_string()) return false;
    path = text->get<std::string>();
    return true;
}

// "/a/b" relative to the first root it lies below; as given when below none.
// A delivered directory's path ends with "/".
std::string RelativeToRoots(std::string path, const std::vector<std::string>& roots) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (std::string root : roots) {
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        if (root.empty() || root == "/") continue;
        if (path == root) return "/";
        if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
            path[root.size()] == '/')
            return path.substr(root.size());
    }
    if (!path.empty() && path[0] != '/') return "/" + path;
    return path;
}

}  // namespace

bool FetchChangelist(uint32_t clientId, int64_t baseSnapshotId, int64_t currentSnapshotId,
                     double waitSeconds, std::vector<ListedChange>& changes, std::string& error) {
    changes.clear();
    ManageIsilon array;
    if (!ConnectClientArray(clientId, array, error)) return false;
    uint64_t baseId = static_cast<uint64_t>(baseSnapshotId);
    uint64_t currentId = static_cast<uint64_t>(currentSnapshotId);
    const std::string pair = std::to_string(baseId) + "_" + std::to_string(currentId);
    if (array.CreateSnapshotChangeList(baseId, currentId, true).IsError()) {
        error = "asking for changelist " + pair + ": " + ArrayError(array);
        return false;
    }
    // The array builds it in a job of its own; until then the first page is "not found".
    _IsilonChangeListInfo page;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(waitSeconds * 1000));
    for (;;) {
        if (!array.GetSnapshotChangeList(baseId, currentId, page).IsError()) break;
        std::string code;
        std::string message;
        array.GetLastError(code, message);
        if (code != "AEC_NOT_FOUND" || std::chrono::steady_clock::now() >= deadline) {
            error = "reading changelist " + pair + ": " + code + ": " + message;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::vector<ListedChange> read;
    for (;;) {
        if (!AppendPage(page, read, error)) return false;
        if (page.resumeToken.empty()) break;
        int attempt = 0;
        while (array.GetSnapshotChangeList(baseId, currentId, page).IsError()) {
            if (++attempt == kPageAttempts) {
                error = "reading changelist " + pair + " (" + std::to_string(read.size()) +
                        " entries read): " + ArrayError(array);
                return false;
            }
        }
    }
    changes = std::move(read);
    return true;
}

bool ReadDeliveredChanges(const std::string& file, const std::string& share,
                          const std::vector<std::string>& roots, std::vector<ListedChange>& changes,
                          std::string& error) {
    changes.clear();
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file;
        return false;
    }
    std::string line;
    uint64_t number = 0;
    std::vector<ListedChange> read;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = file + " line " + std::to_string(number);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        // Paths that are not UTF-8 come with their bytes in "pathHex"; the text
        // form may carry replacement characters, which the parser accepts.
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_object()) {
            error = where + ": not a JSON object";
            return false;
        }
        const auto event = record.find("event");
        if (event == record.end() || *event != "item") continue;
        const auto itemShare = record.find("share");
        if (!share.empty() && itemShare != record.end() && itemShare->is_string() &&
            RelativeToRoots(itemShare->get<std::string>(), {}) != RelativeToRoots(share, {}))
            continue;
        const auto kind = record.find("kindName");
        std::string path;
        if (kind == record.end() || !kind->is_string() || !RecordPath(record, "path", path)) {
            error = where + ": an item without its kind or path";
            return false;
        }
        ListedChange change;
        change.path = RelativeToRoots(path, roots);
        const auto inode = record.find("inode");
        if (inode != record.end() && inode->is_number_unsigned())
            change.inode = inode->get<uint64_t>();
        if (*kind == "removed") {
            change.removed = true;
        } else if (*kind == "renamed") {
            std::string oldPath;
            if (!RecordPath(record, "oldPath", oldPath)) {
                error = where + ": a renamed item without its old path";
                return false;
            }
            change.oldPath = RelativeToRoots(oldPath, roots);
            ListedChange gone;
            gone.path = change.oldPath;
            gone.inode = change.inode;
            gone.removed = true;
            read.push_back(std::move(gone));
        } else if (*kind != "changed") {
            error = where + ": an item of kind " + kind->dump();
            return false;
        }
        read.push_back(std::move(change));
    }
    if (in.bad()) {
        error = "cannot read " + file;
        return false;
    }
    changes = std::move(read);
    return true;
}

}  // namespace snapscan
