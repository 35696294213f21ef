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
    std::string_view operation;  // e.g. "CreateSnapshot"
    std::string_view method;     // "GET", "POST", ...
    std::string_view url;        // scheme://host:port/path, no query, no credentials
    CURLcode curlCode = CURLE_OK;
    std::string_view curlDetail;  // curl's error buffer, may be empty
    long httpStatus = 0;
    std::string* body = nullptr;  // the answer's body (may be padded for parsing)
    std::string_view badBody;     // set: a 2xx answer whose body could not be used
    bool login = false;           // the request was a login or a credentials check
    // Password, session and CSRF tokens: taken out of every text of the array
    // before it is escaped or cut, whatever their length.
    std::vector<std::string_view> secrets;
};

struct Failure {
    std::string code;
    std::string message;
};

// Code: the array's "code" when its error body has one, else the HTTP status as
// decimal text, else one of ManageIsilonError's texts. The message names the
// operation, method and URL and says what happened. Whatever of it came from
// the array is an Excerpt: the array's message and code are never echoed whole.
Failure Describe(simdjson::ondemand::parser& parser, const Outcome& outcome);

// Longest excerpt of the array's texts in a message, and of its error code.
constexpr size_t kMaxExcerptBytes = 200;
constexpr size_t kMaxCodeBytes = 64;

// Text from outside made fit for a one-line message: every occurrence of each
// non-empty secret replaced by "***" first (so no cut can leave a piece of one
// and no escaping can hide one), then control bytes and DEL written as \xNN and
// a backslash as \\ (reversible), then cut to at most maxBytes (an escape is
// never split), "..." marking a cut.
std::string Excerpt(std::string_view text, const std::vector<std::string_view>& secrets,
                    size_t maxBytes);

// The text with every occurrence of each secret (of 4 bytes or more) replaced by
// "***": a last line of defence for texts that came from outside.
std::string ScrubSecrets(std::string text, const std::vector<std::string_view>& secrets);

}  // namespace arrayfailure
