// The process-wide log writer: whole lines appended to snapscan.log in the log
// directory, one mutex so that lines of concurrent threads never interleave.
#include "host/LogWriter.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include <boost/make_shared.hpp>

#include "common/PrivateFiles.h"
#include "host/HostConfig.h"
#include "platform/ini_file.h"
#include "platform/string_format.h"

namespace {

constexpr const char* kSettingsSection = "~FileSystemAgent";
constexpr const char* kLevelKey = "nLogLevel";
// A changed level is picked up without a restart, but the settings file is not
// read on every line.
constexpr std::chrono::seconds kLevelRefresh(5);

// A log entry is one line whatever its message holds: texts from the array, paths
// and error bodies may carry line feeds that would otherwise forge entries of
// their own. Control bytes and DEL become \xNN and a backslash becomes \\, so
// the message can be read back exactly; bytes of 0x80 and above stay as they
// are, since paths are byte strings. A single trailing line feed is the
// caller's line end, not part of the message.
void AppendEscaped(std::string& entry, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    size_t size = text.size();
    if (size > 0 && text[size - 1] == '\n') --size;
    entry.reserve(entry.size() + size + 1);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            entry += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            entry += "\\x";
            entry += kHex[c >> 4];
            entry += kHex[c & 0xf];
        } else {
            entry += static_cast<char>(c);
        }
    }
}

// ISO 8601 local time with milliseconds and the offset from UTC
// ("2026-12-10T15:04:05.123+01:00"): unambiguous across zones and DST changes.
std::string Timestamp() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char text[64];
    size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    length += snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000L);
    char offset[8];
    if (strftime(offset, sizeof offset, "%z", &local) == 5)
        snprintf(text + length, sizeof text - length, "%.3s:%.2s", offset, offset + 3);
    return text;
}

const char* LevelName(int level) {
    switch (level) {
        case -1:
            return "ERROR";
        case 0:
            return "INFO";
        case 1:
            return "DETAIL";
        case 2:
            return "DEBUG";
        default:
            return level < -1 ? "ERROR" : "TRACE";
    }
}

std::mutex g_contextMutex;
std::string g_context = "-";

class CFileLogWriter : public CLogWriterInterface {
public:
    CFileLogWriter() {
        const std::string directory = HostConfig::LogDir();
        const std::string path = directory + "/snapscan.log";
        std::string ignored;
        privatefiles::MakeDirectories(directory, ignored);
        const int fd = privatefiles::OpenPrivate(path, O_WRONLY | O_APPEND);
        m_file = fd >= 0 ? fdopen(fd, "a") : nullptr;
        if (m_file == nullptr && fd >= 0) close(fd);
        m_ownsFile = m_file != nullptr;
        if (m_file == nullptr) m_file = stderr;
        std::string problem;
        m_level.store(ReadLevel(problem));
        m_nextRead.store(NowTicks() + TicksOf(kLevelRefresh));
        if (!m_ownsFile)
            Append(-1, __PRETTY_FUNCTION__, __LINE__,
                   "Log file [" + path + "] cannot be opened; logging to stderr");
        if (!problem.empty()) Append(-1, __PRETTY_FUNCTION__, __LINE__, problem);
    }

    ~CFileLogWriter() override {
        if (m_ownsFile) fclose(m_file);
    }

    void Write(int level, const char* function, int line, int /*reserved1*/, int /*reserved2*/,
               const char* format, ...) override {
        if (level >= 0 && level > GetLevel()) return;
        va_list args;
        va_start(args, format);
        std::string text = snaphost::FormatV(format, args);
        va_end(args);
        Append(level, function, line, text);
    }

    int GetLevel() override {
        const int64_t now = NowTicks();
        int64_t due = m_nextRead.load(std::memory_order_relaxed);
        // One thread refreshes; the others keep the level they see meanwhile.
        if (now >= due && m_nextRead.compare_exchange_strong(due, now + TicksOf(kLevelRefresh))) {
            std::string problem;
            m_level.store(ReadLevel(problem));
        }
        return m_level.load(std::memory_order_relaxed);
    }

private:
    // Every log call asks for the level, once per changelist entry and per
    // delivered item among them, so the clock it reads is the coarse one: a few
    // nanoseconds a call instead of about 25 on a virtual machine, and
    // milliseconds of resolution are plenty for a refresh every few seconds.
    static int64_t NowTicks() {
        timespec now{};
        if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return 0;
        return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    static int64_t TicksOf(std::chrono::seconds span) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    }

