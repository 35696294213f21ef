#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include "host/SnapHostExport.h"

// The process-wide log writer. Levels: -1 errors and warnings (always written),
// 0 job-level information, 1..3 finer detail, written when GetLevel() >= level.
// Callers check the level before formatting a line of level >= 0; writers also
// drop lines above their level, so a forgotten check costs time, not noise.
class SNAPHOST_API CLogWriterInterface {
public:
    virtual ~CLogWriterInterface();

    // One line: level, the caller's full signature text and source line, two
    // reserved integers (always 0) and a printf-style format with its arguments.
    // Safe to call from several threads at once.
    virtual void Write(int level, const char* function, int line, int reserved1, int reserved2,
                       const char* format, ...) __attribute__((format(printf, 7, 8))) = 0;

    virtual int GetLevel() = 0;
};

// Set at load time to the file writer (see platform/log_writer.cpp); tests and
// hosts may replace it. Never null while the host library is loaded.
SNAPHOST_API extern boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// What every line of the file writer names after its level, in brackets, e.g.
// "client=1 subclient=2 job=7" once a host knows its job ("-" until then). A
// line reads "<ISO 8601 time with offset> <pid> <thread> <LEVEL>(<level>)
// [<context>] <function>:<line> <message>", LEVEL one of ERROR, INFO, DETAIL,
// DEBUG, TRACE.
SNAPHOST_API void SetLogContext(const std::string& context);

// A new file writer like the one installed at load: appends to "snapscan.log" in
// HostConfig::LogDir() (created if needed; stderr when it cannot be opened), with
// the level of setting "nLogLevel" in "~FileSystemAgent" (0 when absent), re-read
// every few seconds. Hosts that change SNAPSCAN_LOG_DIR after load install one.
SNAPHOST_API boost::shared_ptr<CLogWriterInterface> CreateFileLogWriter();

// Writes entry and exit lines of an operation at trace level `traceLevel` while it
// lives. Built only when the writer's level is at least 1.
class SNAPHOST_API TZDebugFunction {
public:
    TZDebugFunction(const boost::shared_ptr<CLogWriterInterface>& writer, int traceLevel,
                    const char* function, int line, int reserved1, int reserved2, unsigned int mask,
                    const char* format, ...);
    ~TZDebugFunction();

    TZDebugFunction(const TZDebugFunction&) = delete;
    TZDebugFunction& operator=(const TZDebugFunction&) = delete;

private:
    boost::shared_ptr<CLogWriterInterface> m_writer;
    int m_traceLevel;
    const char* m_function;
    int m_line;
};

// Writes one line through g_ptrLogWriter when its level is enabled; the level
// check comes first so that a disabled line costs no formatting.
#define SNAP_LOG(level, ...)                                                          \
    do {                                                                              \
        const int snapLogLevel_ = (level);                                            \
        if (snapLogLevel_ < 0 || g_ptrLogWriter->GetLevel() >= snapLogLevel_)         \
            g_ptrLogWriter->Write(snapLogLevel_, __PRETTY_FUNCTION__, __LINE__, 0, 0, \
                                  __VA_ARGS__);                                       \
    } while (0)
