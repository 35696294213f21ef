#include "host_env.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace snapscan_platform_test {

void HostEnvTest::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "snapscan-platform-XXXXXX").string();
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
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        ASSERT_TRUE(out.good()) << path;
    }
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string HostEnvTest::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> HostEnvTest::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(LogText());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool HostEnvTest::ParseLogLine(const std::string& line, LogLine& parsed) {
    static const std::regex kLine(
        R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (\d+) (\d+) (-?\d+) (.*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) return false;
    parsed.time = match[1];
    parsed.pid = std::stol(match[2]);
    parsed.thread = std::stol(match[3]);
    parsed.level = std::stoi(match[4]);
    parsed.rest = match[5];
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
