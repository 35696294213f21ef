#include "tools/arraysim/resume_token.h"

#include <sstream>

namespace arraysim {

std::string EncodeResume(const ResumePoint& point) {
    static const char kHex[] = "0123456789abcdef";
    std::string plain = "v1|" + point.list + "|" + std::to_string(point.limit) + "|" +
                        std::to_string(point.position);
    std::string out;
    for (unsigned char c : plain) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

bool DecodeResume(const std::string& token, ResumePoint& point) {
    if (token.empty() || token.size() % 2 != 0 || token.size() > 512) return false;
    std::string plain;
    for (size_t i = 0; i < token.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char c = token[k];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        plain += static_cast<char>(v);
    }
    std::istringstream in(plain);
    std::string version, list, limit, position, extra;
    if (!std::getline(in, version, '|') || version != "v1" || !std::getline(in, list, '|') ||
        !std::getline(in, limit, '|') || !std::getline(in, position, '|') ||
        std::getline(in, extra)) {
        return false;
    }
    auto digits = [](const std::string& s) {
        return !s.empty() && s.size() < 20 &&
               s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(limit) || !digits(position)) return false;
    try {
        size_t used = 0;
        point.limit = std::stoull(limit, &used);
        if (used != limit.size() || point.limit == 0) return false;
        point.position = std::stoull(position, &used);
        if (used != position.size()) return false;
    } catch (const std::exception&) {
        return false;
    }
    point.list = list;
    return true;
}

}  // namespace arraysim
