// The agent's settings store: settings.ini in the configuration directory, read
// afresh at each lookup so that a changed setting takes effect at once.
#include "host/TZPlatformInfo.h"

#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "platform/ini_file.h"

TZPlatformInfo::TZPlatformInfo() = default;

TZPlatformInfo::~TZPlatformInfo() = default;

bool TZPlatformInfo::getRegInt(const std::string& section, const std::string& key, int* value) {
    if (value == nullptr) return false;
    const std::string path = HostConfig::ConfigDir() + "/settings.ini";
    snaphost::IniTree tree;
    std::string problem;
    switch (snaphost::ReadIniFile(path, tree, problem)) {
        case snaphost::IniFileState::kMissing:
            return false;
        case snaphost::IniFileState::kMalformed:
            SNAP_LOG(-1, "Settings file [%s] cannot be parsed (%s); setting [%s] of [%s] not read",
                     path.c_str(), problem.c_str(), key.c_str(), section.c_str());
            return false;
        case snaphost::IniFileState::kRead:
            break;
    }
    std::string text;
    if (!snaphost::LookupIni(tree, section, key, text)) return false;
    int parsed = 0;
    if (!snaphost::ParseIniInt(text, parsed)) {
        SNAP_LOG(-1, "Setting [%s] of [%s] in [%s] is not an integer: [%s]", key.c_str(),
                 section.c_str(), path.c_str(), text.c_str());
        return false;
    }
    *value = parsed;
    return true;
}

bool TZPlatformInfo::CheckSettings(std::string& problem) {
    const std::string path = HostConfig::ConfigDir() + "/settings.ini";
    snaphost::IniTree tree;
    std::string reason;
    switch (snaphost::ReadIniFile(path, tree, reason)) {
        case snaphost::IniFileState::kMissing:
            return true;
        case snaphost::IniFileState::kMalformed:
            problem = path + ": " + reason;
            return false;
        case snaphost::IniFileState::kRead:
            break;
    }
    // Every setting is read as an integer: a value that is not one would read as
    // "not set", and a flag written "yes" would be silently off.
    for (const std::string& section : tree.order) {
        for (const auto& [key, value] : tree.sections.at(section)) {
            int parsed = 0;
            if (snaphost::ParseIniInt(value.text, parsed)) continue;
            problem = path + ": line " + std::to_string(value.line) + ": setting [" + key +
                      "] of [" + section + "] is not an integer: [" + value.text + "]";
            return false;
        }
    }
    return true;
}
