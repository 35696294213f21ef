// Replays files through a fuzz target's entry point, for builds without
// libFuzzer: every file named, and every file below every directory named, in
// name order. A crash or a broken property aborts; a run that found no file at
// all fails too, so that a moved corpus cannot pass unnoticed.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path named(argv[i]);
        if (fs::is_directory(named)) {
            for (const auto& entry : fs::recursive_directory_iterator(named)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else if (fs::is_regular_file(named)) {
            files.push_back(named);
        } else {
            // A target without regressions has no folder for them.
            fprintf(stderr, "replay: %s skipped (not found)\n", argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        if (!in.eof() && in.fail()) {
            fprintf(stderr, "replay: %s cannot be read\n", file.c_str());
            return 1;
        }
        fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    if (files.empty()) {
        fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    printf("replay: %zu inputs\n", files.size());
    return 0;
}
