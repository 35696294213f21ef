#pragma once

#include <string>

#include "common/CRwError.h"
#include "common/Records.h"
#include "host/SnapHostExport.h"

// TLS and authentication options of one array, from its credentials entry.
struct SNAPHOST_API ArrayConnectionOptions {
    std::string caFile;           // PEM bundle to verify the array's certificate with
    std::string pinnedPublicKey;  // curl form: "sha256//<base64>" or a PEM/DER file path
    bool insecure = false;        // skip certificate verification (logged at every connection)
    bool basicAuth = false;       // HTTP Basic on every request instead of a session
    long connectTimeoutSeconds = 10;
    long lowSpeedTimeSeconds = 60;  // abort a transfer slower than 1 byte/s for this long
};

// Credential lookup: the INI file "credentials.ini" in the configuration
// directory, one section per client id:
//   [client 12]
//   fileServer = array.example.com:8080   ; host[:port], port 8080 when absent
//   user = backup
//   password = secret
//   caFile = /etc/snapscan/array-ca.pem  ; optional
//   pinnedPublicKey = sha256//...         ; optional
//   insecure = 0                          ; optional, 1 skips TLS verification
//   auth = session                        ; or basic
//   connectTimeoutSeconds = 10            ; optional
//   lowSpeedTimeSeconds = 60              ; optional
// A ";" or "#" after a blank starts a comment; a value in double quotes is taken
// literally, so a password holding " ;" or " #" is written password = "a ;b#c".
// The client id of the section is the unsigned 32-bit number, even when it
// reaches the lookup as a negative int. The file is refused (lookup false, a
// level -1 line naming the file and the reason) unless it is a regular file
// owned by the user running, not reachable by group or others, not a link, in a
// directory others cannot write; and unless every line of it reads exactly
// (see platform/ini_file.h). Nothing here ever logs a password.
class SNAPHOST_API NASSnapUtil {
public:
    NASSnapUtil();
    ~NASSnapUtil();

    CRwError Initialize();

    // True: info holds the entry's file server, user name and password (text0
    // holds the section name). False: no usable entry for the client; logged at -1.
    bool GetArrayNameAndCredentialsByClientId(int& clientId, _NASArrayInfo& info);

    // The TLS and authentication options of the entry named section (text0 of the
    // entry's _NASArrayInfo), which must give fileServer. With an empty section,
    // those of the entries that give fileServer, when they all agree. False when
    // there is none, they disagree, a value is not valid or the file is refused;
    // options then keep what they held.
    bool GetArrayConnectionOptions(const std::string& section, const std::string& fileServer,
                                   ArrayConnectionOptions& options);

    // Whether the file can be read exactly and the entry of clientId is usable
    // (file server, user, password, valid options), without contacting the
    // array. False with "<file>: reason" in problem (never a value).
    bool CheckCredentials(int clientId, std::string& problem);
};
