#include "platform/manage_isilon_json.h"

#include <limits>

namespace arrayjson {
namespace {

using simdjson::error_code;
namespace od = simdjson::ondemand;

// On-demand parsing reads past the text by up to SIMDJSON_PADDING bytes; growing
// the capacity keeps the body where it is for every later request that reuses it.
simdjson::simdjson_result<od::document> Iterate(od::parser& parser, std::string& body) {
    body.reserve(body.size() + simdjson::SIMDJSON_PADDING);
    return parser.iterate(body.data(), body.size(), body.capacity());
}

// Names are byte strings and the array writes them into its answers as they
// are, so a string may hold bytes that are not UTF-8, and simdjson refuses the
// whole text for one of them. Such a text is read through a copy in which each
// of those bytes (inside strings only) becomes the marker U+F8FF followed by
// U+F700 + the byte, and a marker already there is doubled; every string read
// from the copy is decoded back, so each comes out byte for byte. Texts that
// are valid UTF-8 keep the direct path.
constexpr unsigned char kMarker[3] = {0xEF, 0xA3, 0xBF};  // U+F8FF
// At most this many bytes of copy: six for each byte at worst.
constexpr size_t kMaxEscapedBytes = size_t(256) << 20;

// Whether strings of the document being read come from such a copy. Set by
// RootObject for the document it opens; the readers here read one document at
// a time per thread and never hold a string across documents.
thread_local bool t_bytesEscaped = false;
thread_local std::string t_decoded;

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
size_t Utf8Length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const size_t left = text.size() - at;
    const auto trail = [&](size_t i, unsigned char low, unsigned char high) {
        return at + i < text.size() && byte(at + i) >= low && byte(at + i) <= high;
    };
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && trail(1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
        return trail(1, low, high) && trail(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
        return trail(1, low, high) && trail(2, 0x80, 0xBF) && trail(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

void AppendEscapedByte(std::string& out, unsigned char byte) {
    const unsigned codePoint = 0xF700u + byte;
    out.append(reinterpret_cast<const char*>(kMarker), 3);
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
}

bool IsMarkerEscape(std::string_view text, size_t at) {
    static const char kEscape[] = "f8ff";
    if (text.size() - at < 6 || text[at + 1] != 'u') return false;
    for (size_t i = 0; i < 4; ++i)
        if ((text[at + 2 + i] | 0x20) != kEscape[i]) return false;
    return true;
}

// The copy described above; false when it would exceed kMaxEscapedBytes.
bool EscapeBytes(std::string_view body, std::string& out) {
    out.clear();
    bool inString = false;
    for (size_t at = 0; at < body.size();) {
        if (out.size() > kMaxEscapedBytes) return false;
        const unsigned char c = static_cast<unsigned char>(body[at]);
        if (!inString) {
            inString = c == '"';
            out += body[at++];
        } else if (c == '"') {
            inString = false;
            out += body[at++];
        } else if (c == '\\') {
            if (IsMarkerEscape(body, at)) {
                for (int i = 0; i < 2; ++i) out.append(reinterpret_cast<const char*>(kMarker), 3);
                at += 6;
            } else {
                out.append(body.substr(at, 2));  // the escaped character goes with it
                at += 2;
            }
        } else if (c < 0x80) {
            out += body[at++];
        } else if (size_t length = Utf8Length(body, at)) {
            if (body.compare(at, 3, reinterpret_cast<const char*>(kMarker), 3) == 0)
                out.append(reinterpret_cast<const char*>(kMarker), 3);
            out.append(body.substr(at, length));
            at += length;
        } else {
            AppendEscapedByte(out, c);
            ++at;
        }
    }
    return out.size() <= kMaxEscapedBytes;
}

// A string of an escaped copy back to its bytes.
void DecodeBytes(std::string_view text, std::string& out) {
    out.clear();
    const std::string_view marker(reinterpret_cast<const char*>(kMarker), 3);
    size_t at = 0;
    for (size_t found = text.find(marker); found != std::string_view::npos;
         found = text.find(marker, at)) {
        out.append(text.substr(at, found - at));
        at = found + 3;
        if (text.compare(at, 3, marker) == 0) {
            out.append(marker);
            at += 3;
            continue;
        }
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
        if (text.size() - at >= 3 && byte(0) == 0xEF && (byte(1) == 0x9E || byte(1) == 0x9F) &&
            (byte(2) & 0xC0) == 0x80) {
            out += static_cast<char>(0x80 | ((byte(1) & 0x01) << 6) | (byte(2) & 0x3F));
            at += 3;
        } else {
            out.append(marker);  // not written by EscapeBytes: left as it stands
        }
    }
    out.append(text.substr(at));
}

// A string value, decoded when the document is an escaped copy. The view lasts
// until the next string is read.
error_code GetText(od::value& value, std::string_view& text) {
    if (error_code e = value.get_string().get(text)) return e;
    if (t_bytesEscaped && text.find(static_cast<char>(kMarker[0])) != std::string_view::npos) {
        DecodeBytes(text, t_decoded);
        text = t_decoded;
    }
    return simdjson::SUCCESS;
}

bool Fail(std::string& problem, std::string text, error_code error = simdjson::SUCCESS) {
    problem = std::move(text);
    if (error != simdjson::SUCCESS) {
        problem += " (";
        problem += simdjson::error_message(error);
        problem += ")";
    }
    return false;
}

// Opens the document's root object, with a readable problem for the usual ways a
// body fails to be one: empty, HTML, other text, another JSON type.
// `escaped` holds the escaped copy when one is needed and must outlive the
// document; forceEscaped takes that path for any text (to compare the two).
bool RootObject(od::parser& parser, std::string& body, od::document& doc, od::object& root,
                std::string& problem, std::string& escaped, bool forceEscaped = false) {
    t_bytesEscaped = false;
    size_t first = body.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return Fail(problem, "the body is empty");
    if (body[first] == '<') return Fail(problem, "the body is an HTML page, not JSON");
    error_code e = forceEscaped ? simdjson::UTF8_ERROR : Iterate(parser, body).get(doc);
    if (e == simdjson::UTF8_ERROR) {
        if (!EscapeBytes(body, escaped))
            return Fail(problem, "the body holds too many bytes that are not UTF-8");
        t_bytesEscaped = true;
        e = Iterate(parser, escaped).get(doc);
    }
    if (e) return Fail(problem, "the body is not JSON", e);
    if (error_code e = doc.get_object().get(root))
        return Fail(problem, "the body is not a JSON object", e);
    return true;
}

// A document whose root object was read to its end must have nothing after it;
// on-demand parsing does not look there by itself.
bool AtEnd(od::document& doc, std::string& problem) {
    const char* location = nullptr;
    if (doc.current_location().get(location) == simdjson::SUCCESS)
        return Fail(problem, "the body has text after its JSON object");
    return true;
}

bool Key(od::field& field, std::string_view& key, std::string& problem) {
    if (error_code e = field.unescaped_key().get(key))
        return Fail(problem, "a key is malformed", e);
    return true;
}

// Calls onField(key, field) for each field of `object` in order; false as soon
// as a field cannot be read (with `malformed` as the problem) or onField says so.
template <typename OnField>
bool ForEachField(od::object& object, const std::string& malformed, std::string& problem,
                  OnField&& onField) {
    for (auto result : object) {
        od::field field;
        if (error_code e = std::move(result).get(field)) return Fail(problem, malformed, e);
        std::string_view key;
        if (!Key(field, key, problem)) return false;
        if (!onField(key, field)) return false;
    }
    return true;
}

bool IsNull(od::value& value) {
    bool null = false;
    return value.is_null().get(null) == simdjson::SUCCESS && null;
}

bool String(od::value& value, std::string_view name, std::string_view& out, std::string& problem) {
    if (error_code e = GetText(value, out))
        return Fail(problem, "\"" + std::string(name) + "\" is not a string", e);
    return true;
}

// A string field that may also be null (read as empty).
bool OptionalString(od::value& value, std::string_view name, std::string& out,
                    std::string& problem) {
    if (IsNull(value)) {
        out.clear();
        return true;
    }
    std::string_view text;
    if (!String(value, name, text, problem)) return false;
    out.assign(text.data(), text.size());
    return true;
}

bool Unsigned(od::value& value, std::string_view name, uint64_t& out, std::string& problem) {
    if (IsNull(value)) {
        out = 0;
        return true;
    }
    if (value.get_uint64().get(out) == simdjson::SUCCESS) return true;
    int64_t negative = 0;
    if (value.get_int64().get(negative) == simdjson::SUCCESS) {
        out = 0;  // a time before 1970 or a bogus size: not representable, not fatal
        return true;
    }
    return Fail(problem, "\"" + std::string(name) + "\" is not a whole number");
}

bool Signed(od::value& value, std::string_view name, int64_t& out, std::string& problem) {
    if (IsNull(value)) {
        out = 0;
        return true;
    }
    if (error_code e = value.get_int64().get(out))
        return Fail(problem, "\"" + std::string(name) + "\" is not a whole number", e);
    return true;
}

bool Bool(od::value& value, std::string_view name, bool& out, std::string& problem) {
    if (error_code e = value.get_bool().get(out))
        return Fail(problem, "\"" + std::string(name) + "\" is not true or false", e);
    return true;
}

// A number the array may send as JSON number or as decimal text (revision, ids).
bool NumberOrText(od::value& value, std::string_view name, std::string& out, std::string& problem) {
    od::json_type type;
    if (error_code e = value.type().get(type))
        return Fail(problem, "\"" + std::string(name) + "\" is malformed", e);
    std::string_view text;
    if (type == od::json_type::string) {
        if (!String(value, name, text, problem)) return false;
    } else if (type == od::json_type::number) {
        text = value.raw_json_token();
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                                 text.back() == '\n'))
            text.remove_suffix(1);
    } else {
        return Fail(problem, "\"" + std::string(name) + "\" is neither a number nor a string");
    }
    out.assign(text.data(), text.size());
    return true;
}

// {"sec":..,"nsec":..} as the array sends times; a bare number is taken as seconds.
bool Time(od::value& value, std::string_view name, uint64_t& seconds, std::string& problem) {
    od::json_type type;
    if (error_code e = value.type().get(type))
        return Fail(problem, "\"" + std::string(name) + "\" is malformed", e);
    if (type != od::json_type::object) return Unsigned(value, name, seconds, problem);
    od::object object;
    if (error_code e = value.get_object().get(object))
        return Fail(problem, "\"" + std::string(name) + "\" is malformed", e);
    seconds = 0;
    // Three of these per changelist entry: the problem's text is made only for a problem.
    for (auto result : object) {
        od::field field;
        if (error_code e = std::move(result).get(field))
            return Fail(problem, "\"" + std::string(name) + "\" is malformed", e);
        std::string_view key;
        if (!Key(field, key, problem)) return false;
        if (key == "sec" && !Unsigned(field.value(), "sec", seconds, problem)) return false;
    }
    return true;
}

// The first object of the array named `name` in the root object.
template <typename OnEntry>
bool ForFirstOf(od::object& root, std::string_view name, OnEntry&& onEntry, std::string& problem) {
    bool found = false;
    const bool fieldsRead = ForEachField(
        root, "the body is malformed", problem, [&](std::string_view key, od::field& field) {
            if (key != name || found) return true;
            od::array entries;
            if (error_code e = field.value().get_array().get(entries))
                return Fail(problem, "\"" + std::string(name) + "\" is not an array", e);
            for (auto entryResult : entries) {
                od::object entry;
                if (error_code e = entryResult.get_object().get(entry))
                    return Fail(problem,
                                "an entry of \"" + std::string(name) + "\" is not an object", e);
                if (!found) {
                    found = true;
                    if (!onEntry(entry)) return false;
                }
            }
            if (!found) return Fail(problem, "\"" + std::string(name) + "\" is empty");
            return true;
        });
    if (!fieldsRead) return false;
    if (!found) return Fail(problem, "the body has no \"" + std::string(name) + "\"");
    return true;
}

bool ParseSnapshot(od::object& object, _IsilonSnapInfo& snapshot, std::string& problem) {
    bool hasId = false, hasName = false;
    const bool fieldsRead = ForEachField(
        object, "a snapshot is malformed", problem, [&](std::string_view key, od::field& field) {
            od::value value = field.value();
            std::string_view text;
            if (key == "id") {
                int64_t id = 0;
                if (!Signed(value, key, id, problem)) return false;
                if (id < std::numeric_limits<int32_t>::min() ||
                    id > std::numeric_limits<int32_t>::max())
                    return Fail(problem,
                                "snapshot id " + std::to_string(id) + " does not fit 32 bits");
                snapshot.id = static_cast<int32_t>(id);
                hasId = true;
            } else if (key == "name") {
                if (!String(value, key, text, problem)) return false;
                snapshot.name.assign(text.data(), text.size());
                hasName = true;
            } else if (key == "path") {
                if (!OptionalString(value, key, snapshot.path, problem)) return false;
            } else if (key == "created") {
                if (!Unsigned(value, key, snapshot.value3, problem)) return false;
            } else if (key == "state") {
                if (!OptionalString(value, key, snapshot.text4, problem)) return false;
            } else if (key == "alias") {
                if (!OptionalString(value, key, snapshot.text6, problem)) return false;
            } else if (key == "size") {
                if (!Unsigned(value, key, snapshot.value7, problem)) return false;
            }
            return true;
        });
    if (!fieldsRead) return false;
    if (!hasId || !hasName) return Fail(problem, "a snapshot has no \"id\" or no \"name\"");
    return true;
}

}  // namespace

bool RelativeToRoot(std::string_view path, std::string_view rootPath, std::string_view& relative) {
    // "/ifs/data/" names the same directory as "/ifs/data": without this every entry below a
    // root given with a trailing slash would look like it lies outside the share.
    while (!rootPath.empty() && rootPath.back() == '/') rootPath.remove_suffix(1);
    if (path.size() < rootPath.size() || path.compare(0, rootPath.size(), rootPath) != 0)
        return false;
    if (path.size() == rootPath.size()) {
        relative = "/";
        return true;
    }
    if (path[rootPath.size()] != '/') return false;
    relative = path.substr(rootPath.size());
    return true;
}

ErrorBody ParseErrorBody(od::parser& parser, std::string& body) {
    ErrorBody result;
    od::document doc;
    od::object root;
    std::string problem;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) {
        result.description = problem;
        return result;
    }
    bool ok = ForFirstOf(
        root, "errors",
        [&](od::object& entry) {
            for (auto fieldResult : entry) {
                od::field field;
                if (std::move(fieldResult).get(field)) return false;
                std::string_view key, text;
                if (!Key(field, key, problem)) return false;
                if (key == "code" || key == "message") {
                    od::value value = field.value();
                    if (GetText(value, text)) continue;  // a mistyped entry reads as absent
                    if (key == "code") {
                        result.code.assign(text.data(), text.size());
                        result.hasCode = !result.code.empty();
                    } else {
                        result.message.assign(text.data(), text.size());
                    }
                }
            }
            return true;
        },
        problem);
    if (!ok) {
        result = ErrorBody();
        result.description = "the body is not an error answer: " + problem;
        return result;
    }
    result.isJson = true;
    return result;
}

bool ParseSnapshotPage(od::parser& parser, std::string& body,
                       std::vector<_IsilonSnapInfo>& snapshots, std::string& resume,
                       std::string& problem) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    bool hasList = false;
    resume.clear();
    const bool fieldsRead = ForEachField(
        root, "the body is malformed", problem, [&](std::string_view key, od::field& field) {
            if (key == "snapshots") {
                od::array entries;
                if (error_code e = field.value().get_array().get(entries))
                    return Fail(problem, "\"snapshots\" is not an array", e);
                for (auto entryResult : entries) {
                    od::object entry;
                    if (error_code e = entryResult.get_object().get(entry))
                        return Fail(problem, "an entry of \"snapshots\" is not an object", e);
                    _IsilonSnapInfo snapshot;
                    if (!ParseSnapshot(entry, snapshot, problem)) return false;
                    snapshots.push_back(std::move(snapshot));
                }
                hasList = true;
            } else if (key == "resume") {
                if (!OptionalString(field.value(), key, resume, problem)) return false;
            }
            return true;
        });
    if (!fieldsRead) return false;
    if (!hasList) return Fail(problem, "the body has no \"snapshots\"");
    return AtEnd(doc, problem);
}

