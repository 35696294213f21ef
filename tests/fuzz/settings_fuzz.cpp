// The agent's settings file: TZPlatformInfo::getRegInt over a settings.ini of
// arbitrary content, checked against the INI reader it is built on.
#include <string>
#include <vector>

#include "host/TZPlatformInfo.h"
#include "platform/ini_file.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string settings = fuzz::Setup() + "/settings.ini";
    fuzz::WriteFile(settings, data, size, 0644);
    const std::string text(reinterpret_cast<const char*>(data), size);

    snaphost::IniTree tree;
    std::string problem;
    const bool parsed = snaphost::ParseIni(text, tree, problem);
    if (!parsed) FUZZ_CHECK(!problem.empty() && tree.empty());
    // The host's check before a job agrees with the reader: an unreadable file
    // is never taken as a file of unset settings.
    std::string checkProblem;
    if (!parsed) FUZZ_CHECK(!TZPlatformInfo::CheckSettings(checkProblem) && !checkProblem.empty());

    // The keys the plug-in reads, then every key of the file (a few at most).
    std::vector<std::pair<std::string, std::string>> keys = {
        {"~FileSystemAgent", "bBackupFromSnapshotOnly"},
        {"~FileSystemAgent", "nDisableSnapdiffForStreamingBackups"},
        {"~FileSystemAgent", "IsilonChangeListGenerationWaitTime"},
        {"~FileSystemAgent", "nLogLevel"}};
    for (const auto& section : tree.order) {
        for (const auto& key : tree.sections.at(section)) {
            if (keys.size() < 12) keys.emplace_back(section, key.first);
        }
    }

    TZPlatformInfo info;
    for (const auto& [section, key] : keys) {
        std::string value;
        const bool found = snaphost::LookupIni(tree, section, key, value);
        // A value is one line; blanks at its ends are kept only when it was
        // written in quotes, which the reader takes literally.
        if (found) FUZZ_CHECK(value.find('\n') == std::string::npos);
        int expected = 0;
        const bool isInt = found && snaphost::ParseIniInt(value, expected);

        int read = -12345;
        const bool got = info.getRegInt(section, key, &read);
        FUZZ_CHECK(got == isInt);
        FUZZ_CHECK(got ? read == expected : read == -12345);
    }
    return 0;
}
