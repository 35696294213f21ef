#include "tools/snapscan/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/snapscan/output.h"

namespace snapscan {

namespace {

bool ValidName(const std::string& name, bool colons) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colons && c == ':');
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A sample value as the format reads it: shortest exact form, or NaN/+Inf/-Inf.
std::string FormatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string RenderLabels(const MetricLabels& labels) {
    if (labels.empty()) return std::string();
    std::string text = "{";
    for (const auto& [name, value] : labels) {
        if (text.size() > 1) text += ',';
        text += name + "=\"" + EscapeLabelValue(value) + '"';
    }
    return text + '}';
}

// HELP text escapes backslash and newline only.
std::string EscapeHelp(const std::string& help) {
    std::string text;
    for (const char c : help) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    std::string text;
    text.reserve(value.size());
    size_t i = 0;
    while (i < value.size()) {
        const char c = value[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            // The longest well-formed sequence starting here, else one bad byte.
            size_t length = 0;
            for (size_t n = 4; n >= 2 && length == 0; --n) {
                if (i + n <= value.size() && IsUtf8(value.substr(i, n))) length = n;
            }
            if (length == 0) {
                text += "\xef\xbf\xbd";
                ++i;
            } else {
                text.append(value, i, length);
                i += length;
            }
            continue;
        }
        if (c == '\\')
            text += "\\\\";
        else if (c == '"')
            text += "\\\"";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
        ++i;
    }
    return text;
}

bool MetricsFile::Add(const std::string& name, Type type, const std::string& help,
                      const MetricLabels& labels, double value) {
    if (!ValidName(name, true) || EndsWith(name, "_total") != (type == Type::kCounter))
        return false;
    for (const auto& label : labels) {
        if (!ValidName(label.first, false) || label.first.rfind("__", 0) == 0) return false;
    }
    Family* family = nullptr;
    for (Family& known : m_families) {
        if (known.name == name) family = &known;
    }
    if (family && family->type != type) return false;
    if (!family) {
        m_families.push_back(Family{name, type, help, {}});
        family = &m_families.back();
    }
    family->samples.push_back(name + RenderLabels(labels) + ' ' + FormatValue(value));
    return true;
}

std::string MetricsFile::Text() const {
    std::string text;
    for (const Family& family : m_families) {
        text += "# HELP " + family.name + ' ' + EscapeHelp(family.help) + '\n';
        text += "# TYPE " + family.name + (family.type == Type::kCounter ? " counter" : " gauge") +
                '\n';
        for (const std::string& sample : family.samples) text += sample + '\n';
    }
    return text;
}

bool MetricsFile::Write(const std::string& path, std::string& error) const {
    const std::string text = Text();
    // The collector reads *.prom files only, so the temporary name never ends so.
    std::string temporary = path + ".tmp.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    const auto fail = [&](const char* what) {
        if (ok) error = what + temporary + ": " + std::strerror(errno);
        ok = false;
    };
    size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            fail("cannot write ");
        } else {
            written += static_cast<size_t>(n);
        }
    }
    // The collector runs as another user: the metrics are for everyone to read.
    if (ok && ::fchmod(fd, 0644) != 0) fail("cannot set the mode of ");
    if (ok && ::fsync(fd) != 0) fail("cannot write ");
    if (::close(fd) != 0) fail("cannot write ");
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot rename ");
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

bool FindSample(const std::string& text, const std::string& name, const MetricLabels& labels,
                double& value) {
    const std::string key = name + RenderLabels(labels) + ' ';
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (text.compare(start, key.size(), key) == 0 && end - start > key.size()) {
            const std::string number = text.substr(start + key.size(), end - start - key.size());
            char* stop = nullptr;
            errno = 0;
            const double parsed = std::strtod(number.c_str(), &stop);
            if (errno == 0 && stop != number.c_str() && *stop == '\0') {
                value = parsed;
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

}  // namespace snapscan