bool ParseCreatedSnapshotId(od::parser& parser, std::string& body, int& id, std::string& problem) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    _IsilonSnapInfo snapshot;
    bool hasId = false;
    const bool fieldsRead = ForEachField(
        root, "the body is malformed", problem, [&](std::string_view key, od::field& field) {
            if (key != "id") return true;
            int64_t value = 0;
            if (!Signed(field.value(), key, value, problem)) return false;
            if (value < std::numeric_limits<int32_t>::min() ||
                value > std::numeric_limits<int32_t>::max())
                return Fail(problem,
                            "snapshot id " + std::to_string(value) + " does not fit 32 bits");
            id = static_cast<int>(value);
            hasId = true;
            return true;
        });
    if (!fieldsRead) return false;
    if (!hasId) return Fail(problem, "the body has no \"id\"");
    return AtEnd(doc, problem);
}

bool ParseVersion(od::parser& parser, std::string& body, _IsilonVersionInfo& version,
                  std::string& problem) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    version = _IsilonVersionInfo();
    bool hasRelease = false, hasVersion = false;
    const bool fieldsRead = ForEachField(
        root, "the body is malformed", problem, [&](std::string_view key, od::field& field) {
            if (key == "name") {
                if (!OptionalString(field.value(), key, version.text3, problem)) return false;
                return true;
            }
            if (key != "onefs_version") return true;
            od::object object;
            if (error_code e = field.value().get_object().get(object))
                return Fail(problem, "\"onefs_version\" is not an object", e);
            hasVersion = true;
            for (auto inner : object) {
                od::field versionField;
                if (error_code e = std::move(inner).get(versionField))
                    return Fail(problem, "\"onefs_version\" is malformed", e);
                if (!Key(versionField, key, problem)) return false;
                od::value value = versionField.value();
                if (key == "release") {
                    if (!OptionalString(value, key, version.release, problem)) return false;
                    hasRelease = true;
                } else if (key == "build") {
                    if (!OptionalString(value, key, version.text0, problem)) return false;
                } else if (key == "type") {
                    if (!OptionalString(value, key, version.text1, problem)) return false;
                } else if (key == "version") {
                    if (!OptionalString(value, key, version.text2, problem)) return false;
                } else if (key == "revision") {
                    std::string text;
                    if (!NumberOrText(value, key, text, problem)) return false;
                    version.value0 = std::strtoull(text.c_str(), nullptr, 10);
                }
            }
            return true;
        });
    if (!fieldsRead) return false;
    if (!hasVersion) return Fail(problem, "the body has no \"onefs_version\"");
    if (!hasRelease) return Fail(problem, "\"onefs_version\" has no \"release\"");
    return AtEnd(doc, problem);
}

