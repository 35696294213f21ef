#include "tests/support/test_certificates.h"

#include <cstdlib>

#include "tests/support/temp_files.h"

namespace snapscan_test {

TestCertificates MakeTestCertificates(const std::string& dir) {
    TestCertificates certs;
    certs.dir = dir;
    certs.ca = dir + "/ca.pem";
    certs.otherCa = dir + "/other-ca.pem";
    certs.cert = dir + "/server.pem";
    certs.key = dir + "/server.key";
    const std::string command = "mkdir -p '" + dir + "' && bash '" SNAPSCAN_MAKE_TEST_CERTS "' '" +
                                dir + "' >'" + dir + "/make.log' 2>&1";
    certs.ok = std::system(command.c_str()) == 0;
    certs.pin = ReadFile(dir + "/pin.txt");
    if (!certs.ok) certs.pin.clear();
    return certs;
}

}  // namespace snapscan_test
