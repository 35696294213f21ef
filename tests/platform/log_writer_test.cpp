#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <set>
#include <thread>

#include "host_env.h"

namespace snapscan_platform_test {
namespace {

class LogWriterTest : public HostEnvTest {};

TEST_F(LogWriterTest, LineCarriesTimePidThreadLevelFunctionAndLine) {
    g_ptrLogWriter->Write(0, "int Job::Run(int)", 42, 0, 0, "copied %d of %s", 7, "/ifs/a");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u) << LogText();
    LogLine parsed;
    ASSERT_TRUE(ParseLogLine(lines[0], parsed)) << lines[0];
    EXPECT_EQ(parsed.pid, static_cast<long>(getpid()));
    EXPECT_GT(parsed.thread, 0);
    EXPECT_EQ(parsed.level, 0);
    EXPECT_EQ(parsed.context, "-");
    EXPECT_EQ(parsed.rest, "int Job::Run(int):42 copied 7 of /ifs/a");
    EXPECT_NE(lines[0].find(" INFO(0) [-] "), std::string::npos) << lines[0];
}

// Every line names the job it belongs to once the host knows it, so that the
// lines of concurrent jobs in one file can be told apart; the level has a name.
TEST_F(LogWriterTest, LinesNameTheJobAndTheLevel) {
    SetLogContext("client=1 subclient=2 job=7");
    g_ptrLogWriter->Write(-1, "f", 1, 0, 0, "bad");
    SetLogContext("evil]\nforged");
    g_ptrLogWriter->Write(0, "f", 2, 0, 0, "fine");
    SetLogContext("");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u) << LogText();
    LogLine first;
    ASSERT_TRUE(ParseLogLine(lines[0], first)) << lines[0];
    EXPECT_EQ(first.level, -1);
    EXPECT_EQ(first.context, "client=1 subclient=2 job=7");
    EXPECT_NE(lines[0].find(" ERROR(-1) "), std::string::npos) << lines[0];
    LogLine second;
    ASSERT_TRUE(ParseLogLine(lines[1], second)) << lines[1];
    EXPECT_EQ(second.context, "evil??forged");
    EXPECT_EQ(second.rest, "f:2 fine");
}

