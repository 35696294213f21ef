#include "host_env.h"
#include "tests/support/temp_files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace snapscan_platform_test {

void HostEnvTest::SetUp() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "snapscan-platform-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    root = pattern;
    configDir = root + "/config";
    logDir = root + "/log";  // made by the log writer itself
    std::filesystem::create_directory(configDir);
    for (const char* name : {"SNAPSCAN_CONFIG_DIR", "SNAPSCAN_LOG_DIR", "SNAPSCAN_MOUNT_TABLE"}) {
        const char* value = getenv(name);
        m_saved.push_back({name, value != nullptr, value ? value : ""});
    }
    setenv("SNAPSCAN_CONFIG_DIR", configDir.c_str(), 1);
    setenv("SNAPSCAN_LOG_DIR", logDir.c_str(), 1);
    unsetenv("SNAPSCAN_MOUNT_TABLE");
    m_savedWriter = g_ptrLogWriter;
    ReopenLog();
}

void HostEnvTest::TearDown() {
    g_ptrLogWriter = m_savedWriter;
    for (const SavedVariable& saved : m_saved) {
        if (saved.set) {
            setenv(saved.name.c_str(), saved.value.c_str(), 1);
        } else {
            unsetenv(saved.name.c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void HostEnvTest::WriteFile(const std::string& path, const std::string& content, mode_t mode) {
    snapscan_test::WriteFile(path, content, mode);
}

std::string HostEnvTest::ReadFile(const std::string& path) { return snapscan_test::ReadFile(path); }

std::vector<std::string> HostEnvTest::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(LogText());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

namespace {

// True when text[at, at + pattern.size()) has a digit wherever pattern has "9"
// and the same character elsewhere.
bool MatchesShape(const std::string& text, size_t at, const std::string& pattern) {
    if (text.size() < at + pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = text[at + i];
        if (pattern[i] == '9' ? (c < '0' || c > '9') : c != pattern[i]) return false;
    }
    return true;
}

}  // namespace

bool HostEnvTest::ParseLogLine(const std::string& line, LogLine& parsed) {
    // "2024-05-01T12:34:56.789+02:00 <pid> <thread> <LEVEL>(<level>) [<context>] <rest>"
    const std::string kTimeShape = "9999-99-99T99:99:99.999";
    if (!MatchesShape(line, 0, kTimeShape)) return false;
    const size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    const std::string zone = line.substr(kTimeShape.size(), space - kTimeShape.size());
    if (!MatchesShape(zone, 1, "99:99") || zone.size() != 6 || (zone[0] != '+' && zone[0] != '-'))
        return false;
    parsed.time = line.substr(0, space);
    std::istringstream in(line.substr(space + 1));
    std::string level;
    if (!(in >> parsed.pid >> parsed.thread >> level)) return false;
    static const std::vector<std::pair<std::string, int>> kNames = {
        {"ERROR", -1}, {"INFO", 0}, {"DETAIL", 1}, {"DEBUG", 2}, {"TRACE", 3}};
    const size_t open = level.find('(');
    if (open == std::string::npos || level.back() != ')') return false;
    parsed.level = std::stoi(level.substr(open + 1, level.size() - open - 2));
    bool named = false;
    for (const auto& [name, number] : kNames)
        named = named || (name == level.substr(0, open) && (number == parsed.level || number == 3));
    if (!named) return false;
    if (in.get() != ' ' || in.get() != '[') return false;
    std::getline(in, parsed.context, ']');
    if (in.get() != ' ') return false;
    std::getline(in, parsed.rest);
    return true;
}

bool HostEnvTest::HasErrorLineWith(const std::vector<std::string>& texts) const {
    for (const std::string& line : LogLines()) {
        LogLine parsed;
        if (!ParseLogLine(line, parsed) || parsed.level != -1) continue;
        bool all = true;
        for (const std::string& text : texts) all = all && line.find(text) != std::string::npos;
        if (all) return true;
    }
    return false;
}

}  // namespace snapscan_platform_test
