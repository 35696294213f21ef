// Failure answers as the array gives them.
#pragma once

#include <string>

namespace arraysim {

struct ApiError {
    int status = 0;    // 0: no error
    std::string code;  // "AEC_NOT_FOUND", ...; empty for answers without a code (401)
    std::string message;

    bool Ok() const { return status == 0; }
    static ApiError NotFound(const std::string& message) { return {404, "AEC_NOT_FOUND", message}; }
    static ApiError Conflict(const std::string& message) { return {409, "AEC_CONFLICT", message}; }
    static ApiError BadRequest(const std::string& message) {
        return {400, "AEC_BAD_REQUEST", message};
    }
};

// {"errors":[{"code":..,"message":..}]}; the code is left out when empty.
std::string ErrorBody(const ApiError& error);

// The web server's own page for a URI that is not part of the API.
std::string HtmlErrorPage(int status, const std::string& path);

}  // namespace arraysim
