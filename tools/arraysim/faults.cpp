#include "tools/arraysim/faults.h"

namespace arraysim {

namespace {

struct ActionName {
    FaultAction action;
    const char* name;
};

constexpr ActionName kActions[] = {
    {FaultAction::kError, "error"},
    {FaultAction::kDelay, "delay"},
    {FaultAction::kDrop, "drop"},
    {FaultAction::kMalformed, "malformed"},
    {FaultAction::kTruncate, "truncate"},
    {FaultAction::kHtml, "html"},
    {FaultAction::kExpireSessions, "expire_sessions"},
    {FaultAction::kRotateSession, "rotate_session"},
    {FaultAction::kBody, "body"},
    {FaultAction::kTrickle, "trickle"},
    {FaultAction::kEndless, "endless"},
    {FaultAction::kResumeCycle, "resume_cycle"},
    {FaultAction::kDropEntry, "drop_entry"},
    {FaultAction::kAddEntry, "add_entry"},
};

bool FromHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (size_t k = i; k < i + 2; ++k) {
            const char c = hex[k];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            value = value * 16 + d;
        }
        bytes.push_back(static_cast<char>(value));
    }
    return true;
}

const char* NameOf(FaultAction a) {
    for (const auto& an : kActions) {
        if (an.action == a) return an.name;
    }
    return "?";
}

}  // namespace

bool ParseFaultRule(const nlohmann::json& j, FaultRule& rule, std::string& error) {
    if (!j.is_object()) {
        error = "a fault rule must be a JSON object";
        return false;
    }
    try {
        static const char* kKeys[] = {
            "method",      "path",    "skip",       "count",          "action",   "status",
            "code",        "message", "body",       "delay_ms",       "body_hex", "chunk_bytes",
            "interval_ms", "tokens",  "entry_path", "entry_path_hex", "entry_id", "entry_type"};
        for (const auto& item : j.items()) {
            bool known = false;
            for (const char* k : kKeys) known = known || item.key() == k;
            if (!known) {
                error = "unknown fault rule key '" + item.key() + "'";
                return false;
            }
        }
        FaultRule r;
        r.method = j.value("method", "");
        r.path = j.value("path", "");
        r.skip = j.value("skip", uint64_t{0});
        r.count = j.value("count", int64_t{1});
        r.status = j.value("status", 0);
        r.code = j.value("code", "");
        r.message = j.value("message", "");
        r.body = j.value("body", "");
        r.delayMs = j.value("delay_ms", int64_t{0});
        r.chunkBytes = j.value("chunk_bytes", uint64_t{2});
        r.intervalMs = j.value("interval_ms", int64_t{1000});
        r.tokens = j.value("tokens", std::vector<std::string>());
        r.entryPath = j.value("entry_path", "");
        r.entryType = j.value("entry_type", "regular");
        if (j.contains("entry_path_hex") &&
            !FromHex(j["entry_path_hex"].get<std::string>(), r.entryPath)) {
            error = "entry_path_hex is not hex";
            return false;
        }
        if (j.contains("entry_id")) {
            const auto& id = j["entry_id"];
            if (id.is_string() && !id.get<std::string>().empty() &&
                id.get<std::string>().find_first_not_of("0123456789") == std::string::npos &&
                id.get<std::string>().size() < 20) {
                r.entryId = std::stoull(id.get<std::string>());
            } else if (id.is_number_unsigned()) {
                r.entryId = id.get<uint64_t>();
            } else {
                error = "entry_id is not a LIN";
                return false;
            }
        }
        if (j.contains("body_hex") && !FromHex(j["body_hex"].get<std::string>(), r.body)) {
            error = "body_hex is not hex";
            return false;
        }
        std::string action = j.value("action", "");
        bool found = false;
        for (const auto& an : kActions) {
            if (action == an.name) {
                r.action = an.action;
                found = true;
            }
        }
        if (!found) {
            error = "unknown fault action '" + action + "'";
            return false;
        }
        if (r.action == FaultAction::kError && r.status == 0) r.status = 500;
        if (r.action == FaultAction::kHtml && r.status == 0) r.status = 500;
        if (r.status != 0 && (r.status < 100 || r.status > 599)) {
            error = "fault status out of range";
            return false;
        }
        if (r.message.empty() && r.action == FaultAction::kError) r.message = "injected fault";
        if (r.delayMs < 0 || r.count < -1) {
            error = "negative delay_ms or count";
            return false;
        }
        if (r.action == FaultAction::kTrickle && (r.chunkBytes == 0 || r.intervalMs < 0)) {
            error = "trickle needs chunk_bytes > 0 and interval_ms >= 0";
            return false;
        }
        if ((r.action == FaultAction::kDropEntry || r.action == FaultAction::kAddEntry) &&
            r.entryPath.empty()) {
            error = "drop_entry and add_entry need entry_path";
            return false;
        }
        if (r.action == FaultAction::kResumeCycle) {
            if (r.tokens.empty()) {
                error = "resume_cycle needs tokens";
                return false;
            }
            for (const std::string& token : r.tokens) {
                if (token.empty()) {
                    error = "resume_cycle tokens may not be empty";
                    return false;
                }
            }
        }
        rule = r;
        return true;
    } catch (const nlohmann::json::exception& e) {
        error = std::string("bad fault rule: ") + e.what();
        return false;
    }
}

