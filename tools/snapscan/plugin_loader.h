#pragma once

#include <string>

#include "host/CFileServerSnapClientBase.h"

namespace snapscan {

// The snapshot-client plug-in, loaded the way the agent loads it: dlopen, then
// the one exported factory. Stays loaded while the object lives, so every client
// made through it must be destroyed first (its code lives in the library).
class PluginLibrary {
public:
    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // False with the loader's reason when the library or its factory is missing.
    bool Load(const std::string& path, std::string& error);

    GetSnapClientFn Factory() const { return m_factory; }

private:
    void* m_handle = nullptr;
    GetSnapClientFn m_factory = nullptr;
};

// Where the plug-in is when no path is given: $SNAPSCAN_PLUGIN, else the one
// path relative to this executable where the install puts it (<bindir>/../
// <libdir>/snapscan/), which the build tree mirrors. Never a second guess.
std::string DefaultPluginPath();

}  // namespace snapscan
