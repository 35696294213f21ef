// JSON text whose strings carry their bytes as they are, the way the array writes names that are
// not UTF-8: nlohmann's own dump refuses (or replaces) such bytes.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace arraysim {

// Appends text as a JSON string: quote and backslash escaped, control bytes as \u00XX, bytes of
// 0x80 and above unchanged (paths are byte strings on the array).
void AppendJsonString(std::string& out, const std::string& text);

// Like j.dump(), but string bytes of 0x80 and above are written unchanged, valid UTF-8 or not.
std::string DumpBytes(const nlohmann::json& j);

}  // namespace arraysim
