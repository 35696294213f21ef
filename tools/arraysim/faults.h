// Injected faults: rules matched against each API request before it is served.
//
// A rule (JSON):
//   {"method":"GET",                     any method when missing
//    "path":"/platform/1/snapshot/changelists/",   prefix of the decoded path; any when missing
//    "skip":0,                           let this many matching requests through first
//    "count":1,                          fire this many times; -1: for ever
//    "action":"error",                   error | delay | drop | malformed | truncate | html |
//                                        expire_sessions | rotate_session | body | trickle |
//                                        endless | resume_cycle | drop_entry | add_entry
//    "status":503, "code":"AEC_SERVICE_UNAVAILABLE", "message":"...",   for error and html
//    "body":"...",                       for body: the text that replaces the answer's body
//    "body_hex":"7b7d",                  for body: the same as bytes in hex (bytes JSON cannot
//    hold) "chunk_bytes":2, "interval_ms":1000,  for trickle: bytes per write and the pause between
//    "tokens":["a","b"],                 for resume_cycle: the resume tokens handed out in turn
//    "entry_path":"/ifs/data/x/f1",      for drop_entry and add_entry: the entry's /ifs path
//    "entry_path_hex":"2f696673",        the same as bytes in hex (names that are not UTF-8)
//    "entry_id":"4300020541", "entry_type":"regular",   for add_entry: its LIN and type
//    "delay_ms":0}                       wait this long first (any action; "delay" only waits)
// Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace arraysim {

enum class FaultAction {
    kError,           // answer status + error body instead of serving
    kDelay,           // serve normally after delay_ms
    kDrop,            // close the connection without answering
    kMalformed,       // serve, then replace the body with broken JSON
    kTruncate,        // serve, then cut the body in half and close the connection
    kHtml,            // answer status with an HTML page instead of serving
    kExpireSessions,  // drop every session, then serve (the request itself then needs a login)
    kRotateSession,   // serve, and hand the caller a replacement isisessid
    kBody,            // serve, then replace the body with the rule's text (status kept)
    kTrickle,         // serve, then send the body chunk_bytes at a time, interval_ms apart
    kEndless,         // 200 with a JSON body that never ends (until the peer goes away)
    kResumeCycle,     // serve, with "resume" set to the rule's tokens in turn; a request that
                      // resumes from one of them is served as a first page
    kDropEntry,       // serve a changelist page without its entries at entry_path (a page
                      // without one is served whole): the array forgets a change
    kAddEntry,        // serve a changelist page with one more entry first: the array lists a
                      // change that did not happen
};

struct FaultRule {
    int id = 0;
    std::string method;
    std::string path;
    uint64_t skip = 0;
    int64_t count = 1;
    FaultAction action = FaultAction::kError;
    int status = 0;
    std::string code;
    std::string message;
    std::string body;
    int64_t delayMs = 0;
    uint64_t chunkBytes = 2;
    int64_t intervalMs = 1000;
    std::vector<std::string> tokens;
    std::string entryPath;
    uint64_t entryId = 0;
    std::string entryType = "regular";
    uint64_t seen = 0;  // matching requests so far
    uint64_t fired = 0;
};

bool ParseFaultRule(const nlohmann::json& j, FaultRule& rule, std::string& error);
nlohmann::json FaultRuleToJson(const FaultRule& rule);

class FaultTable {
public:
    // Accepts one rule, an array of rules or {"rules":[...]}; on error nothing is added.
    bool Add(const nlohmann::json& j, std::vector<int>& ids, std::string& error);
    // Counts the request against every matching rule and returns the first that fires.
    std::optional<FaultRule> Match(const std::string& method, const std::string& path);
    void Clear();
    nlohmann::json ToJson() const;

private:
    mutable std::mutex m_mu;
    std::vector<FaultRule> m_rules;
    int m_nextId = 1;
};

}  // namespace arraysim
