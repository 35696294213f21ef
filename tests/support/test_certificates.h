#pragma once

// Throw-away TLS material for tests, made by tests/support/make_test_certs.sh
// (the openssl command, EC keys, a fraction of a second): a CA, a server
// certificate it signed for 127.0.0.1 and localhost, an unrelated CA, and the
// server key's pin. The one way tests make certificates.

#include <string>

namespace snapscan_test {

struct TestCertificates {
    std::string dir;
    std::string ca;       // trust this
    std::string otherCa;  // did not sign the server: trusting it alone must fail
    std::string cert;     // arraysim --cert
    std::string key;      // arraysim --key
    std::string pin;      // "sha256//<base64>", as pinnedPublicKey takes it
    bool ok = false;      // false: see dir + "/make.log"
};

// Makes them in dir (created when missing).
TestCertificates MakeTestCertificates(const std::string& dir);

}  // namespace snapscan_test
