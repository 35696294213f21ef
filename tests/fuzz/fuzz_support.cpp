#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <boost/make_shared.hpp>

#include "host/LogWriter.h"

namespace fuzz {
namespace {

class FormattingNullWriter : public CLogWriterInterface {
public:
    void Write(int /*level*/, const char* function, int /*line*/, int /*reserved1*/,
               int /*reserved2*/, const char* format, ...) override {
        char text[1024];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (function == nullptr) abort();
    }

    // The finest level, so that every line of the code under test is formatted.
    int GetLevel() override { return 3; }
};

std::string g_directory;

void RemoveDirectory() {
    std::error_code ignored;
    if (!g_directory.empty()) std::filesystem::remove_all(g_directory, ignored);
}

// SNAPSCAN_FUZZ_TMP when set (the fuzz script's own directory), else /dev/shm
// when usable, else the usual temporary directory.
std::string Parent() {
    const char* chosen = getenv("SNAPSCAN_FUZZ_TMP");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
    const char* tmp = getenv("TMPDIR");
    return (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
}

}  // namespace

const std::string& Setup() {
    static const bool done = [] {
        std::string pattern = Parent() + "/snapscan-fuzz-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            perror("fuzz: mkdtemp");
            abort();
        }
        g_directory = pattern;
        atexit(RemoveDirectory);
        setenv("SNAPSCAN_CONFIG_DIR", g_directory.c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", g_directory.c_str(), 1);
        g_ptrLogWriter = boost::make_shared<FormattingNullWriter>();
        return true;
    }();
    (void)done;
    return g_directory;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size, unsigned mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    if (fchmod(fd, mode) != 0) abort();
    size_t written = 0;
    while (written < size) {
        const ssize_t done = write(fd, data + written, size - written);
        if (done <= 0) {
            perror(path.c_str());
            abort();
        }
        written += static_cast<size_t>(done);
    }
    close(fd);
}

void Fail(const char* file, int line, const char* condition) {
    fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    fflush(stderr);
    abort();
}

}  // namespace fuzz
