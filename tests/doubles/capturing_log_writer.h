#pragma once

// A log writer that keeps every line it is given, installed as g_ptrLogWriter
// for its own lifetime (the previous writer comes back afterwards). Like every
// writer it drops lines above its level; lines of level -1 are always kept.

#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/LogWriter.h"

namespace snapscan_test {

struct LogLine {
    int level = 0;
    std::string function;
    int line = 0;
    std::string text;  // the formatted text, byte for byte
};

class CapturingLogWriter {
public:
    explicit CapturingLogWriter(int level = 3);
    ~CapturingLogWriter();

    CapturingLogWriter(const CapturingLogWriter&) = delete;
    CapturingLogWriter& operator=(const CapturingLogWriter&) = delete;

    void SetLevel(int level);
    void Clear();

    std::vector<LogLine> Lines() const;
    std::vector<std::string> Texts() const;
    // Texts of the lines at exactly this level, in order.
    std::vector<std::string> TextsAt(int level) const;
    // Number of lines whose text is exactly `text` (any level / this level).
    int Count(const std::string& text) const;
    int Count(int level, const std::string& text) const;
    bool Has(int level, const std::string& text) const { return Count(level, text) > 0; }
    // Lines written from a function whose signature text contains functionPart
    // (e.g. "CIsilonSnapClient::" for the plug-in's own lines), in order.
    std::vector<LogLine> LinesFrom(const std::string& functionPart) const;
    // "level|text" of those lines, one per line.
    std::string DumpFrom(const std::string& functionPart) const;
    // Lines whose text contains `part`.
    std::vector<LogLine> Containing(const std::string& part) const;
    // Every line as "level|text", one per line: for failure messages.
    std::string Dump() const;

    class Writer;

private:
    boost::shared_ptr<Writer> m_writer;
    boost::shared_ptr<CLogWriterInterface> m_previous;
};

}  // namespace snapscan_test
