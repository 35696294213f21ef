#include "tools/arraysim/api_error.h"

#include <nlohmann/json.hpp>

#include "tools/arraysim/json_bytes.h"

namespace arraysim {

std::string ErrorBody(const ApiError& error) {
    nlohmann::json e = {{"message", error.message}};
    if (!error.code.empty()) e["code"] = error.code;
    return DumpBytes(nlohmann::json{{"errors", nlohmann::json::array({e})}});
}

namespace {

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

const char* Reason(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

}  // namespace

std::string HtmlErrorPage(int status, const std::string& path) {
    std::string title = std::to_string(status) + " " + Reason(status);
    return "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><head>\n<title>" + title +
           "</title>\n</head><body>\n<h1>" + Reason(status) + "</h1>\n<p>The requested URL " +
           HtmlEscape(path) + " could not be served.</p>\n</body></html>\n";
}

}  // namespace arraysim
