// The plug-in as the agent meets it: a shared library loaded with dlopen whose
// only function of its own in the dynamic symbol table is GetSnapClient.
#include <dlfcn.h>
#include <elf.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/CFileServerSnapClientBase.h"
#include "host/FXErrorUtil.h"

namespace {

struct DynamicSymbols {
    std::set<std::string> functions;  // defined, global or weak
    std::set<std::string> objects;    // defined data, global or weak
    std::set<std::string> undefined;
};

// Reads .dynsym of a 64-bit little-endian ELF file; fails the test on a file
// that is not one.
DynamicSymbols ReadDynamicSymbols(const std::string& path) {
    DynamicSymbols symbols;
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    if (image.size() < sizeof(Elf64_Ehdr)) {
        ADD_FAILURE() << path << " is too short for an ELF header";
        return symbols;
    }
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        ADD_FAILURE() << path << " is not a 64-bit ELF file";
        return symbols;
    }
    const auto section = [&](size_t index) {
        Elf64_Shdr s;
        std::memcpy(&s, image.data() + header.e_shoff + index * header.e_shentsize, sizeof s);
        return s;
    };
    if (header.e_shoff + static_cast<size_t>(header.e_shnum) * header.e_shentsize > image.size()) {
        ADD_FAILURE() << "section headers out of the file";
        return symbols;
    }
    bool found = false;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr dynsym = section(i);
        if (dynsym.sh_type != SHT_DYNSYM) continue;
        found = true;
        const Elf64_Shdr strtab = section(dynsym.sh_link);
        if (dynsym.sh_offset + dynsym.sh_size > image.size() ||
            strtab.sh_offset + strtab.sh_size > image.size()) {
            ADD_FAILURE() << "symbol table out of the file";
            return symbols;
        }
        for (size_t at = 0; at + sizeof(Elf64_Sym) <= dynsym.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            std::memcpy(&sym, image.data() + dynsym.sh_offset + at, sizeof sym);
            if (sym.st_name == 0 || sym.st_name >= strtab.sh_size) continue;
            const std::string name(image.data() + strtab.sh_offset + sym.st_name);
            const int bind = ELF64_ST_BIND(sym.st_info);
            const int type = ELF64_ST_TYPE(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF) {
                symbols.undefined.insert(name);
            } else if (bind == STB_GLOBAL || bind == STB_WEAK || bind == STB_GNU_UNIQUE) {
                if (type == STT_FUNC || type == STT_GNU_IFUNC)
                    symbols.functions.insert(name);
                else if (type == STT_OBJECT || type == STT_TLS || type == STT_COMMON)
                    symbols.objects.insert(name);
            }
        }
    }
    EXPECT_TRUE(found) << path << " has no dynamic symbol table";
    return symbols;
}

TEST(PluginLoadTest, ExportsGetSnapClientAndNothingElseOfOurs) {
    const DynamicSymbols symbols = ReadDynamicSymbols(SNAPSCAN_PLUGIN_PATH);
    EXPECT_EQ(symbols.functions, (std::set<std::string>{"GetSnapClient"}));
    EXPECT_EQ(symbols.objects, std::set<std::string>());
    // The host services come from the host, not from a copy inside the plug-in.
    EXPECT_TRUE(symbols.undefined.count("g_ptrLogWriter")) << "log writer not imported";
    EXPECT_TRUE(symbols.undefined.count("GetObjectGuid"));
}

class TempConfigDir {
public:
    TempConfigDir() {
        char pattern[] = "/tmp/snapscan-load-XXXXXX";
        m_dir = mkdtemp(pattern) ? pattern : "";
        setenv("SNAPSCAN_CONFIG_DIR", m_dir.c_str(), 1);
        setenv("SNAPSCAN_LOG_DIR", m_dir.c_str(), 1);
    }
    ~TempConfigDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

private:
    std::string m_dir;
};

TEST(PluginLoadTest, ClientIsMadeAndDestroyedThroughTheInterface) {
    TempConfigDir config;  // no credentials at all
    void* library = dlopen(SNAPSCAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto getSnapClient = reinterpret_cast<GetSnapClientFn>(dlsym(library, "GetSnapClient"));
    ASSERT_NE(getSnapClient, nullptr) << dlerror();
    EXPECT_EQ(dlsym(library, "_ZN17CIsilonSnapClientC1Ev"), nullptr);  // the class stays inside

    CFileServerSnapClientBase* client = getSnapClient();
    ASSERT_NE(client, nullptr);
    // One call through the vtable into the real host services.
    const CRwError result = client->InitArray(12);
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(result), 1627u);
    EXPECT_EQ(FXErrorUtil::MessageOf(result), "Unable to get array credentials.");
    std::set<std::string> none;
    const CRwError cleanup = client->CleanupSnapshot(none);
    EXPECT_EQ(FXErrorUtil::Win32CodeOf(cleanup), 1359u);
    delete client;
    EXPECT_EQ(dlclose(library), 0);
}

}  // namespace
