// A minimal agent: calls a host service of libsnaphost through the installed
// headers, then loads the installed plug-in the way the agent does (dlopen and
// the one factory) and makes and destroys a client.
//
//   agent PLUGIN   exit 0 when every step works, else 1 with the reason
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/CFileServerSnapClientBase.h"
#include "host/GetObjectGuid.h"

namespace {

int Fail(const std::string& why) {
    std::fprintf(stderr, "agent: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: agent PLUGIN");

    // One path, spelt two ways, has one identifier of 32 hex digits.
    std::string plain, untidy;
    if (!GetObjectGuid("/ifs/data/projects", 0, '/', plain) ||
        !GetObjectGuid("//ifs//data/projects/", 0, '/', untidy))
        return Fail("GetObjectGuid refused a path");
    if (plain != untidy || plain.size() != 32 ||
        plain.find_first_not_of("0123456789abcdef") != std::string::npos)
        return Fail("GetObjectGuid gave [" + plain + "] and [" + untidy + "]");

    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return Fail(std::string("dlopen: ") + dlerror());
    const auto factory = reinterpret_cast<GetSnapClientFn>(dlsym(library, "GetSnapClient"));
    if (factory == nullptr) return Fail("the plug-in has no GetSnapClient");
    {
        const std::unique_ptr<CFileServerSnapClientBase> client(factory());
        if (!client) return Fail("GetSnapClient returned no client");
    }
    dlclose(library);
    std::printf("agent: libsnaphost and the plug-in work (object id %s)\n", plain.c_str());
    return 0;
}
