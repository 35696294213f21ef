#pragma once

#include <cstdio>

// Sole owner of an open stdio file handle. The close result is not examined:
// callers that must know whether the data reached the disk close explicitly.
class auto_fileptr {
public:
    explicit auto_fileptr(FILE* file = nullptr) : m_file(file) {}
    ~auto_fileptr() { reset(nullptr); }

    auto_fileptr(const auto_fileptr&) = delete;
    auto_fileptr& operator=(const auto_fileptr&) = delete;

    FILE* get() const { return m_file; }
    bool is_valid() const { return m_file != nullptr; }

    void reset(FILE* file) {
        if (m_file != nullptr) fclose(m_file);
        m_file = file;
    }

    // Gives up ownership without closing.
    FILE* release() {
        FILE* file = m_file;
        m_file = nullptr;
        return file;
    }

private:
    FILE* m_file;
};
