#include "tools/arraysim/json_bytes.h"

namespace arraysim {

void AppendJsonString(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            out.append("\\u00");
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

namespace {

void Append(std::string& out, const nlohmann::json& j) {
    switch (j.type()) {
        case nlohmann::json::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& item : j.items()) {
                if (!first) out.push_back(',');
                first = false;
                AppendJsonString(out, item.key());
                out.push_back(':');
                Append(out, item.value());
            }
            out.push_back('}');
            break;
        }
        case nlohmann::json::value_t::array: {
            out.push_back('[');
            for (size_t i = 0; i < j.size(); ++i) {
                if (i != 0) out.push_back(',');
                Append(out, j[i]);
            }
            out.push_back(']');
            break;
        }
        case nlohmann::json::value_t::string:
            AppendJsonString(out, j.get_ref<const std::string&>());
            break;
        default:
            out += j.dump();  // numbers, booleans, null: no strings inside
    }
}

}  // namespace

std::string DumpBytes(const nlohmann::json& j) {
    std::string out;
    Append(out, j);
    return out;
}

}  // namespace arraysim
