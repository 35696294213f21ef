#include "tests/support/temp_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace snapscan_test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/snapscan-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    m_path = pattern;
}

TempDir::~TempDir() {
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "Kept the failed test's directory %s\n", m_path.c_str());
        return;
    }
    std::error_code ignored;
    // Tests may leave directories without write permission behind.
    for (auto it = fs::recursive_directory_iterator(m_path, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(m_path, ignored);
}

std::string TempDir::Join(const std::string& relative) const { return m_path + "/" + relative; }

std::string TempDir::MakeDir(const std::string& relative) const {
    const std::string path = Join(relative);
    fs::create_directories(path);
    return path;
}

std::string TempDir::WriteFile(const std::string& relative, const std::string& content,
                               unsigned mode) const {
    const std::string path = Join(relative);
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path);
        out << content;
    }
    chmod(path.c_str(), mode);
    return path;
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content, std::optional<unsigned> mode) {
    std::error_code ignored;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent, ignored);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.good()) ADD_FAILURE() << "cannot write " << path;
    }
    if (mode && chmod(path.c_str(), *mode) != 0) ADD_FAILURE() << "cannot chmod " << path;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::string>& value)
    : m_name(name) {
    if (const char* old = std::getenv(name.c_str())) m_saved = std::string(old);
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (m_saved)
        setenv(m_name.c_str(), m_saved->c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

TempConfig::TempConfig()
    : m_configEnv("SNAPSCAN_CONFIG_DIR", m_dir.MakeDir("config")),
      m_logEnv("SNAPSCAN_LOG_DIR", m_dir.MakeDir("log")) {
    m_dir.MakeDir("work");
    WriteSettings();
    WriteCredentials();
}

TempConfig::~TempConfig() = default;

void TempConfig::SetSetting(const std::string& key, const std::string& value) {
    m_settings[key] = value;
    WriteSettings();
}

void TempConfig::RemoveSetting(const std::string& key) {
    m_settings.erase(key);
    WriteSettings();
}

void TempConfig::SetCredentials(const std::string& sectionId, const std::string& fileServer,
                                const std::string& user, const std::string& password) {
    RemoveCredentials(sectionId);
    m_credentials.push_back({sectionId, Credentials{fileServer, user, password}});
    WriteCredentials();
}

void TempConfig::RemoveCredentials(const std::string& sectionId) {
    for (auto it = m_credentials.begin(); it != m_credentials.end(); ++it) {
        if (it->first == sectionId) {
            m_credentials.erase(it);
            break;
        }
    }
    WriteCredentials();
}

void TempConfig::WriteCredentialsText(const std::string& text, unsigned mode) {
    m_dir.WriteFile("config/credentials.ini", text, mode);
}

void TempConfig::WriteSettings() {
    std::string text = "[~FileSystemAgent]\n";
    for (const auto& [key, value] : m_settings) text += key + " = " + value + "\n";
    m_dir.WriteFile("config/settings.ini", text, 0644);
}

void TempConfig::WriteCredentials() {
    std::string text;
    for (const auto& [id, c] : m_credentials) {
        text += "[client " + id + "]\n";
        text += "fileServer = " + c.fileServer + "\n";
        text += "user = " + c.user + "\n";
        text += "password = " + c.password + "\n\n";
    }
    WriteCredentialsText(text, 0600);
}

namespace {

std::string EscapeMountField(const std::string& field) {
    std::string out;
    for (unsigned char c : field) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[5];
            snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

MountTableFile::MountTableFile()
    : m_path(m_dir.Join("mounts")), m_env("SNAPSCAN_MOUNT_TABLE", m_path) {
    Write();
}

MountTableFile::MountTableFile(const std::vector<Mount>& mounts) : MountTableFile() { Set(mounts); }

MountTableFile::~MountTableFile() = default;

void MountTableFile::Set(const std::vector<Mount>& mounts) {
    m_mounts = mounts;
    Write();
}

void MountTableFile::Add(const std::string& device, const std::string& mountPoint,
                         const std::string& type) {
    m_mounts.push_back(Mount{device, mountPoint, type, "rw,relatime"});
    Write();
}

void MountTableFile::SetRaw(const std::string& text) { m_dir.WriteFile("mounts", text); }

void MountTableFile::MakeUnreadable() {
    setenv("SNAPSCAN_MOUNT_TABLE", m_dir.Join("no-such-mount-table").c_str(), 1);
}

void MountTableFile::Write() {
    std::string text;
    for (const Mount& m : m_mounts) {
        text += EscapeMountField(m.device) + " " + EscapeMountField(m.mountPoint) + " " + m.type +
                " " + m.options + " 0 0\n";
    }
    m_dir.WriteFile("mounts", text);
}

}  // namespace snapscan_test
