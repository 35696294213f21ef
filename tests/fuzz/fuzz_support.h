#pragma once

// What every fuzz target shares: a quiet log writer, a private configuration
// directory on a memory file system, and a check that stops the run loudly.

#include <cstddef>
#include <cstdint>
#include <string>

// The entry point libFuzzer calls; the replay driver calls it too.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// Once per process: points SNAPSCAN_CONFIG_DIR and SNAPSCAN_LOG_DIR at a private
// temporary directory and installs a log writer that formats every line (so
// that format arguments built from the input are exercised) and drops it.
// Returns the directory.
const std::string& Setup();

// Replaces the file at path with the bytes given, with the given mode.
void WriteFile(const std::string& path, const uint8_t* data, size_t size, unsigned mode = 0600);

// A property that must hold whatever the input: prints what broke and aborts,
// which libFuzzer and the replay driver both report as a crash.
[[noreturn]] void Fail(const char* file, int line, const char* condition);

}  // namespace fuzz

#define FUZZ_CHECK(condition)                                           \
    do {                                                                \
        if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, #condition); \
    } while (0)
