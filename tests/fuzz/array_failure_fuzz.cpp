// The conversion of a failed request into the array client's error code and
// message, and the scrubbing of secrets from texts that came from outside.
// Bytes 0-3 pick the transfer result, the HTTP status and the kind of request;
// the rest is the answer's body, its first line also standing for a secret.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <simdjson.h>

#include "platform/manage_isilon_failure.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr CURLcode kCurlCodes[] = {CURLE_OK,
                                   CURLE_OK,
                                   CURLE_OK,
                                   CURLE_OK,
                                   CURLE_COULDNT_RESOLVE_HOST,
                                   CURLE_COULDNT_CONNECT,
                                   CURLE_OPERATION_TIMEDOUT,
                                   CURLE_SSL_CONNECT_ERROR,
                                   CURLE_PEER_FAILED_VERIFICATION,
                                   CURLE_WRITE_ERROR,
                                   CURLE_RECV_ERROR,
                                   CURLE_GOT_NOTHING};
constexpr long kStatuses[] = {200, 201, 204, 400, 401, 403, 404, 409, 500, 503, 0, 999};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Setup();
    if (size < 4) return 0;
    static simdjson::ondemand::parser parser;
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
    std::string body = text;

    arrayfailure::Outcome outcome;
    outcome.operation = "GetSnapshots";
    outcome.method = "GET";
    outcome.url = "https://array.example:8080/platform/1/snapshot/snapshots";
    outcome.curlCode = kCurlCodes[data[0] % std::size(kCurlCodes)];
    outcome.httpStatus = data[1] < 240 ? kStatuses[data[1] % std::size(kStatuses)]
                                       : static_cast<long>(data[1]) * 256 + data[2];
    outcome.login = (data[3] & 1) != 0;
    if ((data[3] & 2) == 0) outcome.body = &body;
    if ((data[3] & 4) != 0) outcome.badBody = text;
    if ((data[3] & 8) != 0) outcome.curlDetail = text;
    outcome.secrets = {
        std::string_view(text).substr(0, std::min<size_t>(data[2] % 6, text.size()))};

    const arrayfailure::Failure failure = arrayfailure::Describe(parser, outcome);
    FUZZ_CHECK(body == text);
    FUZZ_CHECK(!failure.code.empty());
    FUZZ_CHECK(failure.message.compare(0, outcome.operation.size(), outcome.operation) == 0);

    // No secret may survive scrubbing: the first line of the body as one secret,
    // every blank-separated word of the message as others.
    std::vector<std::string> secrets{text.substr(0, text.find('\n'))};
    for (size_t at = 0; at < failure.message.size() && secrets.size() < 16;) {
        const size_t end = std::min(failure.message.find(' ', at), failure.message.size());
        secrets.push_back(failure.message.substr(at, end - at));
        at = end + 1;
    }
    // Excerpts of the array's texts: one short line, and no secret of any
    // length survives, wherever the cut falls.
    const std::string secret = text.substr(0, std::min<size_t>(data[2] % 8, text.size()));
    const size_t maxBytes = data[3] % 64;
    const std::string excerpt = arrayfailure::Excerpt(text, {secret}, maxBytes);
    FUZZ_CHECK(excerpt.size() <= maxBytes + 3);
    for (char c : excerpt) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    // An escape (\xNN, \\) may spell a secret that starts with x, a hex digit
    // or holds a backslash without the text holding it, and plain text may
    // spell the escape of a secret that holds a control byte: such secrets are
    // left out.
    const bool control = std::any_of(secret.begin(), secret.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    const bool spellable =
        !secret.empty() && (std::isxdigit(static_cast<unsigned char>(secret[0])) ||
                            secret[0] == 'x' || control || secret.find('\\') != std::string::npos);
    if (!secret.empty() && !spellable && secret.find('*') == std::string::npos) {
        const std::string whole = arrayfailure::Excerpt(text, {secret}, std::string::npos - 8);
        FUZZ_CHECK(whole.find(arrayfailure::Excerpt(secret, {}, std::string::npos - 8)) ==
                   std::string::npos);
    }

    std::vector<std::string_view> views(secrets.begin(), secrets.end());
    const std::string scrubbed = arrayfailure::ScrubSecrets(failure.message, views);
    for (std::string_view secret : views) {
        // "***" is what a secret becomes: a secret made of it may reappear.
        if (secret.size() < 4 || secret.find('*') != std::string_view::npos) continue;
        FUZZ_CHECK(scrubbed.find(secret) == std::string::npos);
    }
    return 0;
}
