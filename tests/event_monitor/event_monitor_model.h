#pragma once

// What the tests of the change-event database share: changelist entries, a
// plain in-memory model of what the database must do with them, and a fixture
// with a temporary results, configuration and log directory. The contract tests
// run against the real database and against the test double alike.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "host/CSnapDiffEventMonitor.h"
#include "host/FXErrorUtil.h"
#include "host/LogWriter.h"

namespace event_monitor_test {

namespace fs = std::filesystem;

inline constexpr const char* kRemoved = "(REMOVED)";

class CapturingLog : public CLogWriterInterface {
public:
    void Write(int level, const char*, int, int, int, const char* format, ...) override {
        char text[2048];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(level, text);
    }
    int GetLevel() override { return 3; }

    int CountAt(int level, const std::string& part) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const auto& l) {
            return l.first == level && l.second.find(part) != std::string::npos;
        }));
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<int, std::string>> m_lines;
};

// One changelist entry as the comparison hands it over.
struct Entry {
    int64_t inode;
    std::string path;
    std::string changeType;
};

inline _ChangeEventItem RowOf(const Entry& entry) {
    _ChangeEventItem row;
    row.inode = entry.inode;
    row.path = entry.path;
    row.changeType = entry.changeType;
    // Every field distinct and derived from the inode, so a mix-up shows.
    const uint64_t seed = static_cast<uint64_t>(entry.inode);
    row.changeTime = ~seed;
    row.modifiedTime = seed * 3 + 1;
    row.accessTime = seed ^ 0x5555555555555555ull;
    row.size = -static_cast<int64_t>(seed & 0xFFFFFF) - 1;
    row.extraNumber = static_cast<uint32_t>(seed * 7);
    return row;
}

// What the database must do, with a map: the first row of an inode is kept;
// a later "(REMOVED)" row of it names the old path of a rename.
struct Model {
    std::vector<bool> duplicates;
    std::vector<_ChangeEventItem> rows;  // ascending inode
};

inline Model Expect(const std::vector<Entry>& entries) {
    Model model;
    std::map<int64_t, _ChangeEventItem> stored;
    for (const Entry& entry : entries) {
        auto found = stored.find(entry.inode);
        model.duplicates.push_back(found != stored.end());
        if (found == stored.end()) {
            stored.emplace(entry.inode, RowOf(entry));
        } else if (entry.changeType == kRemoved) {
            found->second.oldPath = entry.path;
            found->second.isRename = 1;
        }
    }
    for (const auto& item : stored) model.rows.push_back(item.second);
    return model;
}

// Loads the entries as the comparison does; the first failure is returned.
inline CRwError Load(CSnapDiffEventMonitor& monitor, const std::vector<Entry>& entries,
                     std::vector<bool>* duplicates = nullptr) {
    for (const Entry& entry : entries) {
        const _ChangeEventItem row = RowOf(entry);
        bool duplicate = false;
        CRwError result = monitor.InsertEvent(row, duplicate);
        if (result.IsError()) return result;
        if (duplicates != nullptr) duplicates->push_back(duplicate);
        if (duplicate && row.changeType == kRemoved) {
            result = monitor.UpdateRenameEvent(row);
            if (result.IsError()) return result;
        }
    }
    return CRwError::Success();
}

inline std::vector<_ChangeEventItem> Drain(CSnapDiffEventMonitor& monitor) {
    std::vector<_ChangeEventItem> rows;
    for (;;) {
        _ChangeEventItem row;
        const int result = monitor.GetNextEvent(row);
        EXPECT_GE(result, 0);
        if (result != 0) break;
        rows.push_back(row);
    }
    return rows;
}

inline void ExpectSameRows(const std::vector<_ChangeEventItem>& expected,
                           const std::vector<_ChangeEventItem>& actual) {
    ASSERT_EQ(expected.size(), actual.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const _ChangeEventItem& e = expected[i];
        const _ChangeEventItem& a = actual[i];
        SCOPED_TRACE("row " + std::to_string(i) + " inode " + std::to_string(e.inode));
        ASSERT_EQ(e.inode, a.inode);
        EXPECT_EQ(e.path, a.path);
        EXPECT_EQ(e.changeType, a.changeType);
        EXPECT_EQ(e.oldPath, a.oldPath);
        EXPECT_EQ(e.isRename, a.isRename);
        EXPECT_EQ(e.changeTime, a.changeTime);
        EXPECT_EQ(e.modifiedTime, a.modifiedTime);
        EXPECT_EQ(e.accessTime, a.accessTime);
        EXPECT_EQ(e.size, a.size);
        EXPECT_EQ(e.extraNumber, a.extraNumber);
    }
}

inline bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Entries as the array lists them: ascending inodes with some repeated at once,
// then the removed entries, ascending: old halves of renames (stored inodes),
// entries removed for good (new inodes), and a few removed twice.
inline std::vector<Entry> ArrayOrder(size_t count, uint32_t seed) {
    std::mt19937_64 random(seed);
    std::vector<Entry> entries;
    std::vector<Entry> removed;
    int64_t inode = 1000;
    for (size_t i = 0; i < count; ++i) {
        inode += 1 + static_cast<int64_t>(random() % 5);
        const std::string path =
            "/share/dir" + std::to_string(i % 97) + "/file " + std::to_string(i);
        entries.push_back({inode, path, i % 11 == 0 ? "directory" : "file"});
        if (random() % 100 < 3) entries.push_back({inode, path + ".again", "file"});
        const unsigned pick = static_cast<unsigned>(random() % 100);
        if (pick < 4) removed.push_back({inode, "/share/old/" + std::to_string(i), kRemoved});
        if (pick == 4) removed.push_back({inode - 1, "/share/gone/" + std::to_string(i), kRemoved});
        if (pick == 5) {
            removed.push_back({inode, "/share/first/" + std::to_string(i), kRemoved});
            removed.push_back({inode, "/share/second/" + std::to_string(i), kRemoved});
        }
    }
    std::stable_sort(removed.begin(), removed.end(),
                     [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
    entries.insert(entries.end(), removed.begin(), removed.end());
    return entries;
}

class EventMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/event_monitor_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        root = pattern;
        results = root + "/results";
        config = root + "/config";
        fs::create_directories(results);
        fs::create_directories(config);
        fs::create_directories(root + "/log");
        setenv("SNAPSCAN_CONFIG_DIR", config.c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", (root + "/log").c_str(), 1);
        m_previousLog = g_ptrLogWriter;
        log = boost::make_shared<CapturingLog>();
        g_ptrLogWriter = log;
    }

    void TearDown() override {
        g_ptrLogWriter = m_previousLog;
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Loads, prepares and drains; checks duplicate flags and rows against the model.
    void CheckAgainstModel(const std::vector<Entry>& entries) {
        const Model model = Expect(entries);
        CSnapDiffEventMonitor monitor(results, 1, 2);
        ASSERT_FALSE(monitor.Create().IsError());
        std::vector<bool> duplicates;
        const CRwError loaded = Load(monitor, entries, &duplicates);
        ASSERT_FALSE(loaded.IsError()) << loaded.AsString();
        const CRwError prepared = monitor.PrepareSelectQuery();
        ASSERT_FALSE(prepared.IsError()) << prepared.AsString();
        EXPECT_EQ(model.duplicates, duplicates);
        ExpectSameRows(model.rows, Drain(monitor));
    }

    std::string root, results, config;
    boost::shared_ptr<CapturingLog> log;

private:
    boost::shared_ptr<CLogWriterInterface> m_previousLog;
};

}  // namespace event_monitor_test
