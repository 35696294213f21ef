#include "tests/doubles/capturing_log_writer.h"

#include <cstdarg>
#include <cstdio>

#include <boost/make_shared.hpp>

namespace snapscan_test {

class CapturingLogWriter::Writer : public CLogWriterInterface {
public:
    explicit Writer(int level) : m_level(level) {}

    void Write(int level, const char* function, int line, int, int, const char* format,
               ...) override {
        if (level >= 0 && level > GetLevel()) return;
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        const int needed = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string text;
        if (needed > 0) {
            text.resize(static_cast<size_t>(needed) + 1);
            vsnprintf(&text[0], text.size(), format, args);
            text.resize(static_cast<size_t>(needed));
        }
        va_end(args);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(LogLine{level, function ? function : "", line, std::move(text)});
    }

    int GetLevel() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_level;
    }

    mutable std::mutex m_mutex;
    int m_level;
    std::vector<LogLine> m_lines;
};

CapturingLogWriter::CapturingLogWriter(int level)
    : m_writer(boost::make_shared<Writer>(level)), m_previous(g_ptrLogWriter) {
    g_ptrLogWriter = m_writer;
}

CapturingLogWriter::~CapturingLogWriter() { g_ptrLogWriter = m_previous; }

void CapturingLogWriter::SetLevel(int level) {
    std::lock_guard<std::mutex> lock(m_writer->m_mutex);
    m_writer->m_level = level;
}

void CapturingLogWriter::Clear() {
    std::lock_guard<std::mutex> lock(m_writer->m_mutex);
    m_writer->m_lines.clear();
}

std::vector<LogLine> CapturingLogWriter::Lines() const {
    std::lock_guard<std::mutex> lock(m_writer->m_mutex);
    return m_writer->m_lines;
}

std::vector<std::string> CapturingLogWriter::Texts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : Lines()) texts.push_back(line.text);
    return texts;
}

std::vector<std::string> CapturingLogWriter::TextsAt(int level) const {
    std::vector<std::string> texts;
    for (const LogLine& line : Lines())
        if (line.level == level) texts.push_back(line.text);
    return texts;
}

int CapturingLogWriter::Count(const std::string& text) const {
    int count = 0;
    for (const LogLine& line : Lines())
        if (line.text == text) ++count;
    return count;
}

int CapturingLogWriter::Count(int level, const std::string& text) const {
    int count = 0;
    for (const LogLine& line : Lines())
        if (line.level == level && line.text == text) ++count;
    return count;
}

std::vector<LogLine> CapturingLogWriter::LinesFrom(const std::string& functionPart) const {
    std::vector<LogLine> found;
    for (const LogLine& line : Lines())
        if (line.function.find(functionPart) != std::string::npos) found.push_back(line);
    return found;
}

std::string CapturingLogWriter::DumpFrom(const std::string& functionPart) const {
    std::string all;
    for (const LogLine& line : LinesFrom(functionPart))
        all += std::to_string(line.level) + "|" + line.text + "\n";
    return all;
}

std::vector<LogLine> CapturingLogWriter::Containing(const std::string& part) const {
    std::vector<LogLine> found;
    for (const LogLine& line : Lines())
        if (line.text.find(part) != std::string::npos) found.push_back(line);
    return found;
}

std::string CapturingLogWriter::Dump() const {
    std::string all;
    for (const LogLine& line : Lines()) all += std::to_string(line.level) + "|" + line.text + "\n";
    return all;
}

}  // namespace snapscan_test
