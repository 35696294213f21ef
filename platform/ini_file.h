#pragma once

// Reading of the host's INI files (settings.ini, credentials.ini), shared by the
// services that read them. Private to platform/.
//
// The reader is strict on purpose: a line it cannot read exactly is an error
// naming the line, never skipped. A skipped line could be the one that says
// "back up only from snapshots", and guessing would turn it off silently.
//
//   [section]              ; a comment after a blank, or a line of its own (; or #)
//   key = value            ; blanks around key and value are not part of them
//   key = "a value; # kept" a value in double quotes is taken literally, comment
//                          ; characters and blanks included
// A UTF-8 byte order mark and CRLF line ends are accepted. A key outside any
// section, a section or key given twice, a line that is none of the above and a
// NUL byte are errors.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace snaphost {

struct IniValue {
    std::string text;
    size_t line = 0;  // where the file gives it, for messages
};

// Sections in file order, each with its keys.
struct IniTree {
    std::vector<std::string> order;
    std::map<std::string, std::map<std::string, IniValue>> sections;

    bool empty() const { return order.empty(); }
    void clear() {
        order.clear();
        sections.clear();
    }
};

namespace ini_detail {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

inline std::string Trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// The text before a comment that starts with ";" or "#" after a blank.
inline std::string BeforeComment(const std::string& text) {
    for (size_t i = 1; i < text.size(); ++i) {
        if ((text[i] == ';' || text[i] == '#') && IsBlank(text[i - 1])) return text.substr(0, i);
    }
    return text;
}

inline bool IsCommentOrBlank(const std::string& text) {
    const std::string trimmed = Trim(text);
    return trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#';
}

// The value part of "key = value": quoted literally, or up to a comment.
inline bool ParseValue(const std::string& raw, std::string& value, std::string& problem) {
    const std::string text = Trim(raw);
    if (text.empty() || text[0] != '"') {
        value = Trim(BeforeComment(text));
        return true;
    }
    const size_t close = text.rfind('"');
    if (close == 0) {
        problem = "a quoted value has no closing quote";
        return false;
    }
    if (!IsCommentOrBlank(text.substr(close + 1))) {
        problem = "text after a quoted value";
        return false;
    }
    value = text.substr(1, close - 1);
    return true;
}

}  // namespace ini_detail

// Parses INI text. False with problem set ("line N: reason") when any line cannot
// be read exactly; the tree is then empty.
inline bool ParseIni(const std::string& content, IniTree& tree, std::string& problem) {
    using namespace ini_detail;
    tree.clear();
    std::string text = content;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    const auto fail = [&](size_t line, const std::string& reason) {
        problem = "line " + std::to_string(line) + ": " + reason;
        tree.clear();
        return false;
    };
    std::string current;
    bool inSection = false;
    size_t number = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos) return fail(number, "a NUL byte");
        if (IsCommentOrBlank(line)) continue;
        const std::string trimmed = Trim(line);
        if (trimmed[0] == '[') {
            const size_t close = trimmed.find(']');
            if (close == std::string::npos) return fail(number, "a section name has no closing ]");
            if (!IsCommentOrBlank(trimmed.substr(close + 1)))
                return fail(number, "text after a section name");
            current = Trim(trimmed.substr(1, close - 1));
            if (current.empty()) return fail(number, "an empty section name");
            if (tree.sections.count(current) != 0)
                return fail(number, "section [" + current + "] is given twice");
            tree.order.push_back(current);
            tree.sections[current];
            inSection = true;
            continue;
        }
        const size_t equals = trimmed.find('=');
        if (equals == std::string::npos)
            return fail(number, "not a [section], a key = value or a comment");
        const std::string key = Trim(trimmed.substr(0, equals));
        if (key.empty()) return fail(number, "a value without a key");
        if (!inSection) return fail(number, "key [" + key + "] is outside any section");
        std::string value;
        std::string reason;
        if (!ParseValue(trimmed.substr(equals + 1), value, reason)) return fail(number, reason);
        auto& keys = tree.sections[current];
        if (keys.count(key) != 0)
            return fail(number, "key [" + key + "] is given twice in [" + current + "]");
        keys[key] = IniValue{value, number};
    }
    return true;
}

enum class IniFileState { kRead, kMissing, kMalformed };

inline IniFileState ReadIniFile(const std::string& path, IniTree& tree, std::string& problem) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return IniFileState::kMissing;
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (in.bad()) {
        problem = "read error";
        return IniFileState::kMalformed;
    }
    return ParseIni(content, tree, problem) ? IniFileState::kRead : IniFileState::kMalformed;
}

// The value of key in section, looked up literally.
inline bool LookupIni(const IniTree& tree, const std::string& section, const std::string& key,
                      std::string& value) {
    const auto sectionIt = tree.sections.find(section);
    if (sectionIt == tree.sections.end()) return false;
    const auto keyIt = sectionIt->second.find(key);
    if (keyIt == sectionIt->second.end()) return false;
    value = keyIt->second.text;
    return true;
}

// A whole decimal integer within int's range: optional sign, digits, nothing else.
inline bool ParseIniInt(const std::string& text, int& value) {
    const size_t digits = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace snaphost
