#include "tools/snapscan/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace snapscan {

namespace {

constexpr const char* kPluginName = "libIsilonSnapClient.so";

std::string ExecutableDirectory() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (m_handle != nullptr) ::dlclose(m_handle);
}

bool PluginLibrary::Load(const std::string& path, std::string& error) {
    // RTLD_LOCAL: the plug-in's symbols stay its own, as in the agent; its
    // imports bind to the host library this process already holds.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        error = "cannot load the plug-in " + path + ": " + (reason ? reason : "unknown reason");
        return false;
    }
    ::dlerror();
    void* symbol = ::dlsym(handle, "GetSnapClient");
    if (symbol == nullptr) {
        const char* reason = ::dlerror();
        error =
            "the plug-in " + path + " has no GetSnapClient: " + (reason ? reason : "null symbol");
        ::dlclose(handle);
        return false;
    }
    if (m_handle != nullptr) ::dlclose(m_handle);
    m_handle = handle;
    m_factory = reinterpret_cast<GetSnapClientFn>(symbol);
    return true;
}

std::string DefaultPluginPath() {
    const char* fromEnvironment = std::getenv("SNAPSCAN_PLUGIN");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;

    // One place only, relative to this executable: an installed CLI never falls
    // back to another copy, and a missing plug-in is reported under this path.
    // Without /proc, the installed place itself, never one relative to the
    // working directory.
    const std::string directory = ExecutableDirectory();
    const std::filesystem::path pluginDirectory =
        directory.empty() ? std::filesystem::path(SNAPSCAN_PLUGIN_INSTALL_PATH)
                          : std::filesystem::path(directory) / SNAPSCAN_BIN_TO_PLUGIN_DIR;
    return (pluginDirectory / kPluginName).lexically_normal().string();
}

}  // namespace snapscan