// Texts from outside (an array's error body, a file name) must not forge log
// entries: every message is one line, control bytes and DEL are written as \xNN
// and a backslash as \\, so the original can be read back.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
        } else if (text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

TEST_F(LogWriterTest, MessagesAreOneEscapedLine) {
    struct Case {
        const char* name;
        std::string message;
        std::string written;
    };
    const Case kCases[] = {
        {"forged entry", "path /ifs/a\n2024-01-01 00:00:00.000 1 1 -1 f:1 forged",
         "path /ifs/a\\x0a2024-01-01 00:00:00.000 1 1 -1 f:1 forged"},
        {"carriage return and tab", "a\rb\tc", "a\\x0db\\x09c"},
        {"escape and DEL", std::string("\x1b[2J\x7f"), "\\x1b[2J\\x7f"},
        {"backslash stays reversible", "DOM\\user \\x0a", "DOM\\\\user \\\\x0a"},
        {"bytes above 0x7f pass", "caf\xe9 \xc3\xa9", "caf\xe9 \xc3\xa9"},
        {"trailing line feed ends the line", "done\n", "done"},
        {"only the last line feed", "two\n\n", "two\\x0a"},
        {"empty", "", ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::remove((logDir + "/snapscan.log").c_str());
        ReopenLog();
        g_ptrLogWriter->Write(-1, "f", 1, 0, 0, "%s", c.message.c_str());
        const std::vector<std::string> lines = LogLines();
        ASSERT_EQ(lines.size(), 1u) << LogText();
        LogLine parsed;
        ASSERT_TRUE(ParseLogLine(lines[0], parsed)) << lines[0];
        const std::string prefix = "f:1 ";
        ASSERT_EQ(parsed.rest.compare(0, prefix.size(), prefix), 0) << parsed.rest;
        const std::string written = parsed.rest.substr(prefix.size());
        EXPECT_EQ(written, c.written);
        std::string original = c.message;
        if (!original.empty() && original.back() == '\n') original.pop_back();
        EXPECT_EQ(Unescape(written), original);
    }
}

TEST_F(LogWriterTest, LevelFromSettingsFiltersLinesAndMinusOneAlwaysPasses) {
    struct Case {
        const char* settings;  // null: no settings file
        int level;
        std::set<int> written;
    };
    const std::vector<Case> kCases = {
        {nullptr, 0, {-1, 0}},
        {"[~FileSystemAgent]\nnLogLevel = -1\n", -1, {-1}},
        {"[~FileSystemAgent]\nnLogLevel = 1\n", 1, {-1, 0, 1}},
        {"[~FileSystemAgent]\nnLogLevel = 3\n", 3, {-1, 0, 1, 2, 3}},
        {"[OtherAgent]\nnLogLevel = 3\n", 0, {-1, 0}},
        {"[~FileSystemAgent]\nnLogLevel = lots\n", 0, {-1, 0}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.settings ? c.settings : "no settings");
        std::remove((configDir + "/settings.ini").c_str());
        if (c.settings != nullptr) WriteSettings(c.settings);
        std::remove((logDir + "/snapscan.log").c_str());
        ReopenLog();
        EXPECT_EQ(g_ptrLogWriter->GetLevel(), c.level);
        for (int level = -1; level <= 3; ++level) {
            g_ptrLogWriter->Write(level, "f", 1, 0, 0, "line at %d", level);
        }
        std::set<int> written;
        for (const std::string& line : LogLines()) {
            LogLine parsed;
            ASSERT_TRUE(ParseLogLine(line, parsed)) << line;
            if (parsed.rest.find("line at") != std::string::npos) written.insert(parsed.level);
        }
        EXPECT_EQ(written, c.written);
    }
}

TEST_F(LogWriterTest, ConcurrentThreadsWriteWholeLines) {
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(300, static_cast<char>('a' + t));
            for (int n = 0; n < kLinesEach; ++n) {
                SNAP_LOG(0, "T%d N%d %s end", t, n, payload.c_str());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::map<int, std::set<int>> seen;
    for (const std::string& line : LogLines()) {
        LogLine parsed;
        ASSERT_TRUE(ParseLogLine(line, parsed)) << line;
        // The text of the line: "T<t> N<n> <300 letters> end", whole.
        const size_t at = parsed.rest.find(" T");
        ASSERT_NE(at, std::string::npos) << line;
        int t = -1, n = -1;
        char payload[301] = {};
        char tail[8] = {};
        ASSERT_EQ(sscanf(parsed.rest.c_str() + at, " T%d N%d %300s %7s", &t, &n, payload, tail), 4)
            << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(payload, std::string(300, static_cast<char>('a' + t)));
        EXPECT_STREQ(tail, "end");
        EXPECT_TRUE(seen[t].insert(n).second);
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
    for (const auto& entry : seen) EXPECT_EQ(entry.second.size(), static_cast<size_t>(kLinesEach));
}

TEST_F(LogWriterTest, TracerWritesEntryAndExitAtItsLevel) {
    for (int configured : {1, 2}) {
        SCOPED_TRACE(configured);
        WriteSettings("[~FileSystemAgent]\nnLogLevel = " + std::to_string(configured) + "\n");
        std::remove((logDir + "/snapscan.log").c_str());
        ReopenLog();
        {
            TZDebugFunction trace(g_ptrLogWriter, 2, "void Traced()", 9, 1, 0, 0xFFFFFFFF, nullptr);
            SNAP_LOG(0, "inside");
        }
        std::vector<std::string> texts;
        for (const std::string& line : LogLines()) {
            LogLine parsed;
            ASSERT_TRUE(ParseLogLine(line, parsed)) << line;
            texts.push_back(parsed.rest.substr(parsed.rest.rfind(' ') + 1));
        }
        if (configured >= 2) {
            EXPECT_EQ(texts, (std::vector<std::string>{"Entering", "inside", "Leaving"}));
        } else {
            EXPECT_EQ(texts, std::vector<std::string>{"inside"});
        }
    }
}

TEST_F(LogWriterTest, UnopenableDirectoryFallsBackToStderr) {
    WriteFile(root + "/plainfile", "");
    setenv("SNAPSCAN_LOG_DIR", (root + "/plainfile/sub").c_str(), 1);
    testing::internal::CaptureStderr();
    {
        boost::shared_ptr<CLogWriterInterface> writer = CreateFileLogWriter();
        writer->Write(-1, "f", 1, 0, 0, "still reported");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("plainfile/sub/snapscan.log"), std::string::npos) << err;
    EXPECT_NE(err.find("still reported"), std::string::npos) << err;
}

}  // namespace
}  // namespace snapscan_platform_test
