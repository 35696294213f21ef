#pragma once

// Reading of the host's INI files (settings.ini, credentials.ini), shared by the
// services that read them. Private to platform/.

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <string>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace snaphost {

// Parses INI text. False with problem set (parser's message and line) when the
// text is malformed; the property-tree exceptions never escape.
inline bool ParseIni(std::istream& in, boost::property_tree::ptree& tree, std::string& problem) {
    try {
        boost::property_tree::ini_parser::read_ini(in, tree);
        return true;
    } catch (const boost::property_tree::ini_parser_error& e) {
        problem = e.message() + " at line " + std::to_string(e.line());
    } catch (const std::exception& e) {
        problem = e.what();
    }
    tree.clear();
    return false;
}

enum class IniFileState { kRead, kMissing, kMalformed };

inline IniFileState ReadIniFile(const std::string& path, boost::property_tree::ptree& tree,
                                std::string& problem) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) return IniFileState::kMissing;
    return ParseIni(in, tree, problem) ? IniFileState::kRead : IniFileState::kMalformed;
}

// The value of key in section, looked up literally (no path separators), with a
// comment after it (";" or "#" after a blank) and surrounding blanks removed.
inline bool LookupIni(const boost::property_tree::ptree& tree, const std::string& section,
                      const std::string& key, std::string& value) {
    const auto sectionIt = tree.find(section);
    if (sectionIt == tree.not_found()) return false;
    const boost::property_tree::ptree& entries = sectionIt->second;
    const auto keyIt = entries.find(key);
    if (keyIt == entries.not_found()) return false;
    std::string text = keyIt->second.data();
    for (size_t i = 1; i < text.size(); ++i) {
        if ((text[i] == ';' || text[i] == '#') && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
            text.erase(i);
            break;
        }
    }
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    value = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
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
