// The credentials file: NASSnapUtil over a credentials.ini of arbitrary content
// (mode 0600, so that it is read), and the file server text it hands to the
// array client's address reader.
#include <string>

#include "host/NASSnapUtil.h"
#include "platform/ini_file.h"
#include "platform/manage_isilon_address.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void CheckEntry(NASSnapUtil& util, int clientId) {
    _NASArrayInfo info;
    int id = clientId;
    if (!util.GetArrayNameAndCredentialsByClientId(id, info)) return;
    FUZZ_CHECK(id == clientId);
    FUZZ_CHECK(!info.fileServer.empty() && !info.userName.empty());
    ArrayConnectionOptions options;
    if (util.GetArrayConnectionOptions(info.text0, info.fileServer, options)) {
        FUZZ_CHECK(options.connectTimeoutSeconds > 0 && options.lowSpeedTimeSeconds > 0);
    }
    arrayaddress::Address address;
    std::string problem;
    if (!arrayaddress::Parse(info.fileServer, address, problem)) FUZZ_CHECK(!problem.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string credentials = fuzz::Setup() + "/credentials.ini";
    fuzz::WriteFile(credentials, data, size, 0600);

    NASSnapUtil util;
    for (int clientId : {12, 0, -1}) CheckEntry(util, clientId);

    // Every entry named "client <number>" of the file, a few at most.
    snaphost::IniTree tree;
    std::string problem;
    if (!snaphost::ParseIni(std::string(reinterpret_cast<const char*>(data), size), tree, problem))
        return 0;
    int checked = 0;
    for (const std::string& name : tree.order) {
        if (checked == 4) break;
        if (name.compare(0, 7, "client ") != 0 || name.size() > 17) continue;
        if (name.find_first_not_of("0123456789", 7) != std::string::npos || name.size() == 7)
            continue;
        const unsigned long long number = std::stoull(name.substr(7));
        if (number > 0xFFFFFFFFull) continue;
        CheckEntry(util, static_cast<int>(static_cast<uint32_t>(number)));
        ++checked;
    }
    ArrayConnectionOptions options;
    util.GetArrayConnectionOptions("", "array.example.com", options);
    return 0;
}
