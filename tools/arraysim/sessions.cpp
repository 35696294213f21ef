#include "tools/arraysim/sessions.h"

#include <random>

namespace arraysim {

std::string RandomToken() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 2; ++i) {
        uint64_t v = rng();
        for (int j = 0; j < 16; ++j, v >>= 4) out += kHex[v & 15];
    }
    return out;
}

void SessionStore::Open(const std::string& user, std::string& sessionId, std::string& csrf) {
    Session s;
    s.user = user;
    s.csrf = RandomToken();
    s.created = s.lastUsed = std::chrono::steady_clock::now();
    sessionId = RandomToken();
    csrf = s.csrf;
    m_sessions[sessionId] = s;
}

Session* SessionStore::Use(const std::string& sessionId) {
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end()) return nullptr;
    auto now = std::chrono::steady_clock::now();
    if (now - it->second.lastUsed >= std::chrono::seconds(m_idleSec) ||
        now - it->second.created >= std::chrono::seconds(m_maxSec)) {
        m_sessions.erase(it);
        return nullptr;
    }
    it->second.lastUsed = now;
    return &it->second;
}

bool SessionStore::Close(const std::string& sessionId) { return m_sessions.erase(sessionId) > 0; }

std::string SessionStore::Rotate(const std::string& sessionId) {
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end()) return "";
    Session s = it->second;
    m_sessions.erase(it);
    std::string id = RandomToken();
    m_sessions[id] = s;
    return id;
}

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool Base64Decode(const std::string& in, std::string& out) {
    uint32_t acc = 0;
    int bits = 0;
    size_t i = 0;
    for (; i < in.size() && in[i] != '='; ++i) {
        int v = Base64Value(in[i]);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    for (; i < in.size(); ++i) {
        if (in[i] != '=') return false;
    }
    return true;
}

}  // namespace

bool DecodeBasicAuth(const std::string& header, std::string& user, std::string& password) {
    const std::string prefix = "Basic ";
    if (header.compare(0, prefix.size(), prefix) != 0) return false;
    std::string decoded;
    if (!Base64Decode(header.substr(prefix.size()), decoded)) return false;
    size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

std::string CookieValue(const std::string& header, const std::string& name) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos) end = header.size();
        std::string pair = header.substr(pos, end - pos);
        size_t start = pair.find_first_not_of(' ');
        if (start != std::string::npos) pair = pair.substr(start);
        size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.compare(0, eq, name) == 0 && eq == name.size()) {
            return pair.substr(eq + 1);
        }
        pos = end + 1;
    }
    return "";
}

}  // namespace arraysim
