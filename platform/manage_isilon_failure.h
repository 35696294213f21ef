#pragma once

// The one place where whatever went wrong outside this process (curl, the HTTP
// status, the array's error body, an unusable answer) becomes the array client's
// last-error code text and message.

#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>
#include <simdjson.h>

namespace arrayfailure {

// What one request ended with.
struct Outcome {
    std::string_view operation;   // e.g. "CreateSnapshot"
    std::string_view method;      // "GET", "POST", ...
    std::string_view url;         // scheme://host:port/path, no query, no credentials
    CURLcode curlCode = CURLE_OK;
    std::string_view curlDetail;  // curl's error buffer, may be empty
    long httpStatus = 0;
    std::string* body = nullptr;  // the answer's body (may be padded for parsing)
    std::string_view badBody;     // set: a 2xx answer whose body could not be used
    bool login = false;           // the request was a login or a credentials check
};

struct Failure {
    std::string code;
    std::string message;
};

// Code: the array's "code" when its error body has one, else the HTTP status as
// decimal text, else one of ManageIsilonError's texts. The message names the
// operation, method and URL and says what happened.
Failure Describe(simdjson::ondemand::parser& parser, const Outcome& outcome);

// The text with every occurrence of each secret (of 4 bytes or more) replaced by
// "***": a last line of defence for texts that came from outside.
std::string ScrubSecrets(std::string text, const std::vector<std::string_view>& secrets);

}  // namespace arrayfailure
