// The file server text of the credentials into the base URL of the array's
// management service. A URL it makes must be one it reads back as itself.
#include <string>

#include "platform/manage_isilon_address.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    const std::string text(reinterpret_cast<const char*>(data), size);
    arrayaddress::Address address;
    std::string problem;
    if (!arrayaddress::Parse(text, address, problem)) {
        FUZZ_CHECK(!problem.empty());
        return 0;
    }
    const std::string scheme = address.plainHttp ? "http://" : "https://";
    FUZZ_CHECK(address.baseUrl.compare(0, scheme.size(), scheme) == 0);
    const std::string authority = address.baseUrl.substr(scheme.size());
    FUZZ_CHECK(!authority.empty());
    for (char c : authority) {
        const unsigned char u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u > 0x20 && u != 0x7f && c != '/' && c != '?' && c != '#' && c != '@');
    }
    // Brackets only enclose an IPv6 address.
    const size_t close = authority.find(']');
    if (authority[0] == '[') {
        FUZZ_CHECK(close != std::string::npos && authority.find('[', 1) == std::string::npos);
        FUZZ_CHECK(authority.find(']', close + 1) == std::string::npos);
        FUZZ_CHECK(authority.compare(close, 2, "]:") == 0);
    } else {
        FUZZ_CHECK(authority.find_first_of("[]") == std::string::npos);
    }

    arrayaddress::Address again;
    FUZZ_CHECK(arrayaddress::Parse(address.baseUrl, again, problem));
    FUZZ_CHECK(again.baseUrl == address.baseUrl);
    FUZZ_CHECK(again.plainHttp == address.plainHttp);
    return 0;
}
