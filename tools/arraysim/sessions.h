// Login sessions and the checks every API request passes. Not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace arraysim {

struct Session {
    std::string csrf;
    std::string user;
    std::chrono::steady_clock::time_point created, lastUsed;
};

class SessionStore {
public:
    SessionStore(int64_t idleSec, int64_t maxSec) : m_idleSec(idleSec), m_maxSec(maxSec) {}

    // New session id and CSRF token.
    void Open(const std::string& user, std::string& sessionId, std::string& csrf);
    // The live session with this id (touched), or null; expired ones are dropped.
    Session* Use(const std::string& sessionId);
    bool Close(const std::string& sessionId);
    // Replaces a session's id, keeping its CSRF token; returns the new id.
    std::string Rotate(const std::string& sessionId);
    void ExpireAll() { m_sessions.clear(); }
    void SetIdleSeconds(int64_t sec) { m_idleSec = sec; }
    int64_t IdleSeconds() const { return m_idleSec; }
    int64_t MaxSeconds() const { return m_maxSec; }

private:
    int64_t m_idleSec, m_maxSec;
    std::map<std::string, Session> m_sessions;
};

// "user:password" from an "Authorization: Basic ..." header value; false when not Basic or
// malformed.
bool DecodeBasicAuth(const std::string& header, std::string& user, std::string& password);

// The value of cookie `name` in a "Cookie:" header value, "" when absent.
std::string CookieValue(const std::string& header, const std::string& name);

// A random token of 32 lowercase hex digits.
std::string RandomToken();

}  // namespace arraysim
