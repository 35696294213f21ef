#pragma once

#include <string>
#include <utility>
#include <vector>

namespace snapscan {

// Label name and value pairs of one sample, in the order they are written.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// A file in the Prometheus text exposition format, as node_exporter's textfile
// collector reads it: families in the order they were first added, each with
// its HELP and TYPE lines, then its samples. Any command adds its families and
// writes the file once.
class MetricsFile {
public:
    enum class Type { kGauge, kCounter };

    // One sample of the family `name`, declared with `type` and `help` on its
    // first sample. False (and nothing added) when a name is not a valid metric
    // or label name, a counter's name does not end in "_total" (or a gauge's
    // does), or the family was declared with another type.
    bool Add(const std::string& name, Type type, const std::string& help,
             const MetricLabels& labels, double value);

    // The exposition text, ending with a newline.
    std::string Text() const;

    // Writes Text() to a temporary file in the directory of `path` and renames
    // it into place with mode 0644, so that a collector never reads a partial
    // file; the temporary file is removed when anything fails. False with a
    // reason.
    bool Write(const std::string& path, std::string& error) const;

private:
    struct Family {
        std::string name;
        Type type;
        std::string help;
        std::vector<std::string> samples;  // rendered lines
    };
    std::vector<Family> m_families;
};

// A label value as the format writes it between double quotes: backslash,
// double quote and newline escaped; bytes that are not UTF-8 replaced by U+FFFD
// (a collector refuses the whole file otherwise).
std::string EscapeLabelValue(const std::string& value);

// The value of the sample of `name` with exactly `labels` in the exposition
// text `text` (as MetricsFile writes it). False when there is none.
bool FindSample(const std::string& text, const std::string& name, const MetricLabels& labels,
                double& value);

}  // namespace snapscan