bool ParseChangelistJobType(od::parser& parser, std::string& body, _ChangeListCreateJobInfo& info,
                            std::string& problem) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    _ChangeListCreateJobInfo read;
    bool hasEnabled = false;
    bool ok = ForFirstOf(
        root, "types",
        [&](od::object& entry) {
            const bool fieldsRead =
                ForEachField(entry, "the job type is malformed", problem,
                             [&](std::string_view key, od::field& field) {
                                 od::value value = field.value();
                                 if (key == "enabled") {
                                     if (!Bool(value, key, read.enabled, problem)) return false;
                                     hasEnabled = true;
                                 } else if (key == "allow_multiple_instances") {
                                     if (!IsNull(value) && !Bool(value, key, read.flag0, problem))
                                         return false;
                                 } else if (key == "priority") {
                                     uint64_t priority = 0;
                                     if (!Unsigned(value, key, priority, problem)) return false;
                                     if (priority > std::numeric_limits<uint32_t>::max())
                                         return Fail(problem, "\"priority\" is out of range");
                                     read.number0 = static_cast<uint32_t>(priority);
                                 } else if (key == "policy") {
                                     if (!OptionalString(value, key, read.text0, problem))
                                         return false;
                                 }
                                 return true;
                             });
            if (!fieldsRead) return false;
            return true;
        },
        problem);
    if (!ok) return false;
    if (!hasEnabled) return Fail(problem, "the job type has no \"enabled\"");
    if (!AtEnd(doc, problem)) return false;
    info = read;
    return true;
}