nlohmann::json FaultRuleToJson(const FaultRule& r) {
    return {{"id", r.id},
            {"method", r.method},
            {"path", r.path},
            {"skip", r.skip},
            {"count", r.count},
            {"action", NameOf(r.action)},
            {"status", r.status},
            {"code", r.code},
            {"message", r.message},
            {"body", r.body},
            {"chunk_bytes", r.chunkBytes},
            {"interval_ms", r.intervalMs},
            {"tokens", r.tokens},
            {"entry_path", r.entryPath},
            {"entry_id", std::to_string(r.entryId)},
            {"entry_type", r.entryType},
            {"delay_ms", r.delayMs},
            {"seen", r.seen},
            {"fired", r.fired}};
}

bool FaultTable::Add(const nlohmann::json& j, std::vector<int>& ids, std::string& error) {
    const nlohmann::json* list = &j;
    nlohmann::json single;
    if (j.is_object() && j.contains("rules")) {
        list = &j["rules"];
    } else if (j.is_object()) {
        single = nlohmann::json::array({j});
        list = &single;
    }
    if (!list->is_array()) {
        error = "fault rules must be an array";
        return false;
    }
    std::vector<FaultRule> parsed;
    for (const auto& item : *list) {
        FaultRule r;
        if (!ParseFaultRule(item, r, error)) return false;
        parsed.push_back(r);
    }
    std::lock_guard<std::mutex> lock(m_mu);
    for (auto& r : parsed) {
        r.id = m_nextId++;
        ids.push_back(r.id);
        m_rules.push_back(r);
    }
    return true;
}

std::optional<FaultRule> FaultTable::Match(const std::string& method, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mu);
    std::optional<FaultRule> hit;
    for (auto& r : m_rules) {
        if (!r.method.empty() && r.method != method) continue;
        if (path.compare(0, r.path.size(), r.path) != 0) continue;
        ++r.seen;
        if (hit || r.seen <= r.skip) continue;
        if (r.count >= 0 && r.fired >= static_cast<uint64_t>(r.count)) continue;
        ++r.fired;
        hit = r;
    }
    return hit;
}

void FaultTable::Clear() {
    std::lock_guard<std::mutex> lock(m_mu);
    m_rules.clear();
}

nlohmann::json FaultTable::ToJson() const {
    std::lock_guard<std::mutex> lock(m_mu);
    nlohmann::json rules = nlohmann::json::array();
    for (const auto& r : m_rules) rules.push_back(FaultRuleToJson(r));
    return {{"rules", rules}};
}

}  // namespace arraysim
