#pragma once

// A fixture that gives each test its own configuration and log directories
// (through SNAPSCAN_CONFIG_DIR / SNAPSCAN_LOG_DIR) and a file log writer in
// them, and puts everything back afterwards.

#include <gtest/gtest.h>

#include <sys/types.h>

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/LogWriter.h"

namespace snapscan_platform_test {

class HostEnvTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes path (created or truncated) with the given permission bits.
    static void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0600);
    static std::string ReadFile(const std::string& path);

    void WriteSettings(const std::string& content) {
        WriteFile(configDir + "/settings.ini", content);
    }
    // Installs a fresh file writer, which reads the level from the settings now.
    void ReopenLog() { g_ptrLogWriter = CreateFileLogWriter(); }

    std::string LogText() const { return ReadFile(logDir + "/snapscan.log"); }
    std::vector<std::string> LogLines() const;
    // Fields of one log line: date, time, pid, thread, level, then the rest.
    struct LogLine {
        std::string time;
        long pid = 0;
        long thread = 0;
        int level = 0;
        std::string context;  // what the host named ("-" when nothing)
        std::string rest;     // "function:line text"
    };
    static bool ParseLogLine(const std::string& line, LogLine& parsed);
    // True when some line of level -1 contains every one of the texts.
    bool HasErrorLineWith(const std::vector<std::string>& texts) const;

    std::string root;
    std::string configDir;
    std::string logDir;

private:
    struct SavedVariable {
        std::string name;
        bool set = false;
        std::string value;
    };
    std::vector<SavedVariable> m_saved;
    boost::shared_ptr<CLogWriterInterface> m_savedWriter;
};

}  // namespace snapscan_platform_test