bool ParseJobId(od::parser& parser, std::string& body, uint64_t& jobId, std::string& problem) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    bool hasId = false;
    const bool fieldsRead = ForEachField(
        root, "the body is malformed", problem, [&](std::string_view key, od::field& field) {
            if (key != "id") return true;
            if (error_code e = field.value().get_uint64().get(jobId))
                return Fail(problem, "\"id\" is not a job number", e);
            hasId = true;
            return true;
        });
    if (!fieldsRead) return false;
    if (!hasId) return Fail(problem, "the body has no \"id\"");
    return AtEnd(doc, problem);
}

bool ParseJobState(od::parser& parser, std::string& body, std::string& state,
                   std::string& problem) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    bool hasState = false;
    bool ok = ForFirstOf(
        root, "jobs",
        [&](od::object& entry) {
            const bool fieldsRead = ForEachField(entry, "the job is malformed", problem,
                                                 [&](std::string_view key, od::field& field) {
                                                     std::string_view text;
                                                     if (key != "state") return true;
                                                     if (!String(field.value(), key, text, problem))
                                                         return false;
                                                     state.assign(text.data(), text.size());
                                                     hasState = true;
                                                     return true;
                                                 });
            if (!fieldsRead) return false;
            return true;
        },
        problem);
    if (!ok) return false;
    if (!hasState) return Fail(problem, "the job has no \"state\"");
    return AtEnd(doc, problem);
}

