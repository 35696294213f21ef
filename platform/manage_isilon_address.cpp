#include "platform/manage_isilon_address.h"

#include <algorithm>
#include <cstdlib>

namespace arrayaddress {
namespace {

constexpr const char* kDefaultPort = "8080";

bool ValidPort(const std::string& port) {
    if (port.empty() || port.size() > 5) return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    long value = std::strtol(port.c_str(), nullptr, 10);
    return value >= 1 && value <= 65535;
}

}  // namespace

bool Parse(const std::string& fileServer, Address& address, std::string& problem) {
    std::string text = fileServer;
    const char* blanks = " \t\r\n";
    text.erase(0, std::min(text.size(), text.find_first_not_of(blanks)));
    text.erase(text.find_last_not_of(blanks) + 1);
    std::string scheme = "https";
    address.plainHttp = false;
    if (text.rfind("http://", 0) == 0) {
        scheme = "http";
        address.plainHttp = true;
        text.erase(0, 7);
    } else if (text.rfind("https://", 0) == 0) {
        text.erase(0, 8);
    }
    while (!text.empty() && text.back() == '/') text.pop_back();
    if (text.empty()) {
        problem = "no file server is given";
        return false;
    }
    // A control byte would cut the URL short (NUL) or make curl refuse it.
    const bool control = std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (control || text.find_first_of("/?#@ \t") != std::string::npos) {
        problem = "file server \"" + fileServer + "\" is not of the form host[:port]";
        return false;
    }
    std::string host, port = kDefaultPort;
    if (text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close == 1 || text.find('[', 1) < close) {
            problem = "file server \"" + fileServer + "\" has a malformed IPv6 address";
            return false;
        }
        host = text.substr(0, close + 1);
        std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                problem = "file server \"" + fileServer + "\" has text after its IPv6 address";
                return false;
            }
            port = rest.substr(1);
        }
    } else if (text.find_first_of("[]") != std::string::npos) {
        problem = "file server \"" + fileServer + "\" has a malformed IPv6 address";
        return false;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        host = "[" + text + "]";
    } else {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) port = text.substr(colon + 1);
    }
    if (host.empty() || !ValidPort(port)) {
        problem = "file server \"" + fileServer + "\" has no host or an invalid port";
        return false;
    }
    address.baseUrl = scheme + "://" + host + ":" + port;
    return true;
}

}  // namespace arrayaddress
