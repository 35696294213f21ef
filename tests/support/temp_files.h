#pragma once

// Files and environment for tests: a temporary directory removed with its
// content (kept when the test failed), an environment variable set for a
// scope, whole-file reads and writes, a configuration directory with the
// host's settings and credentials files, and a mount-table file.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace snapscan_test {

// A fresh directory under $TMPDIR (or /tmp); removed recursively at the end,
// unless the running test has failed: then it stays for a look, and its path
// is printed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path() + "/" + relative.
    std::string Join(const std::string& relative) const;
    // Creates the directory (with its parents) below Path() and returns its path.
    std::string MakeDir(const std::string& relative) const;
    // Writes a file below Path() (parents created) and returns its path.
    std::string WriteFile(const std::string& relative, const std::string& content,
                          unsigned mode = 0644) const;

private:
    std::string m_path;
};

// Sets (or, with nullopt, unsets) an environment variable until the end of the
// scope, then restores what was there.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_saved;
};

// The whole file, byte for byte; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// The names in a directory, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> DirectoryNames(const std::string& dir);
// Replaces the file's content (parents created); with a mode, chmods it to
// that. A file that cannot be written fails the running test.
void WriteFile(const std::string& path, const std::string& content,
               std::optional<unsigned> mode = std::nullopt);

// The host's configuration and log directories in a temporary directory, named
// by SNAPSCAN_CONFIG_DIR and SNAPSCAN_LOG_DIR while the object lives.
// settings.ini holds one section [~FileSystemAgent]; credentials.ini one section
// "[client <id>]" per client, mode 0600. Both are rewritten at every change.
class TempConfig {
public:
    TempConfig();
    ~TempConfig();
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    std::string ConfigDir() const { return m_dir.Join("config"); }
    std::string LogDir() const { return m_dir.Join("log"); }
    std::string SettingsFile() const { return ConfigDir() + "/settings.ini"; }
    std::string CredentialsFile() const { return ConfigDir() + "/credentials.ini"; }

    // A key of [~FileSystemAgent]; the value is written as given.
    void SetSetting(const std::string& key, const std::string& value);
    void SetSetting(const std::string& key, int value) { SetSetting(key, std::to_string(value)); }
    void RemoveSetting(const std::string& key);

    // One "[client <sectionId>]" entry (sectionId as the lookup spells it).
    void SetCredentials(const std::string& sectionId, const std::string& fileServer,
                        const std::string& user, const std::string& password);
    void SetCredentials(uint32_t clientId, const std::string& fileServer, const std::string& user,
                        const std::string& password) {
        SetCredentials(std::to_string(clientId), fileServer, user, password);
    }
    void RemoveCredentials(const std::string& sectionId);
    // Replaces credentials.ini by this text (mode as given).
    void WriteCredentialsText(const std::string& text, unsigned mode = 0600);

    // A directory for job results and map files, below the temporary directory.
    std::string WorkDir() const { return m_dir.Join("work"); }
    const TempDir& Dir() const { return m_dir; }

private:
    void WriteSettings();
    void WriteCredentials();

    struct Credentials {
        std::string fileServer, user, password;
    };
    TempDir m_dir;
    ScopedEnv m_configEnv;
    ScopedEnv m_logEnv;
    std::map<std::string, std::string> m_settings;
    std::vector<std::pair<std::string, Credentials>> m_credentials;
};

// A mount table in the /proc/self/mounts format, named by SNAPSCAN_MOUNT_TABLE
// while the object lives. Spaces, tabs, newlines and backslashes in a field are
// written as octal escapes, as the kernel writes them.
class MountTableFile {
public:
    struct Mount {
        std::string device;
        std::string mountPoint;
        std::string type = "nfs";
        std::string options = "rw,relatime";
    };

    MountTableFile();
    explicit MountTableFile(const std::vector<Mount>& mounts);
    ~MountTableFile();
    MountTableFile(const MountTableFile&) = delete;
    MountTableFile& operator=(const MountTableFile&) = delete;

    void Set(const std::vector<Mount>& mounts);
    void Add(const std::string& device, const std::string& mountPoint,
             const std::string& type = "nfs");
    // Writes this text as the table, byte for byte.
    void SetRaw(const std::string& text);
    // Points SNAPSCAN_MOUNT_TABLE at a file that does not exist.
    void MakeUnreadable();
    const std::string& Path() const { return m_path; }

private:
    void Write();

    TempDir m_dir;
    std::string m_path;
    ScopedEnv m_env;
    std::vector<Mount> m_mounts;
};

}  // namespace snapscan_test