bool ParseChangelistRoot(od::parser& parser, std::string& body, std::string& rootPath,
                         std::string& problem, uint64_t* numEntries) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped)) return false;
    bool hasRoot = false;
    uint64_t entries = kUnknownEntries;
    const bool fieldsRead = ForEachField(
        root, "the body is malformed", problem, [&](std::string_view key, od::field& field) {
            std::string_view text;
            if (key == "num_entries") {
                // Only a bound on the pages to follow: a count that is not one leaves it unknown.
                if (field.value().get_uint64().get(entries) != simdjson::SUCCESS)
                    entries = kUnknownEntries;
                return true;
            }
            if (key != "root_path") return true;
            if (!String(field.value(), key, text, problem)) return false;
            while (!text.empty() && text.back() == '/') text.remove_suffix(1);
            rootPath.assign(text.data(), text.size());
            hasRoot = true;
            return true;
        });
    if (!fieldsRead) return false;
    if (!hasRoot) return Fail(problem, "the changelist has no \"root_path\"");
    if (!AtEnd(doc, problem)) return false;
    if (numEntries) *numEntries = entries;
    return true;
}

namespace {

// One entry of a /lins page into a reused record: strings are assigned in place
// so that their buffers from the previous page serve again.
bool ParseLin(od::object& object, std::string_view rootPath, _IsilonChangeListItem& item,
              size_t index, std::string& problem) {
    item.accessTime = item.modifiedTime = item.changeTime = 0;
    item.size = 0;
    item.changeType.clear();
    bool hasId = false, hasPath = false;
    for (auto result : object) {
        od::field field;
        if (error_code e = std::move(result).get(field))
            return Fail(problem, "entry " + std::to_string(index) + " is malformed", e);
        od::raw_json_string key = field.key();
        od::value value = field.value();
        std::string_view text;
        bool ok = true;
        if (key.unsafe_is_equal("id")) {
            ok = NumberOrText(value, "id", item.inode, problem);
            hasId = true;
        } else if (key.unsafe_is_equal("path")) {
            ok = String(value, "path", text, problem);
            std::string_view relative;
            if (ok && !RelativeToRoot(text, rootPath, relative))
                return Fail(problem, "entry path \"" + std::string(text) +
                                         "\" is not below the changelist's root path \"" +
                                         std::string(rootPath) + "\"");
            if (ok) item.path.assign(relative.data(), relative.size());
            hasPath = true;
        } else if (key.unsafe_is_equal("type")) {
            ok = OptionalString(value, "type", item.changeType, problem);
        } else if (key.unsafe_is_equal("size")) {
            ok = Signed(value, "size", item.size, problem);
        } else if (key.unsafe_is_equal("atime")) {
            ok = Time(value, "atime", item.accessTime, problem);
        } else if (key.unsafe_is_equal("mtime")) {
            ok = Time(value, "mtime", item.modifiedTime, problem);
        } else if (key.unsafe_is_equal("ctime")) {
            ok = Time(value, "ctime", item.changeTime, problem);
        }
        if (!ok) {
            problem = "entry " + std::to_string(index) + ": " + problem;
            return false;
        }
    }
    if (!hasId || !hasPath)
        return Fail(problem, "entry " + std::to_string(index) + " has no \"id\" or no \"path\"");
    return true;
}

bool ParseLinsInto(od::parser& parser, std::string& body, std::string_view rootPath,
                   _IsilonChangeListInfo& page, std::string& resume, std::string& problem,
                   bool byteExactPath) {
    od::document doc;
    od::object root;
    std::string escaped;
    if (!RootObject(parser, body, doc, root, problem, escaped, byteExactPath)) return false;
    bool hasLins = false;
    resume.clear();
    for (auto result : root) {
        od::field field;
        if (error_code e = std::move(result).get(field))
            return Fail(problem, "the body is malformed", e);
        od::raw_json_string key = field.key();
        if (key.unsafe_is_equal("lins")) {
            od::array entries;
            if (error_code e = field.value().get_array().get(entries))
                return Fail(problem, "\"lins\" is not an array", e);
            auto next = page.items.begin();
            size_t index = 0;
            for (auto entryResult : entries) {
                od::object entry;
                if (error_code e = entryResult.get_object().get(entry))
                    return Fail(problem, "entry " + std::to_string(index) + " is not an object", e);
                if (next == page.items.end()) next = page.items.emplace(page.items.end());
                _IsilonChangeListItem& item = *next++;
                if (!ParseLin(entry, rootPath, item, index, problem)) return false;
                ++index;
            }
            page.items.erase(next, page.items.end());
            hasLins = true;
        } else if (key.unsafe_is_equal("resume")) {
            if (!OptionalString(field.value(), "resume", resume, problem)) return false;
        }
    }
    if (!hasLins) return Fail(problem, "the body has no \"lins\"");
    return AtEnd(doc, problem);
}

}  // namespace

bool ParseChangelistPage(od::parser& parser, std::string& body, std::string_view rootPath,
                         _IsilonChangeListInfo& page, std::string& problem, bool byteExactPath) {
    std::string resume;
    if (!ParseLinsInto(parser, body, rootPath, page, resume, problem, byteExactPath)) {
        page.items.clear();
        return false;
    }
    page.resumeToken.swap(resume);
    return true;
}

}  // namespace arrayjson