    // Read directly rather than through TZPlatformInfo, which logs its problems
    // through this very writer.
    static int ReadLevel(std::string& problem) {
        // A host may raise the detail of one run without editing the settings.
        const char* override = std::getenv("SNAPSCAN_LOG_LEVEL");
        int overridden = 0;
        if (override != nullptr && snaphost::ParseIniInt(override, overridden)) return overridden;
        const std::string path = HostConfig::ConfigDir() + "/settings.ini";
        snaphost::IniTree tree;
        std::string parseProblem;
        const snaphost::IniFileState state = snaphost::ReadIniFile(path, tree, parseProblem);
        if (state == snaphost::IniFileState::kMalformed) {
            problem =
                "Settings file [" + path + "] cannot be parsed (" + parseProblem + "); log level 0";
            return 0;
        }
        std::string text;
        if (state != snaphost::IniFileState::kRead ||
            !snaphost::LookupIni(tree, kSettingsSection, kLevelKey, text)) {
            return 0;
        }
        int level = 0;
        if (!snaphost::ParseIniInt(text, level)) {
            problem = std::string("Setting [") + kLevelKey + "] in [" + path +
                      "] is not an integer; log level 0";
            return 0;
        }
        return level;
    }

    void Append(int level, const char* function, int line, const std::string& text) {
        std::string context;
        {
            std::lock_guard<std::mutex> lock(g_contextMutex);
            context = g_context;
        }
        std::string entry = Timestamp();
        entry += FXStringFormat(" %d %ld %s(%d) [%s] %s:%d ", static_cast<int>(getpid()),
                                static_cast<long>(syscall(SYS_gettid)), LevelName(level), level,
                                context.c_str(), function ? function : "?", line);
        AppendEscaped(entry, text);
        entry += '\n';
        std::lock_guard<std::mutex> lock(m_mutex);
        fwrite(entry.data(), 1, entry.size(), m_file);
        fflush(m_file);
    }

    static std::string FXStringFormat(const char* format, ...)
        __attribute__((format(printf, 1, 2))) {
        va_list args;
        va_start(args, format);
        std::string text = snaphost::FormatV(format, args);
        va_end(args);
        return text;
    }

    FILE* m_file = nullptr;
    bool m_ownsFile = false;
    std::mutex m_mutex;
    std::atomic<int> m_level{0};
    std::atomic<int64_t> m_nextRead{0};
};

}  // namespace

CLogWriterInterface::~CLogWriterInterface() = default;

boost::shared_ptr<CLogWriterInterface> CreateFileLogWriter() {
    return boost::make_shared<CFileLogWriter>();
}

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter = CreateFileLogWriter();

TZDebugFunction::TZDebugFunction(const boost::shared_ptr<CLogWriterInterface>& writer,
                                 int traceLevel, const char* function, int line, int /*reserved1*/,
                                 int /*reserved2*/, unsigned int /*mask*/, const char* format, ...)
    : m_writer(), m_traceLevel(traceLevel), m_function(function), m_line(line) {
    // The writer is kept only when the entry line was written, so that exactly
    // the traced operations get their "Leaving" line.
    if (!writer || writer->GetLevel() < traceLevel) return;
    std::string extra;
    if (format != nullptr && *format != '\0') {
        va_list args;
        va_start(args, format);
        extra = snaphost::FormatV(format, args);
        va_end(args);
    }
    m_writer = writer;
    if (extra.empty()) {
        m_writer->Write(m_traceLevel, m_function, m_line, 0, 0, "Entering");
    } else {
        m_writer->Write(m_traceLevel, m_function, m_line, 0, 0, "Entering: %s", extra.c_str());
    }
}

TZDebugFunction::~TZDebugFunction() {
    if (m_writer) m_writer->Write(m_traceLevel, m_function, m_line, 0, 0, "Leaving");
}

void SetLogContext(const std::string& context) {
    std::string clean;
    for (const char c : context)
        clean += (static_cast<unsigned char>(c) < 0x20 || c == ']') ? '?' : c;
    std::lock_guard<std::mutex> lock(g_contextMutex);
    g_context = clean.empty() ? "-" : clean;
}
