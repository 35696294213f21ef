#pragma once

// Where the array's management service is, from the file server text of the
// credentials: "host", "host:port", "[v6 address]:port" or a bare IPv6 address
// mean https://host:port (port 8080 when absent). A text beginning with
// "http://" means plain HTTP to that address: only the tests and benchmarks use
// it, against the local emulator.

#include <string>

namespace arrayaddress {

struct Address {
    std::string baseUrl;  // scheme://host:port, no trailing "/"
    bool plainHttp = false;
};

// False with a sentence in problem when the text names no usable address.
bool Parse(const std::string& fileServer, Address& address, std::string& problem);

}  // namespace arrayaddress
