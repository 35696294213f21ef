#include "platform/manage_isilon_failure.h"

#include <algorithm>

#include "host/ManageIsilon.h"
#include "platform/manage_isilon_json.h"

namespace arrayfailure {
namespace {

std::string ScrubAll(std::string_view text, const std::vector<std::string_view>& secrets) {
    std::string out(text);
    for (std::string_view secret : secrets) {
        if (secret.empty()) continue;
        for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at + 3))
            out.replace(at, secret.size(), "***");
    }
    return out;
}

struct TransportKind {
    const char* code;
    const char* what;
};

TransportKind Classify(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return {ManageIsilonError::kConnect, "could not connect"};
        case CURLE_OPERATION_TIMEDOUT:
            return {ManageIsilonError::kTimeout, "timed out"};
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return {ManageIsilonError::kTls, "TLS failed"};
        case CURLE_WRITE_ERROR:
        case CURLE_FILESIZE_EXCEEDED:
            return {ManageIsilonError::kTransport, "the answer was refused (too large)"};
        default:
            return {ManageIsilonError::kTransport, "transfer failed"};
    }
}

}  // namespace

std::string Excerpt(std::string_view text, const std::vector<std::string_view>& secrets,
                    size_t maxBytes) {
    static const char kHex[] = "0123456789abcdef";
    const std::string scrubbed = ScrubAll(text, secrets);
    std::string out;
    out.reserve(std::min(scrubbed.size(), maxBytes) + 3);
    char unit[4];
    for (size_t i = 0; i < scrubbed.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(scrubbed[i]);
        size_t size = 1;
        unit[0] = static_cast<char>(c);
        if (c == '\\') {
            unit[1] = '\\';
            size = 2;
        } else if (c < 0x20 || c == 0x7f) {
            unit[0] = '\\';
            unit[1] = 'x';
            unit[2] = kHex[c >> 4];
            unit[3] = kHex[c & 0xf];
            size = 4;
        }
        if (out.size() + size > maxBytes) {
            out += "...";
            break;
        }
        out.append(unit, size);
    }
    return out;
}

Failure Describe(simdjson::ondemand::parser& parser, const Outcome& outcome) {
    const auto Printable = [&](std::string_view text) {
        return Excerpt(text, outcome.secrets, kMaxExcerptBytes);
    };
    Failure failure;
    std::string request = std::string(outcome.operation) + ": " + std::string(outcome.method) +
                          " " + std::string(outcome.url);
    if (outcome.curlCode != CURLE_OK) {
        TransportKind kind = Classify(outcome.curlCode);
        failure.code = kind.code;
        failure.message = request + " " + kind.what + " (" + curl_easy_strerror(outcome.curlCode);
        if (!outcome.curlDetail.empty()) failure.message += ": " + Printable(outcome.curlDetail);
        failure.message += ")";
        return failure;
    }
    std::string status = std::to_string(outcome.httpStatus);
    if (outcome.httpStatus >= 200 && outcome.httpStatus < 300) {
        failure.code = ManageIsilonError::kBadResponse;
        failure.message =
            request + " answered HTTP " + status + " with an unusable body: " +
            (outcome.badBody.empty() ? std::string("no details") : Printable(outcome.badBody));
        return failure;
    }
    arrayjson::ErrorBody error;
    if (outcome.body)
        error = arrayjson::ParseErrorBody(parser, *outcome.body);
    else
        error.description = "no body";
    if (error.hasCode) error.code = Excerpt(error.code, outcome.secrets, kMaxCodeBytes);
    failure.code = error.hasCode ? error.code : status;
    if (outcome.login && (outcome.httpStatus == 401 || outcome.httpStatus == 403))
        failure.code = ManageIsilonError::kAuth;
    failure.message = request + " answered HTTP " + status;
    if (error.hasCode) failure.message += " " + error.code;
    if (outcome.login && failure.code == ManageIsilonError::kAuth)
        failure.message += " (the array refused the user name or password)";
    failure.message += ": ";
    if (!error.message.empty())
        failure.message += Printable(error.message);
    else if (error.isJson)
        failure.message += "no error message";
    else
        failure.message += Printable(error.description);
    return failure;
}

std::string ScrubSecrets(std::string text, const std::vector<std::string_view>& secrets) {
    for (std::string_view secret : secrets) {
        if (secret.size() < 4) continue;
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), "***");
    }
    return text;
}

}  // namespace arrayfailure
